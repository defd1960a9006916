// The forward pass: blend shapes, static offsets, pose correctives, linear blend skinning over the
// joint chain, eyelids and the global translation.

#include "kit/head/flame_head.hpp"

#include "kit/head/lbs.hpp"
#include "platform/dispatch/parallel_for.hpp"

#include <algorithm>

namespace MivoKit {

using platform::dispatch::parallelFor;

namespace {

constexpr std::size_t kVertexChunk = 256;

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

std::vector<float> FlameHead::expressionColumns(std::span<const float> flat, std::size_t V, std::size_t S, std::size_t E) {
    const std::size_t K = S + E;
    std::vector<float> basis(E * 3 * V);
    for (std::size_t r = 0; r < 3 * V; ++r)
        for (std::size_t k = 0; k < E; ++k) basis[k * 3 * V + r] = flat[r * K + S + k];
    return basis;
}

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
    const std::size_t count = beginForward(pose, posed);
    parallelFor(count, kVertexChunk, maxWorkers, [this](std::size_t begin, std::size_t end) { forwardRange(begin, end); });
    if (shaped) {
        if (count > 0) *shaped = work_.shaped;
        else shaped->clear();
    }
}

std::size_t FlameHead::beginForward(const Pose& pose, std::vector<simd::float3>& posed) {
    // The layout the pass relies on; anything else is an unloaded or broken head.
    const std::size_t V = v_template.size();
    const std::size_t J = parents.size();
    const std::size_t S = shapeCount(), E = expressionCount(), K = S + E;
    bool usable = V > 0 && J > 0 && J_regressor.size() >= J &&
                  (shared_ || shapedirsFlat.empty() || shapedirsFlat.size() == V * 3 * K);
    for (std::size_t i = 1; usable && i < J; ++i) usable = parents[i] >= 0 && std::size_t(parents[i]) < i;
    if (!usable) {
        posed.clear();
        return 0;
    }
    // Shape rows of `shapeStride` values: the shared shape basis, else shapedirsFlat.
    const bool hasBlendShapes = shared_ ? shared_->hasBlendShapes : !shapedirsFlat.empty();
    const float* shapeRows = shared_ ? (hasBlendShapes ? shared_->shape->data() : nullptr) : shapedirsFlat.data();
    const std::size_t shapeStride = shared_ ? S : K;
    const std::span<const float> poseBasis = shared_ ? std::span<const float>(*shared_->pose) : posedirsFlat;

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
            // Once per character: on every core.
            parallelFor(V, kVertexChunk, 0, [&](std::size_t begin, std::size_t end) {
                for (std::size_t v = begin; v < end; ++v)
                    for (int c = 0; c < 3; ++c) {
                        const float* row = shapeRows + (3 * v + std::size_t(c)) * shapeStride;
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
    if (hasBlendShapes && E > 0 && exprJoints_.empty()) {
        if (!exprBasis_) exprBasis_ = std::make_shared<const std::vector<float>>(expressionColumns(shapedirsFlat, V, S, E));
        // The joints are linear in the vertices, so each expression coefficient moves them by the
        // regression of its column: the rest joints need no pass over the shaped vertices.
        exprJoints_.clear();
        for (std::size_t k = 0; k < E; ++k) {
            const std::span<const simd::float3> column(reinterpret_cast<const simd::float3*>(exprBasis_->data() + k * 3 * V), V);
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

    auto& w = work_;
    w.posed = &posed;
    w.expressive = hasBlendShapes && E > 0;
    w.exprCoefficients = exprCoefficients;
    w.poseBasis = poseBasis;
    w.columns = features == 0 ? 3 * V : poseBasis.size() / features;
    w.skinned = LBS::skinnedCount(V, lbs_weights.size(), poseBasis.size(), features);
    w.hasEyelid = pose.eyelid.has_value();
    w.leftLid = pose.eyelid && pose.eyelid->size() > 0 ? (*pose.eyelid)[0] : 0.0f;
    w.rightLid = pose.eyelid && pose.eyelid->size() > 1 ? (*pose.eyelid)[1] : 0.0f;
    w.translation = pose.translation;
    w.shaped.resize(V);
    posed.resize(w.skinned);
    return V;
}

// One block of vertices: expression blend shapes (coefficient by coefficient over contiguous
// rows), pose correctives and skinning, eyelids, translation.
void FlameHead::forwardRange(std::size_t begin, std::size_t end) {
    auto& w = work_;
    const std::size_t V = v_template.size();
    std::copy(base_.vertices.begin() + std::ptrdiff_t(begin), base_.vertices.begin() + std::ptrdiff_t(end),
              w.shaped.begin() + std::ptrdiff_t(begin));
    for (std::size_t k = 0; w.expressive && k < w.exprCoefficients.size(); ++k)
        if (w.exprCoefficients[k] != 0.0f)
            LBS::addScaled(&w.shaped[begin].x, exprBasis_->data() + k * 3 * V + 3 * begin, w.exprCoefficients[k],
                           3 * (end - begin));
    end = std::min(end, w.skinned);
    if (begin >= end) return;
    auto& posed = *w.posed;
    LBS::skinRange(rig_, w.shaped, w.poseBasis, w.columns, lbs_weights, begin, end, posed.data());
    for (std::size_t v = begin; v < end; ++v) {
        if (w.hasEyelid) {
            addEyelid(posed[v], r_eyelid, v, w.rightLid);
            addEyelid(posed[v], l_eyelid, v, w.leftLid);
        }
        posed[v] = posed[v] + w.translation;
    }
}

} // namespace MivoKit
