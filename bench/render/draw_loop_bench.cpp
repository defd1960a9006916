// The kit's view drawing the synthetic character in direct mode at 690x798: its display link asks
// for 30 draws a second while the player publishes the idle animation at 25 frames a second. Reports
// the frames presented per second, the time between presents (median and 99th percentile), the
// share of draws that waited for one of the three frame slots, and the shares of draws that
// converted and sorted the splats (a draw of an unchanged frame and camera does neither). Runs 5 s
// of real time per repetition; across repetitions it reports medians and 95th percentiles (p95).
// BM_ConvertAndSort is the draw's own work on the character's splats, apart from drawing them:
// converting a new frame into GPU records and sorting them (what every new frame costs), beside
// the same draw with an unchanged frame and camera.
//
//   build/bench/render/bench_draw_loop --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//   (taskset -c 0,1 ... for two cores)

#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/view/mv_character_view.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/files/directories.hpp"
#include "tools/demo/demo_scene.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <mutex>

using namespace MivoKit;

namespace dispatch = platform::dispatch;

namespace {

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

// The 95th percentile of the repetitions.
double p95(const std::vector<double>& values) { return percentile(values, 0.95); }

void BM_DrawLoop(benchmark::State& state) {
    platform::files::setDocumentsDirectory(demo::builtDocumentsDirectory());
    const auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    platform::audio::AudioDeviceOptions options;
    options.drivers = "virtual"; // the idle animation plays no sound
    platform::audio::setSharedAudioDevice(platform::audio::makeAudioDevice(options));
    for (auto _ : state) {
        auto manager = MvCharacterManager::create(*character, Mivo::DriveServiceType::none,
                                                  platform::audio::AudioFormat::standard(16000, 1));
        HostedCharacterView hosted{MvCharacterView(manager)};
        const auto view = hosted.gpuView();
        view->setDrawableSize(690, 798);
        std::mutex mutex;
        std::vector<dispatch::Nanoseconds> presents;
        view->addPresentationSink([&](const platform::gpu::PresentedImage&) {
            std::lock_guard lock(mutex);
            presents.push_back(dispatch::monotonicNow());
        });
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(1)); // the head model loads
        const auto drawsBefore = view->drawCount();
        const auto waitsBefore = hosted.coordinator()->renderer->waitedDraws();
        const auto& buffers =
            std::dynamic_pointer_cast<SplatRenderer>(hosted.coordinator()->renderer->splatRenderer())->bufferManager;
        const auto conversionsBefore = buffers.conversionsRun(), sortsBefore = buffers.sortsRun();
        {
            std::lock_guard lock(mutex);
            presents.clear();
        }
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(5));
        view->stopDisplayLink();
        const auto draws = view->drawCount() - drawsBefore;
        const auto waits = hosted.coordinator()->renderer->waitedDraws() - waitsBefore;
        const auto conversions = buffers.conversionsRun() - conversionsBefore, sorts = buffers.sortsRun() - sortsBefore;
        manager->close(true);
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(0.2));
        std::lock_guard lock(mutex);
        std::vector<double> intervals;
        for (std::size_t i = 1; i < presents.size(); ++i)
            intervals.push_back(std::chrono::duration<double, std::milli>(presents[i] - presents[i - 1]).count());
        const double span = presents.size() > 1 ? std::chrono::duration<double>(presents.back() - presents.front()).count() : 0;
        state.counters["presents_per_second"] = span > 0 ? double(presents.size() - 1) / span : 0;
        state.counters["frame_time_median_ms"] = percentile(intervals, 0.5);
        state.counters["frame_time_p99_ms"] = percentile(intervals, 0.99);
        state.counters["draws_waiting_share"] = draws ? double(waits) / double(draws) : 0;
        state.counters["draws_converting_share"] = draws ? double(conversions) / double(draws) : 0;
        state.counters["draws_sorting_share"] = draws ? double(sorts) / double(draws) : 0;
    }
    platform::audio::setSharedAudioDevice(nullptr);
}
// The character's splats as a frame: a new buffer object per iteration (converted and sorted), or
// the same one (neither).
void BM_ConvertAndSort(benchmark::State& state, bool newFrames) {
    AutodetectSceneReader reader(demo::builtDocumentsDirectory() / "MvCharacters" / "synthetic" / "model" /
                                 "point_cloud.ply");
    SplatMemoryBuffer cloud;
    cloud.read(reader);
    auto frame = std::make_shared<const SplatMemoryBuffer>(cloud);
    auto spare = std::make_shared<const SplatMemoryBuffer>(cloud);
    SplatBufferManager manager(platform::gpu::createSystemDefaultDevice());
    const simd::float3 forward{0, 0, -1};
    for (auto _ : state) {
        if (newFrames) std::swap(frame, spare);
        manager.update(frame, ColorFormat::RGB);
        manager.sortSplats(forward);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * cloud.points.size()));
    state.counters["conversions_per_draw"] = double(manager.conversionsRun()) / double(state.iterations());
}
BENCHMARK_CAPTURE(BM_ConvertAndSort, NewFrame, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ConvertAndSort, UnchangedFrame, false)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_DrawLoop)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1)->ComputeStatistics("p95", p95);

} // namespace
