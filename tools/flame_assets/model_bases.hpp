#pragma once
// The blend-shape and pose-corrective bases of the synthetic head and the FlameData messages of
// the two model files.

#include "kit/head/flame_model.pb.h"
#include "tools/flame_assets/synthetic_head.hpp"

using namespace MivoKit;

namespace synthetic {

// Which model file: the two share template, skinning and shape space; their expression spaces
// differ (the same expressions in another order and scale, and other detail shapes).
enum class ModelYear { y2023, y2020 };

// Per coefficient, one offset per vertex: shape coefficients first, then expression ones.
struct BlendBasis {
    std::vector<std::vector<simd::float3>> shape;      // kShapeCoefficients fields
    std::vector<std::vector<simd::float3>> expression; // kExpressionCoefficients fields
};

BlendBasis makeBlendBasis(const Head& head, ModelYear year);

// 36 pose-corrective fields (9 per joint after the root), one offset per vertex each.
std::vector<std::vector<simd::float3>> makePoseCorrectives(const Head& head);

FlameData makeFlameData(const Head& head, ModelYear year);

} // namespace synthetic
