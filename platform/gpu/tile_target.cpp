#include "platform/gpu/pipeline.hpp"
#include "platform/gpu/shader.hpp"

#include <algorithm>

namespace MivoKit {

namespace platform::gpu {
namespace {

bool compare(CompareFunction function, float incoming, float stored) {
    switch (function) {
    case CompareFunction::never: return false;
    case CompareFunction::less: return incoming < stored;
    case CompareFunction::equal: return incoming == stored;
    case CompareFunction::lessEqual: return incoming <= stored;
    case CompareFunction::greater: return incoming > stored;
    case CompareFunction::notEqual: return incoming != stored;
    case CompareFunction::greaterEqual: return incoming >= stored;
    case CompareFunction::always: return true;
    }
    return true;
}

// The factor for channel c (0-2 colour, 3 alpha) of `factor` given source and destination.
float factorValue(BlendFactor factor, const float* src, const float* dst, int c) {
    switch (factor) {
    case BlendFactor::zero: return 0;
    case BlendFactor::one: return 1;
    case BlendFactor::sourceColor: return src[c];
    case BlendFactor::oneMinusSourceColor: return 1 - src[c];
    case BlendFactor::sourceAlpha: return src[3];
    case BlendFactor::oneMinusSourceAlpha: return 1 - src[3];
    case BlendFactor::destinationColor: return dst[c];
    case BlendFactor::oneMinusDestinationColor: return 1 - dst[c];
    case BlendFactor::destinationAlpha: return dst[3];
    case BlendFactor::oneMinusDestinationAlpha: return 1 - dst[3];
    case BlendFactor::sourceAlphaSaturated: return c == 3 ? 1 : std::min(src[3], 1 - dst[3]);
    default: return 0; // dual-source factors never reach a pipeline
    }
}

float combine(BlendOperation op, float s, float d, float sf, float df) {
    switch (op) {
    case BlendOperation::add: return s * sf + d * df;
    case BlendOperation::subtract: return s * sf - d * df;
    case BlendOperation::reverseSubtract: return d * df - s * sf;
    case BlendOperation::min: return std::min(s, d);
    case BlendOperation::max: return std::max(s, d);
    }
    return s;
}

} // namespace

void TileTarget::writeFragment(int x, int y, float fragmentDepth, const FragmentOutput& out) {
    const int index = (y - originY) * kTileSize + (x - originX);
    if (depth && depthState) {
        const auto& d = depthState->descriptor();
        if (!compare(d.depthCompareFunction, fragmentDepth, depth[index])) return;
        if (d.depthWriteEnabled) depth[index] = fragmentDepth;
    }
    const auto& attachments = pipeline->descriptor().colorAttachments;
    for (std::size_t i = 0; i < colorCount; ++i) {
        if (!color[i]) continue;
        const auto& a = attachments[i];
        float* dst = color[i] + index * 4;
        float src[4] = {out.color[i].x, out.color[i].y, out.color[i].z, out.color[i].w};
        const bool normalised = a.pixelFormat != PixelFormat::rgba16Float;
        if (normalised)
            for (float& s : src) s = std::clamp(s, 0.0f, 1.0f);
        if (!a.blendingEnabled) {
            std::copy(src, src + 4, dst);
            continue;
        }
        float result[4];
        for (int c = 0; c < 4; ++c) {
            const bool alpha = c == 3;
            const float sf = factorValue(alpha ? a.sourceAlphaBlendFactor : a.sourceRGBBlendFactor, src, dst, c);
            const float df =
                factorValue(alpha ? a.destinationAlphaBlendFactor : a.destinationRGBBlendFactor, src, dst, c);
            result[c] = combine(alpha ? a.alphaBlendOperation : a.rgbBlendOperation, src[c], dst[c], sf, df);
            if (normalised) result[c] = std::clamp(result[c], 0.0f, 1.0f);
        }
        std::copy(result, result + 4, dst);
    }
}

} // namespace platform::gpu

} // namespace MivoKit
