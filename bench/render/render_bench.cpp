// Frame cost of the direct renderer on the software GPU with the synthetic character's head
// (about 100k splats, from its own camera): conversion of
// the frame's points, the depth sort, the draw, and the whole frame, at 512x512 and 690x798.
//
//   build/bench/render/mivo_render_bench
//   taskset -c 0,1 build/bench/render/mivo_render_bench     (two cores)

#include "kit/render/splat_renderer.hpp"
#include "tools/demo/demo_scene.hpp"

#include <benchmark/benchmark.h>

#include <cmath>

using namespace platform::gpu;

namespace {

// One frame of the synthetic character's idle animation, posed once.
const SplatMemoryBuffer& head() {
    static const SplatMemoryBuffer splats = [] {
        auto scene = demo::loadSyntheticCharacter(demo::builtDocumentsDirectory());
        return scene.nextIdleFrame();
    }();
    return splats;
}

ViewportDescriptor view(std::uint32_t width, std::uint32_t height) {
    static const Mivo::CameraSettings camera = demo::loadSyntheticCharacter(demo::builtDocumentsDirectory()).character.camera();
    return demo::characterViewport(camera, width, height);
}

struct Frame {
    std::shared_ptr<Device> device = createSystemDefaultDevice();
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();
    SplatRenderer renderer{device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3};
    std::shared_ptr<Texture> target;
    ViewportDescriptor viewport;

    Frame(std::uint32_t width, std::uint32_t height) : viewport(view(width, height)) {
        target = device->makeTexture({PixelFormat::bgra8Unorm, width, height, 1, TextureUsage::renderTarget});
        renderer.update(head());
    }
    std::shared_ptr<CommandBuffer> encode() {
        return renderer.render({viewport}, target, StoreAction::store, nullptr, nullptr, nullptr, 0,
                               queue->makeCommandBuffer(), queue);
    }
};

void BM_Conversion(benchmark::State& state) {
    Frame frame(512, 512);
    for (auto _ : state) frame.renderer.update(head());
    state.SetItemsProcessed(state.iterations() * head().points.size());
}
BENCHMARK(BM_Conversion)->Unit(benchmark::kMillisecond);

void BM_Sort(benchmark::State& state) {
    Frame frame(512, 512);
    float angle = 0;
    for (auto _ : state) {
        angle += 0.1f;
        frame.renderer.bufferManager.sortSplats({std::sin(angle), 0, -std::cos(angle)});
    }
    state.SetItemsProcessed(state.iterations() * head().points.size());
}
BENCHMARK(BM_Sort)->Unit(benchmark::kMillisecond);

// The GPU's share of a frame: from commit to completion.
void BM_Draw(benchmark::State& state) {
    Frame frame(std::uint32_t(state.range(0)), std::uint32_t(state.range(1)));
    for (auto _ : state) {
        auto commandBuffer = frame.encode();
        const auto start = std::chrono::steady_clock::now();
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_Draw)->Args({512, 512})->Args({690, 798})->UseManualTime()->Unit(benchmark::kMillisecond);

// A whole frame: the frame's points converted, sorted, drawn and completed.
void BM_Frame(benchmark::State& state) {
    Frame frame(std::uint32_t(state.range(0)), std::uint32_t(state.range(1)));
    for (auto _ : state) {
        frame.renderer.update(head());
        auto commandBuffer = frame.encode();
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    }
}
BENCHMARK(BM_Frame)->Args({512, 512})->Args({690, 798})->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
