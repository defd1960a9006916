#include "tools/flame_assets/model_bases.hpp"

#include <cmath>
#include <random>

using namespace MivoKit;

namespace synthetic {
namespace {

using Field = std::vector<simd::float3>;

float gauss(simd::float3 d, float sigma) { return std::exp(-simd::dot(d, d) / (sigma * sigma)); }

bool movesWithSkin(Part part) { return part == Part::skin || part == Part::neck || part == Part::ear; }

// A smooth random swelling of the surface: a few bumps along the normals. Eyeballs move with the
// skin in front of them so they stay in their sockets.
Field randomBumps(const Head& head, std::mt19937& random, float amplitude, bool frontOnly) {
    std::uniform_int_distribution<std::size_t> pick(0, head.vertices.size() - 1);
    std::uniform_real_distribution<float> unit(0, 1);
    std::vector<std::pair<simd::float3, float>> bumps;
    for (int b = 0; b < 3; ++b) {
        std::size_t v;
        do v = pick(random);
        while (!movesWithSkin(head.info[v].part) || (frontOnly && std::cos(head.info[v].phi) < 0.3f));
        const float sign = unit(random) < 0.5f ? -1.0f : 1.0f;
        bumps.emplace_back(head.vertices[v], sign * (0.4f + 0.6f * unit(random)));
    }
    const float sigma = 0.02f + 0.04f * unit(random);
    const auto at = [&](simd::float3 p) {
        float sum = 0;
        for (const auto& [c, a] : bumps) sum += a * gauss(p - c, sigma);
        return amplitude * sum;
    };
    Field field(head.vertices.size());
    for (std::size_t v = 0; v < field.size(); ++v) {
        const auto part = head.info[v].part;
        if (movesWithSkin(part)) {
            field[v] = head.normals[v] * at(head.vertices[v]);
        } else {
            const auto& eye = head.eyeCenters[part == Part::leftEyeball ? 0 : 1];
            field[v] = simd::float3{0, 0, at(eye + simd::float3{0, 0, head.eyeRadius})};
        }
    }
    return field;
}

// Weight of the named facial areas, on the front of the skin only.
float front(const Head& head, std::size_t v) {
    const auto& i = head.info[v];
    return i.part == Part::skin ? std::max(0.0f, std::cos(i.phi)) : 0.0f;
}

Field mouthOpen(const Head& head) {
    Field f(head.vertices.size());
    for (std::size_t v = 0; v < f.size(); ++v) {
        const auto p = head.vertices[v] - head.mouthFront;
        const float near = gauss({p.x * 0.7f, p.y, 0}, 0.03f) * front(head, v);
        if (head.info[v].lowerLip || (p.y < 0 && head.info[v].jaw > 0.5f)) f[v] = {0, -0.006f * near, 0};
        else if (head.info[v].upperLip) f[v] = {0, 0.002f * near, 0};
    }
    return f;
}

Field smile(const Head& head) {
    Field f(head.vertices.size());
    for (std::size_t v = 0; v < f.size(); ++v) {
        const auto p = head.vertices[v] - head.mouthFront;
        const float corners = gauss({std::fabs(p.x) - 0.026f, p.y, 0}, 0.014f) * front(head, v);
        f[v] = simd::float3{0.002f * (p.x > 0 ? 1.0f : -1.0f), 0.004f, -0.003f} * corners;
    }
    return f;
}

Field browRaise(const Head& head) {
    Field f(head.vertices.size());
    for (std::size_t v = 0; v < f.size(); ++v) {
        const auto p = head.vertices[v];
        const float brows = gauss({std::max(std::fabs(p.x) - 0.03f, 0.0f), p.y - 0.052f, 0}, 0.014f) * front(head, v);
        f[v] = {0, 0.004f * brows, 0};
    }
    return f;
}

Field pucker(const Head& head) {
    Field f(head.vertices.size());
    for (std::size_t v = 0; v < f.size(); ++v) {
        const auto p = head.vertices[v] - head.mouthFront;
        const float lips = gauss({p.x * 0.8f, p.y, 0}, 0.018f) * front(head, v);
        f[v] = simd::float3{-0.25f * p.x, 0, 0.004f} * lips;
    }
    return f;
}

Field cheekPuff(const Head& head) {
    Field f(head.vertices.size());
    for (std::size_t v = 0; v < f.size(); ++v) {
        const auto p = head.vertices[v];
        const float cheeks = gauss({std::fabs(p.x) - 0.045f, p.y + 0.02f, 0}, 0.02f) * front(head, v);
        f[v] = head.normals[v] * (0.004f * cheeks);
    }
    return f;
}

} // namespace

BlendBasis makeBlendBasis(const Head& head, ModelYear year) {
    BlendBasis basis;
    std::mt19937 shapeRandom(2023);
    for (std::size_t k = 0; k < kShapeCoefficients; ++k)
        basis.shape.push_back(randomBumps(head, shapeRandom, 0.004f / (1.0f + float(k) / 10.0f), false));

    std::vector<Field> named = {mouthOpen(head), smile(head), browRaise(head), pucker(head), cheekPuff(head)};
    std::mt19937 detailRandom(year == ModelYear::y2023 ? 7 : 11);
    if (year == ModelYear::y2020) {
        std::swap(named[0], named[1]);
        for (auto& field : named)
            for (auto& d : field) d = d * 0.8f;
    }
    basis.expression = std::move(named);
    for (std::size_t k = basis.expression.size(); k < kExpressionCoefficients; ++k)
        basis.expression.push_back(randomBumps(head, detailRandom, 0.0015f / (1.0f + float(k) / 20.0f), true));
    return basis;
}

std::vector<std::vector<simd::float3>> makePoseCorrectives(const Head& head) {
    std::vector<Field> rows(9 * (kJoints - 1), Field(head.vertices.size()));
    // Opening the jaw (feature (2, 1) of its R - I, the sine of the angle) draws the chin back.
    auto& jawSine = rows[9 + 7];
    for (std::size_t v = 0; v < head.vertices.size(); ++v) jawSine[v] = {0, 0, -0.008f * head.info[v].jaw * front(head, v)};
    return rows;
}

FlameData makeFlameData(const Head& head, ModelYear year) {
    const std::size_t V = head.vertices.size();
    const auto basis = makeBlendBasis(head, year);
    const auto correctives = makePoseCorrectives(head);

    FlameData data;
    for (const auto& p : head.vertices) {
        auto* row = data.add_vtemplate();
        for (float x : {p.x, p.y, p.z}) row->add_values(x);
    }
    auto* parents = data.add_kintreetable();
    for (int p : {-1, 0, 1, 1, 1}) parents->add_values(p);
    auto* ids = data.add_kintreetable();
    for (int j = 0; j < int(kJoints); ++j) ids->add_values(j);
    for (const auto& w : head.weights) {
        auto* row = data.add_weights();
        for (float x : w) row->add_values(x);
    }
    for (std::size_t v = 0; v < V; ++v) {
        auto* matrix = data.add_shapedirs();
        for (int c = 0; c < 3; ++c) {
            auto* row = matrix->add_values();
            row->mutable_values()->Reserve(int(kShapeCoefficients + kExpressionCoefficients));
            for (const auto& field : basis.shape) row->add_values(field[v][c]);
            for (const auto& field : basis.expression) row->add_values(field[v][c]);
        }
    }
    for (const auto& field : correctives) {
        auto* row = data.add_posedirs();
        row->mutable_values()->Reserve(int(3 * V));
        for (const auto& d : field)
            for (float x : {d.x, d.y, d.z}) row->add_values(x);
    }
    for (const auto& joint : head.regressor) {
        std::vector<float> weights(V, 0.0f);
        for (const auto& [v, w] : joint) weights[v] += w;
        auto* row = data.add_jregressor();
        row->mutable_values()->Add(weights.begin(), weights.end());
    }
    return data;
}

} // namespace synthetic
