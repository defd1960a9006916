// The per-frame cost of the buffer provider on the synthetic character (about 100k splats), on one
// worker and on all, with the heap allocations it makes per frame; and the time to load the
// three head models.

#include "kit/head/mv_character_buffer_provider.hpp"
#include "platform/files/directories.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

using namespace MivoKit;

namespace {

std::atomic<std::size_t> allocations{0};

Mivo::AssetPaths characterPaths() {
    return Mivo::AssetPaths::assetPaths("synthetic", std::filesystem::path(MIVO_BENCH_DOCUMENTS_DIR) / "MvCharacters");
}

// One provider, loaded once, shared by the frame benchmarks.
MvCharacterBufferProvider& provider() {
    static MvCharacterBufferProvider* p = [] {
        platform::files::setResourceDirectory(std::filesystem::path(MIVO_BENCH_RESOURCE_DIR));
        auto* made = new MvCharacterBufferProvider(characterPaths(), platform::audio::AudioFormat::standard(16000, 1));
        made->makeSplatBuffer(FlameFrameData(), FlameVersion::V_2023);
        return made;
    }();
    return *p;
}

const std::vector<FlameFrameData>& idleFrames() {
    static const auto frames = loadAnimationFrames(characterPaths().idleFramesUrl->string());
    return frames;
}

// Arguments: workers (0: all); paced: 1 leaves the 40 ms of a 25 fps frame between calls (untimed),
// as the player does, 0 calls back to back; with_release: 1 also times releasing the previous
// frame's buffer. The player releases a frame on the main thread when it publishes the next one,
// so that release is not part of making a buffer; it is shown because it is a pass over the
// ~12 MB of points. With all workers the next frame's point list is prepared in the background
// between frames; back to back, that preparation bounds the rate.
void BM_MakeSplatBuffer(benchmark::State& state) {
    auto& p = provider();
    p.gsManager().setMaxWorkers(unsigned(state.range(0)));
    const bool paced = state.range(1) != 0;
    const bool timeRelease = state.range(2) != 0;
    const auto& frames = idleFrames();
    std::size_t i = 0, splats = 0, counted = 0;
    std::optional<SplatMemoryBuffer> previous;
    for (auto _ : state) {
        if (paced || !timeRelease) {
            state.PauseTiming();
            if (!timeRelease) previous.reset();
            if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(40));
            state.ResumeTiming();
        }
        const std::size_t before = allocations.load();
        auto buffer = p.makeSplatBuffer(frames[i++ % frames.size()], FlameVersion::V_2023);
        counted += allocations.load() - before;
        splats = buffer ? buffer->points.size() : 0;
        previous = std::move(buffer);
    }
    state.counters["splats"] = double(splats);
    state.counters["allocs/frame"] = double(counted) / double(state.iterations());
}
BENCHMARK(BM_MakeSplatBuffer)
    ->ArgNames({"workers", "paced", "with_release"})
    ->Args({1, 0, 0})
    ->Args({0, 1, 0})
    ->Args({0, 0, 0})
    ->Args({1, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Loading the three heads of a character, each model file decoded once (as the splat binder does).
void BM_LoadThreeHeads(benchmark::State& state) {
    platform::files::setResourceDirectory(std::filesystem::path(MIVO_BENCH_RESOURCE_DIR));
    for (auto _ : state) {
        FlameModelFiles files;
        for (auto version : {FlameVersion::Mix, FlameVersion::V_2023, FlameVersion::V_2020}) {
            FlameHead head(300, 100, version);
            head.loadResource(files);
            benchmark::DoNotOptimize(head.v_template.data());
        }
    }
}
BENCHMARK(BM_LoadThreeHeads)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

// Counts every heap allocation of the process. (GCC takes the malloc/free pair of these
// replacements for a mismatch.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
