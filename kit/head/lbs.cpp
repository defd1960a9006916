#include "kit/head/lbs.hpp"

#include <algorithm>
#include <cmath>

namespace MivoKit {

namespace {

simd::float4x4 rigid(const Float3x3& r, simd::float3 t) {
    return simd::float4x4::fromColumns({r.m[0][0], r.m[1][0], r.m[2][0], 0}, {r.m[0][1], r.m[1][1], r.m[2][1], 0},
                                       {r.m[0][2], r.m[1][2], r.m[2][2], 0}, {t.x, t.y, t.z, 1});
}

// Columns of corrective values per pose feature; without features there are no correctives.
std::size_t correctiveColumns(std::size_t posedirsSize, std::size_t features, std::size_t vertices) {
    return features == 0 ? 3 * vertices : posedirsSize / features;
}

} // namespace

void LBS::addScaled(float* __restrict out, const float* __restrict row, float factor, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] += factor * row[i];
}

std::vector<simd::float3> LBS::blendShapes(const std::vector<float>& betas, const std::vector<float>& shapedirs) {
    const std::size_t k = betas.size();
    if (k == 0) return {};
    const std::size_t vertices = shapedirs.size() / (3 * k);
    std::vector<simd::float3> out(vertices);
    for (std::size_t v = 0; v < vertices; ++v)
        for (int c = 0; c < 3; ++c) {
            const float* row = shapedirs.data() + (3 * v + std::size_t(c)) * k;
            float sum = 0;
            for (std::size_t i = 0; i < k; ++i) sum += row[i] * betas[i];
            out[v][c] = sum;
        }
    return out;
}

std::vector<simd::float3> LBS::regressJoints(const std::vector<std::vector<float>>& jRegressor,
                                             std::span<const simd::float3> vertices) {
    std::vector<simd::float3> joints(jRegressor.size());
    for (std::size_t j = 0; j < jRegressor.size(); ++j) {
        const auto& row = jRegressor[j];
        const std::size_t n = std::min(row.size(), vertices.size());
        simd::float3 sum;
        for (std::size_t v = 0; v < n; ++v) sum = sum + vertices[v] * row[v];
        joints[j] = sum;
    }
    return joints;
}

Float3x3 LBS::rodrigues(simd::float3 v, float epsilon) {
    const float theta = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z) + epsilon;
    const simd::float3 k = {v.x / theta, v.y / theta, v.z / theta};
    const Float3x3 K = {{{{0, -k.z, k.y}, {k.z, 0, -k.x}, {-k.y, k.x, 0}}}};
    const Float3x3 K2 = K * K;
    const float s = std::sin(theta), c = 1.0f - std::cos(theta);
    Float3x3 r = Float3x3::identity();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] += s * K.m[i][j] + c * K2.m[i][j];
    return r;
}

std::pair<std::vector<simd::float3>, std::vector<simd::float4x4>>
LBS::batchRigidTransform(const std::vector<Float3x3>& rotations, const std::vector<simd::float3>& joints,
                         const std::vector<std::ptrdiff_t>& parents) {
    const std::size_t n = std::min({rotations.size(), joints.size(), parents.size()});
    std::vector<simd::float4x4> world(n);
    std::vector<simd::float3> posed(n);
    std::vector<simd::float4x4> relative(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto p = parents[i];
        const bool hasParent = i > 0 && p >= 0 && std::size_t(p) < i;
        const simd::float3 rel = hasParent ? joints[i] - joints[std::size_t(p)] : joints[i];
        const auto local = rigid(rotations[i], rel);
        world[i] = hasParent ? world[std::size_t(p)] * local : local;
        posed[i] = world[i].columns[3].xyz();

        // Moves the rest joint to its posed place: translation t - R j; then the identity is taken
        // away so that a weighted sum of these plus I is the blended transform.
        const auto& w = world[i];
        const simd::float3 j = joints[i];
        simd::float4x4 a = w;
        a.columns[3] = {w.columns[3].x - (w.columns[0].x * j.x + w.columns[1].x * j.y + w.columns[2].x * j.z),
                        w.columns[3].y - (w.columns[0].y * j.x + w.columns[1].y * j.y + w.columns[2].y * j.z),
                        w.columns[3].z - (w.columns[0].z * j.x + w.columns[1].z * j.y + w.columns[2].z * j.z),
                        w.columns[3].w};
        for (int c = 0; c < 4; ++c) a.columns[c][c] -= 1.0f;
        relative[i] = a;
    }
    return {std::move(posed), std::move(relative)};
}

std::vector<simd::float3> LBS::addOffsets(const std::vector<simd::float3>& a, const std::vector<simd::float3>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::vector<simd::float3> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
    return out;
}

void LBS::rig(std::span<const float> pose, const std::vector<simd::float3>& restJoints,
              const std::vector<std::ptrdiff_t>& parents, Rig& out) {
    const std::size_t groups = pose.size() / 3;
    out.rotations.resize(groups);
    for (std::size_t g = 0; g < groups; ++g)
        out.rotations[g] = rodrigues({pose[3 * g], pose[3 * g + 1], pose[3 * g + 2]}, 1e-8f);
    out.poseFeatures.clear();
    for (std::size_t g = 1; g < groups; ++g)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) out.poseFeatures.push_back(out.rotations[g].m[r][c] - (r == c ? 1.0f : 0.0f));
    auto [posed, relative] = batchRigidTransform(out.rotations, restJoints, parents);
    out.posedJoints = std::move(posed);
    out.relative = std::move(relative);
}

std::size_t LBS::skinnedCount(std::size_t vertices, std::size_t weightRows, std::size_t posedirsSize,
                              std::size_t features) {
    return std::min({vertices, weightRows, correctiveColumns(posedirsSize, features, vertices) / 3});
}

void LBS::skinRange(const Rig& rig, std::span<const simd::float3> vShaped, std::span<const float> posedirs,
                    std::size_t columns, const std::vector<std::vector<float>>& lbsWeights, std::size_t begin,
                    std::size_t end, simd::float3* out) {
    // Pose correctives feature by feature, so each pass reads one row contiguously.
    static_assert(sizeof(simd::float3) == 3 * sizeof(float));
    for (std::size_t v = begin; v < end; ++v) out[v] = vShaped[v];
    for (std::size_t p = 0; p < rig.poseFeatures.size(); ++p)
        addScaled(&out[begin].x, posedirs.data() + p * columns + 3 * begin, rig.poseFeatures[p], 3 * (end - begin));

    const std::size_t transforms = rig.relative.size();
    for (std::size_t v = begin; v < end; ++v) {
        const auto& weights = lbsWeights[v];
        const std::size_t joints = std::min(weights.size(), transforms);
        simd::float4x4 t; // sum of w_j (A_j - I), then + I
        for (std::size_t j = 0; j < joints; ++j) {
            const float w = weights[j];
            const auto& a = rig.relative[j];
            for (int c = 0; c < 4; ++c) t.columns[c] = t.columns[c] + a.columns[c] * w;
        }
        for (int c = 0; c < 4; ++c) t.columns[c][c] += 1.0f;
        const simd::float3 p = out[v];
        out[v] = {t.columns[0].x * p.x + t.columns[1].x * p.y + t.columns[2].x * p.z + t.columns[3].x,
                  t.columns[0].y * p.x + t.columns[1].y * p.y + t.columns[2].y * p.z + t.columns[3].y,
                  t.columns[0].z * p.x + t.columns[1].z * p.y + t.columns[2].z * p.z + t.columns[3].z};
    }
}

std::pair<std::vector<simd::float3>, std::vector<simd::float3>>
LBS::lbs(const std::vector<float>& pose, const std::vector<simd::float3>& vShaped, const std::vector<float>& posedirs,
         const std::vector<std::vector<float>>& jRegressor, const std::vector<std::ptrdiff_t>& parents,
         const std::vector<std::vector<float>>& lbsWeights) {
    const auto restJoints = regressJoints(jRegressor, vShaped);
    Rig r;
    rig(pose, restJoints, parents, r);
    const std::size_t features = r.poseFeatures.size();
    const std::size_t columns = correctiveColumns(posedirs.size(), features, vShaped.size());
    const std::size_t n = skinnedCount(vShaped.size(), lbsWeights.size(), posedirs.size(), features);
    std::vector<simd::float3> out(n);
    skinRange(r, vShaped, posedirs, columns, lbsWeights, 0, n, out.data());
    return {std::move(out), std::move(r.posedJoints)};
}

} // namespace MivoKit
