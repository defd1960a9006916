// The forward pass: blend shapes, static offsets, pose correctives, linear blend skinning over the
// joint chain, eyelids and the global translation.

#include "kit/head/flame_head.hpp"

#include "kit/head/lbs.hpp"
#include "kit/head/parallel_for.hpp"

#include <algorithm>

namespace {

constexpr std::size_t kVertexChunk = 256;

std::size_t nonNegative(std::ptrdiff_t n) { return std::size_t(std::max<std::ptrdiff_t>(n, 0)); }

// `values` cut or zero-padded to `size`, appended to `out`.
void appendFitted(std::vector<float>& out, std::span<const float> values, std::size_t size) {
    const std::size_t n = std::min(size, values.size());
    out.insert(out.end(), values.begin(), values.begin() + std::ptrdiff_t(n));
    out.insert(out.end(), size - n, 0.0f);
}

bool sameValues(std::span<const float> a, const std::vector<float>& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

bool sameOffsets(std::span<const simd::float3> a, const std::vector<simd::float3>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

void addEyelid(simd::float3& vertex, const std::vector<std::vector<float>>& table, std::size_t v, float weight) {
    if (v >= table.size() || table[v].size() != 3) return;
    const auto& row = table[v];
    vertex = vertex + simd::float3{row[0], row[1], row[2]} * weight;
}

} // namespace

std::pair<std::vector<simd::float3>, std::vector<simd::float3>>
FlameHead::forward(const std::vector<float>& shape, const std::vector<float>& expr, const std::vector<float>& rotation,
                   const std::vector<float>& neck, const std::vector<float>& jaw, const std::vector<float>& eyes,
                   simd::float3 translation, bool /*zeroCenteredAtRootNode*/,
                   const std::optional<std::vector<simd::float3>>& staticOffset,
                   const std::optional<std::vector<simd::float3>>& /*dynamicOffset*/,
                   const std::optional<std::vector<float>>& eyelid) {
    Pose pose{shape, expr, rotation, neck, jaw, eyes, translation, {}, std::nullopt};
    if (staticOffset) pose.staticOffset = *staticOffset;
    if (eyelid) pose.eyelid = std::span<const float>(*eyelid);
    std::pair<std::vector<simd::float3>, std::vector<simd::float3>> result;
    forwardInto(pose, result.first, 0, &result.second);
    return result;
}

void FlameHead::forwardInto(const Pose& pose, std::vector<simd::float3>& posed, unsigned maxWorkers,
                            std::vector<simd::float3>* shaped) {
    // The layout the pass relies on; anything else is an unloaded or broken head.
    const std::size_t V = v_template.size();
    const std::size_t J = parents.size();
    const std::size_t S = nonNegative(shapeParams), E = nonNegative(exprParams), K = S + E;
    bool usable = V > 0 && J > 0 && J_regressor.size() >= J &&
                  (shapedirsFlat.empty() || shapedirsFlat.size() == V * 3 * K);
    for (std::size_t i = 1; usable && i < J; ++i) usable = parents[i] >= 0 && std::size_t(parents[i]) < i;
    if (!usable) {
        posed.clear();
        if (shaped) shaped->clear();
        return;
    }
    const bool hasBlendShapes = !shapedirsFlat.empty();

    auto& coefficients = work_.coefficients;
    coefficients.clear();
    appendFitted(coefficients, pose.shape, S);
    appendFitted(coefficients, pose.expr, E);
    const std::span<const float> shapeCoefficients(coefficients.data(), S);
    const std::span<const float> exprCoefficients(coefficients.data() + S, E);

    // Template + shape + static offsets, kept while the character's shape and offsets stay.
    if (!base_.valid || !sameValues(shapeCoefficients, base_.shape) || !sameOffsets(pose.staticOffset, base_.staticOffset)) {
        base_.shape.assign(shapeCoefficients.begin(), shapeCoefficients.end());
        base_.staticOffset.assign(pose.staticOffset.begin(), pose.staticOffset.end());
        base_.vertices = v_template;
        base_.joints.clear();
        if (hasBlendShapes) {
            parallelFor(V, kVertexChunk, maxWorkers, [&](std::size_t begin, std::size_t end) {
                for (std::size_t v = begin; v < end; ++v)
                    for (int c = 0; c < 3; ++c) {
                        const float* row = shapedirsFlat.data() + (3 * v + std::size_t(c)) * K;
                        float sum = 0;
                        for (std::size_t k = 0; k < S; ++k) sum += row[k] * base_.shape[k];
                        base_.vertices[v][c] += sum;
                    }
            });
        }
        const std::size_t offsets = std::min(V, base_.staticOffset.size());
        for (std::size_t v = 0; v < offsets; ++v) base_.vertices[v] = base_.vertices[v] + base_.staticOffset[v];
        base_.valid = true;
    }
    if (hasBlendShapes && E > 0 && exprBasis_.empty()) {
        exprBasis_.resize(E * 3 * V);
        for (std::size_t r = 0; r < 3 * V; ++r)
            for (std::size_t k = 0; k < E; ++k) exprBasis_[k * 3 * V + r] = shapedirsFlat[r * K + S + k];
        // The joints are linear in the vertices, so each expression coefficient moves them by the
        // regression of its column: the rest joints need no pass over the shaped vertices.
        exprJoints_.clear();
        for (std::size_t k = 0; k < E; ++k) {
            const std::span<const simd::float3> column(reinterpret_cast<const simd::float3*>(exprBasis_.data() + k * 3 * V), V);
            const auto joints = LBS::regressJoints(J_regressor, column);
            exprJoints_.insert(exprJoints_.end(), joints.begin(), joints.end());
        }
    }
    if (base_.joints.empty()) base_.joints = LBS::regressJoints(J_regressor, base_.vertices);

    auto& restJoints = work_.joints;
    restJoints = base_.joints;
    const bool expressive = hasBlendShapes && E > 0;
    for (std::size_t k = 0; expressive && k < E; ++k)
        if (exprCoefficients[k] != 0.0f)
            for (std::size_t j = 0; j < restJoints.size(); ++j)
                restJoints[j] = restJoints[j] + exprJoints_[k * restJoints.size() + j] * exprCoefficients[k];

    // Three values per joint: rotation, neck, jaw, then both eyes, each cut or padded to its size.
    auto& poseValues = work_.pose;
    poseValues.clear();
    appendFitted(poseValues, pose.rotation, 3);
    appendFitted(poseValues, pose.neck, 3);
    appendFitted(poseValues, pose.jaw, 3);
    appendFitted(poseValues, pose.eyes, 6);
    poseValues.resize(3 * J, 0.0f);

    parents[0] = -1;
    LBS::rig(poseValues, restJoints, parents, rig_);
    const std::size_t features = rig_.poseFeatures.size();
    const std::size_t columns = features == 0 ? 3 * V : posedirsFlat.size() / features;
    const std::size_t n = LBS::skinnedCount(V, lbs_weights.size(), posedirsFlat.size(), features);

    const float leftLid = pose.eyelid && pose.eyelid->size() > 0 ? (*pose.eyelid)[0] : 0.0f;
    const float rightLid = pose.eyelid && pose.eyelid->size() > 1 ? (*pose.eyelid)[1] : 0.0f;
    auto& vShaped = work_.shaped;
    vShaped.resize(V);
    posed.resize(n);
    // One pass per block of vertices: expression blend shapes (coefficient by coefficient over
    // contiguous rows), pose correctives and skinning, eyelids, translation.
    parallelFor(V, kVertexChunk, maxWorkers, [&](std::size_t begin, std::size_t end) {
        std::copy(base_.vertices.begin() + std::ptrdiff_t(begin), base_.vertices.begin() + std::ptrdiff_t(end),
                  vShaped.begin() + std::ptrdiff_t(begin));
        for (std::size_t k = 0; expressive && k < E; ++k)
            if (exprCoefficients[k] != 0.0f)
                LBS::addScaled(&vShaped[begin].x, exprBasis_.data() + k * 3 * V + 3 * begin, exprCoefficients[k], 3 * (end - begin));
        end = std::min(end, n);
        if (begin >= end) return;
        LBS::skinRange(rig_, vShaped, posedirsFlat, columns, lbs_weights, begin, end, posed.data());
        for (std::size_t v = begin; v < end; ++v) {
            if (pose.eyelid) {
                addEyelid(posed[v], r_eyelid, v, rightLid);
                addEyelid(posed[v], l_eyelid, v, leftLid);
            }
            posed[v] = posed[v] + pose.translation;
        }
    });
    if (shaped) *shaped = vShaped;
}
