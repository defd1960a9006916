// Frame cost of the direct renderer on the software GPU with the synthetic character's head
// (about 100k splats, from its own camera): conversion of
// the frame's points, the depth sort, the draw, and the whole frame, at 512x512 and 690x798.
// The super-resolution road on the same head: the offscreen splat pass into its three feature
// textures plus the packing of the network input at the network's size (690x798), the whole
// frame of SimpleSRSplatRenderer without predictions, and the screen pass onto a 1170x2532
// drawable. The prediction itself is measured with the networks.
//
// The whole frame at 690x798 runs once per tile kernel this CPU has (BM_Frame690x798/avx2,
// /portable), so that the speed-up over the portable kernel prints side by side; frames_per_second
// is from wall time, cpu_ms_per_frame the CPU time of every thread of the process per frame (what
// a loaded machine distorts least).
//
//   build/bench/render/mivo_render_bench --benchmark_repetitions=9
//   taskset -c 0,1 build/bench/render/mivo_render_bench --benchmark_repetitions=9     (two cores)
//   build/bench/render/mivo_render_bench --benchmark_filter=Frame690 --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true                                      (the target)

#include "kit/render/gaussian_splat_render_pass.hpp"
#include "kit/render/shaders/splat_tile_kernels.hpp"
#include "kit/render/screen_render_pass.hpp"
#include "kit/render/shader_library.hpp"
#include "kit/render/simple_sr_splat_renderer.hpp"
#include "kit/render/splat_renderer.hpp"
#include "kit/render/sr_compute_pass.hpp"
#include "tools/demo/demo_scene.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <random>
#include <string>

using namespace MivoKit;

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
    std::shared_ptr<Device> device;
    std::shared_ptr<CommandQueue> queue = device->makeCommandQueue();
    SplatRenderer renderer{device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3};
    std::shared_ptr<Texture> target;
    ViewportDescriptor viewport;

    // The device rasterises with `threads` threads (0: every core).
    Frame(std::uint32_t width, std::uint32_t height, unsigned threads = 0)
        : device(threads == 0 ? createSystemDefaultDevice()
                              : std::make_shared<SoftwareDevice>(SoftwareDeviceDescriptor{std::size_t(1) << 30, threads})),
          viewport(view(width, height)) {
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

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The target: a whole frame at 690x798 (conversion, sort, draw) with one tile kernel.
void BM_Frame690x798(benchmark::State& state, const shaders::SplatTileKernels* kernels) {
    const shaders::SplatTileKernels& before = shaders::activeSplatTileKernels();
    shaders::setActiveSplatTileKernels(*kernels);
    Frame frame(690, 798, unsigned(state.range(0)));
    double cpu = 0;
    for (auto _ : state) {
        const double start = processSeconds();
        frame.renderer.update(head());
        auto commandBuffer = frame.encode();
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        cpu += processSeconds() - start;
    }
    state.counters["frames_per_second"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["cpu_ms_per_frame"] = 1e3 * cpu / double(state.iterations());
    shaders::setActiveSplatTileKernels(before);
}

// One tile kernel alone: 256 splats of 2 to 12 pixels' reach, nearest first, into a 16x16 tile
// that starts transparent, as many times as it takes; splats per second.
void BM_TileKernel(benchmark::State& state, const shaders::SplatTileKernels* kernels) {
    using shaders::kGatherTileSize;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> position(-4.0f, 20.0f), reach(2.0f, 12.0f), angle(0.0f, 3.14159f),
        unit(0.0f, 1.0f);
    std::vector<shaders::SplatPrimitive> splats;
    for (int i = 0; i < 256; ++i) {
        const float a = angle(rng), r1 = reach(rng), r2 = reach(rng) * 0.5f, c = std::cos(a), s = std::sin(a);
        // Axes (r1 c, r1 s) and (-r2 s, r2 c) at three standard deviations; the inverse scaled by 3.
        const float det = r1 * r2;
        splats.push_back({position(rng), position(rng), 0.5f, 3 * r2 * c / det, 3 * r2 * s / det, -3 * r1 * s / det,
                          3 * r1 * c / det, unit(rng), unit(rng), unit(rng), 0.2f + 0.8f * unit(rng), 11.0f});
    }
    alignas(64) float planes[4][kGatherTileSize * kGatherTileSize];
    std::uint16_t open[kGatherTileSize];
    std::uint32_t openRows = 0;
    for (auto _ : state) {
        for (float& t : planes[3]) t = 1.0f;
        for (int p = 0; p < 3; ++p)
            for (float& v : planes[p]) v = 0.0f;
        for (auto& row : open) row = 0xffff;
        openRows = 0xffff;
        for (const auto& p : splats) {
            const shaders::GatherChannel channels[3] = {{planes[0], p.red}, {planes[1], p.green}, {planes[2], p.blue}};
            const shaders::GatherTile tile{0, 0, planes[3], open, &openRows, 1.0f / 1024.0f, channels, 3, nullptr, 0};
            kernels->gather(p, tile, 0, 0, kGatherTileSize, kGatherTileSize);
        }
        benchmark::DoNotOptimize(planes);
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(splats.size()));
}

[[maybe_unused]] const bool kernelBenchmarks = [] {
    const shaders::SplatTileKernels* variants[4];
    const int count = shaders::availableSplatTileKernels(variants, 4);
    for (int i = 0; i < count; ++i)
        benchmark::RegisterBenchmark((std::string("BM_Frame690x798/") + variants[i]->name).c_str(), BM_Frame690x798,
                                     variants[i])
            ->ArgName("rasteriser_threads")
            ->Arg(0)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    // The draw's work on one rasterising thread: on a shared machine its CPU time is the steadiest
    // figure to compare kernels and changes by.
    for (int i = 0; i < count; ++i)
        benchmark::RegisterBenchmark((std::string("BM_Frame690x798/") + variants[i]->name).c_str(), BM_Frame690x798,
                                     variants[i])
            ->ArgName("rasteriser_threads")
            ->Arg(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    for (int i = 0; i < count; ++i)
        benchmark::RegisterBenchmark((std::string("BM_TileKernel/") + variants[i]->name).c_str(), BM_TileKernel,
                                     variants[i]);
    return true;
}();

// A network of the tolmira size that never predicts, so that frames measure the GPU road alone.
class IdleNetwork : public SRNetworkProtocol {
public:
    void loadModel() override {}
    void prediction(const platform::ml::MLMultiArray&, platform::ml::PixelBuffer&) override {}
    int getWidth() const override { return 690; }
    int getHeight() const override { return 798; }
    float getAspectRatio() const override { return 690.0f / 798.0f; }
    bool canPredict() const override { return false; }
};

// The offscreen splat pass with its three attachments and the packing, as the SR renderers
// encode them, on the sorted head.
void BM_SROffscreenAndPacking(benchmark::State& state) {
    auto device = createSystemDefaultDevice();
    auto queue = device->makeCommandQueue();
    auto library = makeKitShaderLibrary(*device);
    const ViewportDescriptor viewport = view(690, 798);
    SplatRenderer sorter{device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3};
    sorter.update(head());
    auto target = device->makeTexture({PixelFormat::bgra8Unorm, 690, 798, 1, TextureUsage::renderTarget});
    // Encoding a direct frame (not committed) sorts the splats and writes the view into a ring slot.
    sorter.render({viewport}, target, StoreAction::store, nullptr, nullptr, nullptr, 0, queue->makeCommandBuffer(),
                  queue);
    GaussianSplatRenderPass splats(device, library, PixelFormat::rgba16Float, PixelFormat::invalid,
                                   PixelFormat::invalid, 1, 1, {}, false);
    SRComputePass packing(device, library);
    splats.setup();
    packing.setup();
    std::vector<std::shared_ptr<Texture>> textures;
    for (int i = 0; i < 3; ++i)
        textures.push_back(device->makeTexture(
            {PixelFormat::rgba16Float, 690, 798, 1, TextureUsage::renderTarget | TextureUsage::shaderRead}));
    auto input = std::make_shared<MetalBuffer<PackedSRHalf8>>(device, 690 * 798);
    const GaussianSplatRenderData data{{viewport}, sorter.dynamicUniformBuffers(), sorter.uniformBufferOffset(),
                                       &sorter.bufferManager, textures, nullptr, nullptr, {}, StoreAction::store,
                                       0, nullptr};
    for (auto _ : state) {
        auto commandBuffer = queue->makeCommandBuffer();
        splats.render(*commandBuffer, data);
        packing.compute(*commandBuffer, {textures, input});
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    }
}
BENCHMARK(BM_SROffscreenAndPacking)->Unit(benchmark::kMillisecond)->UseRealTime();

// A whole SimpleSRSplatRenderer frame at 690x798 (conversion, sort, passes), no prediction.
void BM_SRFrame(benchmark::State& state) {
    auto device = createSystemDefaultDevice();
    auto queue = device->makeCommandQueue();
    SimpleSRSplatRenderer renderer{device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3,
                                   std::make_shared<IdleNetwork>()};
    auto drawable = device->makeTexture({PixelFormat::bgra8Unorm, 1170, 2532, 1, TextureUsage::renderTarget});
    const ViewportDescriptor viewport = view(690, 798);
    for (auto _ : state) {
        renderer.update(head());
        auto onscreen = renderer.render({viewport}, drawable, StoreAction::store, nullptr, nullptr, nullptr, 0,
                                        nullptr, queue);
        onscreen->commit();
        onscreen->waitUntilCompleted(); // after the offscreen buffer, committed first
    }
}
BENCHMARK(BM_SRFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

// The screen pass: the 1380x1596 network output drawn onto a 1170x2532 drawable.
void BM_SRScreenPass(benchmark::State& state) {
    auto device = createSystemDefaultDevice();
    auto queue = device->makeCommandQueue();
    auto network = std::make_shared<IdleNetwork>();
    ScreenRenderPass screen(device, makeKitShaderLibrary(*device), PixelFormat::bgra8Unorm, network);
    screen.setup();
    auto ring = std::make_shared<SRPixelBuffer>(device, 1380, 1596);
    for (const auto& buffer : ring->buffers()) buffer->fill(0.8f, 0.5f, 0.3f, 1.0f);
    ring->finishWrite(); // as after a prediction
    auto drawable = device->makeTexture({PixelFormat::bgra8Unorm, 1170, 2532, 1, TextureUsage::renderTarget});
    for (auto _ : state) {
        auto commandBuffer = queue->makeCommandBuffer();
        screen.render(*commandBuffer, {drawable, ring, StoreAction::store, {1, 1, 1, 1}});
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    }
}
BENCHMARK(BM_SRScreenPass)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
