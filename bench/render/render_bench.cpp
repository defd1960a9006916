// Frame cost of the direct renderer on the software GPU with a 100k-splat head: conversion of
// the frame's points, the depth sort, the draw, and the whole frame, at 512x512 and 690x798.
//
//   build/bench/render/mivo_render_bench
//   taskset -c 0,1 build/bench/render/mivo_render_bench     (two cores)

#include "kit/model/camera_math.hpp"
#include "kit/render/splat_renderer.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

using namespace platform::gpu;

namespace {

// A head-sized cloud: 100k small splats on and just under an ellipsoid, in skin and hair tones.
SplatMemoryBuffer headCloud() {
    std::mt19937 rng(17);
    std::normal_distribution<float> gauss(0, 1);
    std::uniform_real_distribution<float> unit(0, 1);
    SplatMemoryBuffer buffer;
    buffer.points.reserve(100000);
    for (int i = 0; i < 100000; ++i) {
        simd::float3 d{gauss(rng), gauss(rng), gauss(rng)};
        d = d * (1.0f / simd::length(d));
        const float depth = 1.0f - 0.08f * unit(rng);
        SplatScenePoint p;
        p.position = {0.08f * d.x * depth, 0.11f * d.y * depth, 0.09f * d.z * depth};
        const bool hair = d.y > 0.35f || d.z < -0.3f;
        const float sh = hair ? -1.2f : 0.9f;
        p.color = SplatScenePoint::Color::FirstOrderSphericalHarmonic{sh + 0.3f * gauss(rng), sh - 0.5f,
                                                                     sh - 0.8f + 0.2f * gauss(rng)};
        p.opacity = SplatScenePoint::Opacity::LogitFloat{2.0f + gauss(rng)};
        // About a millimetre across, flattened along the third axis.
        p.scale = SplatScenePoint::Scale::Exponent{-6.6f + 0.4f * gauss(rng), -6.6f + 0.4f * gauss(rng),
                                                    -7.5f + 0.3f * gauss(rng)};
        p.rotation = {gauss(rng), gauss(rng), gauss(rng), gauss(rng)};
        buffer.points.push_back(p);
    }
    return buffer;
}

const SplatMemoryBuffer& head() {
    static const SplatMemoryBuffer cloud = headCloud();
    return cloud;
}

ViewportDescriptor view(std::uint32_t width, std::uint32_t height) {
    ViewportDescriptor v;
    v.viewport = {0, 0, double(width), double(height), 0, 1};
    v.projectionMatrix = perspectiveMatrix(0.5f, float(width) / float(height), 0.01f, 100.0f);
    auto t = simd::float4x4::identity();
    t.columns[3] = {0, 0, 0.55f, 1};
    v.viewMatrix = simd::inverse(t);
    v.screenSize = {width, height};
    return v;
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
