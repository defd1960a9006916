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
// The tile kernels alone, through the direct draw's entry (a tile's splats in one call):
// BM_TileKernel on the workload the earlier kernels were measured on, BM_TileEntries on a tile as
// a frame gives it, each with the time per 8-pixel group its splats cover (ns_per_group;
// groupsGathered says what is counted).
//
//   build/bench/render/mivo_render_bench --benchmark_repetitions=9
//   taskset -c 0,1 build/bench/render/mivo_render_bench --benchmark_repetitions=9     (two cores)
//   build/bench/render/mivo_render_bench --benchmark_filter=Frame690 --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true                                      (the target)

#include "kit/render/sr/gaussian_splat_render_pass.hpp"
#include "kit/render/shaders/splat_tile_kernels.hpp"
#include "kit/render/sr/screen_render_pass.hpp"
#include "kit/render/shader_library.hpp"
#include "kit/render/sr/simple_sr_splat_renderer.hpp"
#include "kit/render/splat_renderer.hpp"
#include "kit/render/sr/sr_compute_pass.hpp"
#include "tools/demo/demo_scene.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
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

// Splats for the tile kernels: centred on and around a 16x16 tile at the window's origin, reaching
// `reachLo` to `reachHi` pixels along their major axis (three standard deviations) and half that
// along the minor one on average, at any angle, with colours and opacities drawn at random.
std::vector<shaders::SplatPrimitive> tileSplats(int count, float reachLo, float reachHi, float opacityLo) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> position(-4.0f, 20.0f), reach(reachLo, reachHi), angle(0.0f, 3.14159f),
        unit(0.0f, 1.0f);
    std::vector<shaders::SplatPrimitive> splats;
    for (int i = 0; i < count; ++i) {
        const float a = angle(rng), r1 = reach(rng), r2 = reach(rng) * 0.5f, c = std::cos(a), s = std::sin(a);
        // Axes (r1 c, r1 s) and (-r2 s, r2 c) at three standard deviations; the inverse scaled by 3.
        const float det = r1 * r2;
        shaders::SplatPrimitive p{position(rng), position(rng), 0.5f, 3 * r2 * c / det, 3 * r2 * s / det,
                                  -3 * r1 * s / det, 3 * r1 * c / det, unit(rng), unit(rng), unit(rng),
                                  opacityLo + (1.0f - opacityLo) * unit(rng), 11.0f};
        if (opacityLo < 0.2f) p.maxDistance2 = 2.0f * std::log(255.0f * p.opacity) * 1.001f + 1e-4f;
        splats.push_back(p);
    }
    return splats;
}

// The tile pixels [x0, x1) x [y0, y1) of a splat's 3-sigma quad, as binning gives them.
platform::gpu::TileEntry tileEntry(const shaders::SplatPrimitive& p, std::uint32_t slot) {
    // The axes are the inverse of p's (i00, i01; i10, i11) / 3, in pixels.
    const double det = double(p.i00) * p.i11 - double(p.i01) * p.i10;
    const double a1x = 3 * p.i11 / det, a2x = -3 * p.i01 / det, a1y = -3 * p.i10 / det, a2y = 3 * p.i00 / det;
    const double ex = std::abs(a1x) + std::abs(a2x), ey = std::abs(a1y) + std::abs(a2y);
    auto clampTo = [](double v) { return std::uint8_t(std::clamp(v, 0.0, double(kTileSize))); };
    return {slot, clampTo(std::ceil(p.centreX - ex - 0.5)), clampTo(std::ceil(p.centreY - ey - 0.5)),
            clampTo(std::floor(p.centreX + ex - 0.5) + 1), clampTo(std::floor(p.centreY + ey - 0.5) + 1)};
}

// The kernels' work on `entries` (taken last first), counted plainly: the 8-pixel groups (eight
// columns of a row from a multiple of eight on) that hold a pixel some splat gathers into, a pixel
// of its 3-sigma square with alpha 1/255 or more while the pixel lets through `limit` or more.
std::int64_t groupsGathered(const std::vector<shaders::SplatPrimitive>& splats,
                            const std::vector<platform::gpu::TileEntry>& entries, float limit) {
    std::vector<double> through(kTileSize * kTileSize, 1.0);
    std::int64_t groups = 0;
    for (std::size_t e = entries.size(); e-- > 0;) {
        const platform::gpu::TileEntry& entry = entries[e];
        const shaders::SplatPrimitive& p = splats[entry.slot];
        for (int y = entry.y0; y < entry.y1; ++y) {
            bool hit[2] = {false, false};
            for (int x = entry.x0; x < entry.x1; ++x) {
                double& t = through[y * kTileSize + x];
                if (t < limit) continue;
                const double dx = x + 0.5 - p.centreX, dy = y + 0.5 - p.centreY;
                const double u = p.i00 * dx + p.i01 * dy, v = p.i10 * dx + p.i11 * dy;
                const double alpha = std::min(0.99, p.opacity * std::exp(-0.5 * (u * u + v * v)));
                if (std::abs(u) > 3 || std::abs(v) > 3 || alpha < 1.0 / 255) continue;
                hit[x / 8] = true;
                t -= t * alpha;
            }
            groups += hit[0] + hit[1];
        }
    }
    return groups;
}

// Gathers `entries` of `records` into a fresh transparent tile, as many times as the benchmark
// runs; items are `items` per run, and ns_per_group the wall time per 8-pixel group covered.
void timeGather(benchmark::State& state, const shaders::SplatTileKernels* kernels,
                const std::vector<shaders::SplatGatherRecord>& records,
                const std::vector<platform::gpu::TileEntry>& entries, float closeBelow, double groups,
                std::size_t items) {
    using shaders::kGatherTileSize;
    alignas(64) float planes[4][kGatherTileSize * kGatherTileSize]; // red, green, blue, transmittance
    std::uint16_t open[kGatherTileSize];
    std::uint32_t openRows = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (float& t : planes[3]) t = 1.0f;
        for (int p = 0; p < 3; ++p)
            for (float& v : planes[p]) v = 0.0f;
        for (auto& row : open) row = 0xffff;
        openRows = 0xffff;
        const shaders::GatherTile tile{0, 0, planes[3], open, &openRows, closeBelow, nullptr, 0, nullptr, 0};
        kernels->gatherEntries(reinterpret_cast<const std::byte*>(records.data()), sizeof(shaders::SplatGatherRecord),
                               entries.data(), entries.size(), tile, {planes[0], true});
        benchmark::DoNotOptimize(planes);
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    state.SetItemsProcessed(state.iterations() * std::int64_t(items));
    state.counters["ns_per_group"] = elapsed.count() / (double(state.iterations()) * groups);
}

// One tile kernel alone on the workload its earlier versions were measured on: 256 splats of 2 to
// 12 pixels' reach, each over the whole tile, into a 16x16 tile that starts transparent and closes
// pixels under a transmittance of 1/1024, as many times as it takes; the direct draw's entry (the
// whole list in one call). Splats per second, and the time per 8-pixel group the splats cover
// (groupsGathered).
void BM_TileKernel(benchmark::State& state, const shaders::SplatTileKernels* kernels) {
    const std::vector<shaders::SplatPrimitive> splats = tileSplats(256, 2.0f, 12.0f, 0.2f);
    std::vector<shaders::SplatGatherRecord> records;
    std::vector<platform::gpu::TileEntry> wholeTile; // draw order: the nearest (the first splat) last
    for (std::size_t i = splats.size(); i-- > 0;) {
        records.push_back({splats[i], shaders::rowReachOf(splats[i])});
        wholeTile.push_back({std::uint32_t(records.size() - 1), 0, 0, 16, 16});
    }
    std::vector<shaders::SplatPrimitive> inRecordOrder;
    for (const auto& r : records) inRecordOrder.push_back(r.splat);
    const double groups = double(groupsGathered(inRecordOrder, wholeTile, 1.0f / 1024.0f));
    timeGather(state, kernels, records, wholeTile, 1.0f / 1024.0f, groups, splats.size());
}

// One tile as a frame gives it to the direct draw: 160 splats of 3 to 16 pixels' reach, each over
// the part of its quad inside the tile, in draw order, gathered in one call with the frame's
// transmittance limit. Splats per second and the time per 8-pixel group (groupsGathered).
void BM_TileEntries(benchmark::State& state, const shaders::SplatTileKernels* kernels) {
    const std::vector<shaders::SplatPrimitive> splats = tileSplats(160, 3.0f, 16.0f, 0.02f);
    std::vector<shaders::SplatGatherRecord> records;
    std::vector<platform::gpu::TileEntry> entries;
    for (const auto& p : splats) {
        records.push_back({p, shaders::rowReachOf(p)});
        const auto entry = tileEntry(p, std::uint32_t(entries.size()));
        if (entry.x0 < entry.x1 && entry.y0 < entry.y1) entries.push_back(entry);
        else records.pop_back();
    }
    const double groups = double(groupsGathered(splats, entries, kOpaqueTransmittance));
    timeGather(state, kernels, records, entries, kOpaqueTransmittance, groups, entries.size());
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
    for (int i = 0; i < count; ++i)
        benchmark::RegisterBenchmark((std::string("BM_TileEntries/") + variants[i]->name).c_str(), BM_TileEntries,
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
