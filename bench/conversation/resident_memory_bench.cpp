// Resident memory of the process with one character loaded as the demo loads it (its buffer
// provider: the three heads, the point cloud and its binding, posing the first frame), and after
// 100 idle frames posed and drawn by the direct renderer at 690x798, with the C library's default
// allocator settings: the peak (VmHWM) and current (VmRSS) resident set in MB, as counters. Then the time of
// one frame posed and drawn, so that saving memory cannot hide a slower frame.
// The first benchmark loads the character: run the program whole, in this order.
//
//   build/bench/conversation/bench_resident_memory --benchmark_repetitions=5

#include "kit/render/splat_renderer.hpp"
#include "tools/demo/demo_scene.hpp"

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

using namespace MivoKit;

using namespace platform::gpu;

namespace {

// A field of /proc/self/status in MB ("VmHWM", "VmRSS").
double statusMB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
    return -1;
}

struct Scene {
    demo::SyntheticCharacter character;
    std::shared_ptr<Device> device = createSystemDefaultDevice();
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();
    SplatRenderer renderer{device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3};
    std::shared_ptr<Texture> target = device->makeTexture({PixelFormat::bgra8Unorm, 690, 798, 1, TextureUsage::renderTarget});
    ViewportDescriptor viewport;
    double hwmAfterLoad = 0, rssAfterLoad = 0;

    explicit Scene(demo::SyntheticCharacter loaded)
        : character(std::move(loaded)), viewport(demo::characterViewport(character.character.camera(), 690, 798)) {}

    void frame() {
        renderer.update(character.nextIdleFrame());
        auto commandBuffer = renderer.render({viewport}, target, StoreAction::store, nullptr, nullptr, nullptr, 0,
                                             queue->makeCommandBuffer(), queue);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    }
};

Scene& scene() {
    static Scene* s = [] {
        auto character = demo::loadSyntheticCharacter(demo::builtDocumentsDirectory());
        character.nextIdleFrame(); // the first frame loads the heads and the point cloud
        const double hwm = statusMB("VmHWM"), rss = statusMB("VmRSS");
        auto* made = new Scene(std::move(character));
        made->hwmAfterLoad = hwm;
        made->rssAfterLoad = rss;
        return made;
    }();
    return *s;
}

void BM_ResidentMemory(benchmark::State& state) {
    auto& s = scene();
    for (auto _ : state)
        for (int i = 0; i < 100; ++i) s.frame();
    state.counters["hwm_after_load_MB"] = s.hwmAfterLoad;
    state.counters["rss_after_load_MB"] = s.rssAfterLoad;
    state.counters["hwm_after_frames_MB"] = statusMB("VmHWM");
    state.counters["rss_after_frames_MB"] = statusMB("VmRSS");
}
BENCHMARK(BM_ResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One idle frame: posed by the buffer provider, converted, sorted, drawn and completed.
void BM_PosedAndDrawnFrame(benchmark::State& state) {
    auto& s = scene();
    for (auto _ : state) s.frame();
}
BENCHMARK(BM_PosedAndDrawnFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
