#include "kit/render/splat_uniform_ring.hpp"

#include <algorithm>
#include <limits>

namespace MivoKit {

SplatUniformRing::SplatUniformRing(platform::gpu::Device& device, std::size_t maxViewCount,
                                   std::size_t maxSimultaneousRenders)
    : maxViewCount_(maxViewCount), slotCount_(maxSimultaneousRenders) {
    if (maxViewCount_ < 1) throw Error(ErrorCode::invalidMaxViewCount, "maxViewCount must be at least 1");
    if (slotCount_ < 1)
        throw Error(ErrorCode::invalidMaxSimultaneousRenders, "maxSimultaneousRenders must be at least 1");
    buffer_ = device.makeBuffer(kUniformSlotSize * slotCount_);
    if (!buffer_) throw Error(ErrorCode::uniformBufferCreationFailed, "Failed to create the uniform buffer");
    buffer_->setLabel("Uniform Buffer");
    uniforms_ = reinterpret_cast<UniformsArray*>(buffer_->contents());
}

std::span<const ViewportDescriptor> SplatUniformRing::drawnViews(const std::vector<ViewportDescriptor>& views) const {
    return {views.data(), std::min(views.size(), maxViewCount_)};
}

void SplatUniformRing::advance() {
    index_ = (index_ + 1) % slotCount_;
    offset_ = index_ * kUniformSlotSize;
    uniforms_ = reinterpret_cast<UniformsArray*>(buffer_->contents() + offset_);
}

namespace {

std::uint32_t toScreenDimension(std::int64_t value) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::uint32_t>::max()));
}

} // namespace

void SplatUniformRing::write(std::span<const ViewportDescriptor> views) {
    for (std::size_t i = 0; i < views.size() && i < 2; ++i) {
        Uniforms& u = i == 0 ? uniforms_->uniforms0 : uniforms_->uniforms1;
        u.projectionMatrix = views[i].projectionMatrix;
        u.viewMatrix = views[i].viewMatrix;
        u.screenSize = {toScreenDimension(views[i].screenSize.width), toScreenDimension(views[i].screenSize.height)};
    }
    simd::float3 positionSum{0, 0, 0}, forwardSum{0, 0, 0};
    for (const auto& v : views) {
        const simd::float4x4 inverseView = simd::inverse(v.viewMatrix);
        positionSum = positionSum + (inverseView * simd::float4{0, 0, 0, 1}).xyz();
        forwardSum = forwardSum + (inverseView * simd::float4{0, 0, -1, 0}).xyz();
    }
    if (views.empty()) {
        cameraWorldPosition_ = {0, 0, 0};
        cameraWorldForward_ = {0, 0, -1};
        return;
    }
    const float n = static_cast<float>(views.size());
    cameraWorldPosition_ = {positionSum.x / n, positionSum.y / n, positionSum.z / n};
    const simd::float3 mean{forwardSum.x / n, forwardSum.y / n, forwardSum.z / n};
    const float length = simd::length(mean);
    cameraWorldForward_ = {mean.x / length, mean.y / length, mean.z / length};
}

} // namespace MivoKit
