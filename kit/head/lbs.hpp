#pragma once
// Linear blend skinning of the FLAME head: blend shapes, joint regression, axis-angle rotations,
// the kinematic chain and the per-vertex weighted transforms.

#include "kit/head/float3x3.hpp"
#include "platform/simd/simd.hpp"

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace MivoKit {

struct LBS {
    // Offsets of the basis (rows of betas.size() coefficients, three rows per vertex) weighted by
    // the coefficients: one offset per vertex of the basis.
    static std::vector<simd::float3> blendShapes(const std::vector<float>& betas, const std::vector<float>& shapedirs);

    // Skins the shaped vertices by the pose (three axis-angle values per joint): (vertices, posed
    // joints). posedirs holds one row of corrective offsets per pose feature (9 per joint after the
    // root). The result has as many vertices as the shorter of lbsWeights and the corrected vertices.
    static std::pair<std::vector<simd::float3>, std::vector<simd::float3>>
    lbs(const std::vector<float>& pose, const std::vector<simd::float3>& vShaped, const std::vector<float>& posedirs,
        const std::vector<std::vector<float>>& jRegressor, const std::vector<std::ptrdiff_t>& parents,
        const std::vector<std::vector<float>>& lbsWeights);

    // One joint per regressor row: the weighted sum of the vertices the row covers.
    static std::vector<simd::float3> regressJoints(const std::vector<std::vector<float>>& jRegressor,
                                                   std::span<const simd::float3> vertices);

    // The rotation by |v| (+ epsilon) about v: I + sin K + (1 - cos) K^2. A zero vector gives I.
    static Float3x3 rodrigues(simd::float3 v, float epsilon = 1e-8f);

    // (posed joints, relative transforms minus the identity) of the chain. A joint whose parent is
    // not an earlier joint is treated as a root.
    static std::pair<std::vector<simd::float3>, std::vector<simd::float4x4>>
    batchRigidTransform(const std::vector<Float3x3>& rotations, const std::vector<simd::float3>& joints,
                        const std::vector<std::ptrdiff_t>& parents);

    // Element-wise sum over the common length.
    static std::vector<simd::float3> addOffsets(const std::vector<simd::float3>& a, const std::vector<simd::float3>& b);

    // ---- the steps of lbs(), shared with the head's forward pass ----

    // What one pose makes of the rest joints: the rotations, the pose features (R - I of every joint
    // after the root, row by row) and the relative transforms minus the identity.
    struct Rig {
        std::vector<Float3x3> rotations;
        std::vector<float> poseFeatures;
        std::vector<simd::float3> posedJoints;
        std::vector<simd::float4x4> relative;
    };
    static void rig(std::span<const float> pose, const std::vector<simd::float3>& restJoints,
                    const std::vector<std::ptrdiff_t>& parents, Rig& out);

    // out[v] for v in [begin, end): shaped vertex v plus its pose correctives (posedirs rows of
    // `columns` values), skinned by the weights of row v. The caller keeps end within the
    // vertices, the weight rows and columns / 3.
    static void skinRange(const Rig& rig, std::span<const simd::float3> vShaped, std::span<const float> posedirs,
                          std::size_t columns, const std::vector<std::vector<float>>& lbsWeights, std::size_t begin,
                          std::size_t end, simd::float3* out);
    // out[i] += factor * row[i] for i < count: one row of a coefficient-major basis. `out` and
    // `row` do not overlap.
    static void addScaled(float* out, const float* row, float factor, std::size_t count);
    // The number of vertices skinRange covers for these sizes (the common length of the vertices,
    // the weight rows and the corrective columns).
    static std::size_t skinnedCount(std::size_t vertices, std::size_t weightRows, std::size_t posedirsSize,
                                    std::size_t features);
};

} // namespace MivoKit
