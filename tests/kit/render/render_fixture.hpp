#pragma once
// Shared set-up of the render tests: a software device, a colour target, a camera looking down
// -z at the origin, and helpers that render one frame and read pixels back.

#include "kit/model/camera_math.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/gpu/device.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

using namespace MivoKit;

namespace rendertest {

using namespace platform::gpu;

inline std::shared_ptr<SoftwareDevice> makeDevice(unsigned threads = 0, bool fused = true) {
    SoftwareDeviceDescriptor d;
    d.threadCount = threads;
    d.useFusedDraws = fused;
    return std::make_shared<SoftwareDevice>(d);
}

inline std::shared_ptr<Texture> makeTarget(Device& device, std::uint32_t width, std::uint32_t height,
                                           PixelFormat format = PixelFormat::bgra8Unorm) {
    TextureDescriptor d;
    d.pixelFormat = format;
    d.width = width;
    d.height = height;
    d.usage = TextureUsage::renderTarget | TextureUsage::shaderRead;
    return device.makeTexture(d);
}

inline simd::float4x4 translation(float x, float y, float z) {
    auto m = simd::float4x4::identity();
    m.columns[3] = {x, y, z, 1};
    return m;
}

// A view of width x height pixels from (0, 0, distance) looking down -z.
inline ViewportDescriptor cameraView(std::uint32_t width, std::uint32_t height, float distance,
                                     float fovy = 0.8f, const simd::float4x4& rotation = simd::float4x4::identity()) {
    ViewportDescriptor v;
    v.viewport = {0, 0, double(width), double(height), 0, 1};
    v.projectionMatrix = perspectiveMatrix(fovy, float(width) / float(height), 0.01f, 100.0f);
    v.viewMatrix = simd::inverse(translation(0, 0, distance)) * simd::inverse(rotation);
    v.screenSize = {width, height};
    return v;
}

// A point with linear values: colour (0-1), opacity, isotropic or per-axis scale.
inline SplatScenePoint point(simd::float3 position, simd::float3 rgb, float opacity, simd::float3 scale,
                             simd::quatf rotation = {}) {
    SplatScenePoint p;
    p.position = position;
    p.color = SplatScenePoint::Color::LinearFloat256{rgb.x * 255.0f, rgb.y * 255.0f, rgb.z * 255.0f};
    p.opacity = SplatScenePoint::Opacity::LinearFloat{opacity};
    p.scale = SplatScenePoint::Scale::LinearFloat{scale.x, scale.y, scale.z};
    p.rotation = rotation;
    return p;
}

// RGBA bytes of a BGRA8 texture.
struct Image {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> bgra;
    std::array<int, 4> rgba(std::uint32_t x, std::uint32_t y) const {
        const std::uint8_t* p = bgra.data() + (std::size_t(y) * width + x) * 4;
        return {p[2], p[1], p[0], p[3]};
    }
    friend bool operator==(const Image&, const Image&) = default;
};

inline Image readImage(const Texture& texture) {
    Image image{texture.width(), texture.height(), std::vector<std::uint8_t>(texture.width() * texture.height() * 4)};
    texture.getBytes(image.bgra.data(), texture.width() * 4, {0, 0, texture.width(), texture.height()});
    return image;
}

// Renders one frame of `renderer` into `target`, waits for it and returns the command buffer.
inline std::shared_ptr<CommandBuffer> renderFrame(SplatRenderer& renderer, const std::vector<ViewportDescriptor>& views,
                                                  const std::shared_ptr<Texture>& target,
                                                  const std::shared_ptr<Texture>& depth = nullptr) {
    auto queue = renderer.device()->makeCommandQueue();
    auto commandBuffer = queue->makeCommandBuffer();
    auto returned = renderer.render(views, target, StoreAction::store, depth, nullptr, nullptr, 0, commandBuffer, queue);
    returned->commit();
    returned->waitUntilCompleted();
    return returned;
}

// `count` random splats around the origin, each draw its own statement (a call's arguments are
// evaluated in an order that differs between compilers, and so would the cloud). `thin` scales
// every splat's second axis.
inline SplatPointList randomCloud(int count, unsigned seed, float minScale = 0.01f, float maxScale = 0.12f,
                                  float thin = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(-0.6f, 0.6f), unit(0, 1), scale(minScale, maxScale), q(-1, 1);
    SplatPointList points;
    for (int i = 0; i < count; ++i) {
        const simd::float3 at{pos(rng), pos(rng), pos(rng)}, colour{unit(rng), unit(rng), unit(rng)};
        const float opacity = unit(rng);
        const simd::float3 extent{scale(rng), scale(rng) * thin, scale(rng)};
        const simd::quatf turn{q(rng), q(rng), q(rng), q(rng)};
        points.push_back(point(at, colour, opacity, extent, turn));
    }
    return points;
}

// `points` from a camera 2.5 away on a fresh device with `threads` rasteriser threads, on the fused
// path or the generic per-fragment one.
inline Image renderCloud(unsigned threads, bool fused, const SplatPointList& points, std::uint32_t w,
                         std::uint32_t h) {
    auto device = makeDevice(threads, fused);
    auto target = makeTarget(*device, w, h);
    SplatRenderer renderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3);
    SplatMemoryBuffer frame;
    frame.points = points;
    renderer.update(frame);
    renderFrame(renderer, {cameraView(w, h, 2.5f, 0.9f)}, target);
    return readImage(*target);
}

} // namespace rendertest
