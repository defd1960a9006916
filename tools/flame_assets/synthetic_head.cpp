#include "tools/flame_assets/synthetic_head.hpp"

#include "kit/head/flame_mask.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <stdexcept>

using namespace MivoKit;

namespace synthetic {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// Surface grid: 44 head rows and 16 neck rows of 64 columns, closed at the top by one pole.
constexpr int kColumns = 64;
constexpr int kHeadRows = 44;
constexpr int kNeckRows = 16;
constexpr int kRows = kHeadRows + kNeckRows;
constexpr int kEarRows = 9, kEarColumns = 5;
constexpr std::size_t kSurfaceVertices = 1 + std::size_t(kRows) * kColumns + 2 * kEarRows * kEarColumns;
static_assert(kSurfaceVertices == 3931);

// Eyeballs: front pole, 17 rings of 32, back pole.
constexpr int kEyeRings = 17, kEyeSegments = 32;
constexpr std::size_t kEyeballVertices = 2 + std::size_t(kEyeRings) * kEyeSegments;
constexpr std::size_t kLeftEyeballFirst = 3931, kRightEyeballFirst = 4477;
static_assert(kRightEyeballFirst + kEyeballVertices == kTemplateVertices);

// The mouth: the lip rows around the slit and the 15 ring columns, centred on the front column.
constexpr int kFrontColumn = kColumns / 2;
constexpr int kRingFirstColumn = kFrontColumn - 7;
constexpr int kRingColumns = 15;
constexpr int kLeftCorner = kRingFirstColumn + kRingColumns; // +x side
constexpr int kRightCorner = kRingFirstColumn - 1;
constexpr int kOuterUpperRow = 31, kInnerUpperRow = 32, kInnerLowerRow = 33, kOuterLowerRow = 34;

const simd::float3 kCenter = {0, 0.02f, -0.005f};
constexpr float kMouthTheta = 2.1697f; // polar angle of the closed lips

float smoothstep(float a, float b, float x) {
    const float t = std::clamp((x - a) / (b - a), 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

// A Catmull-Rom curve through the control points (xs ascending).
float spline(const std::vector<float>& xs, const std::vector<float>& ys, float x) {
    if (x <= xs.front()) return ys.front();
    if (x >= xs.back()) return ys.back();
    std::size_t i = 0;
    while (xs[i + 1] < x) ++i;
    const float t = (x - xs[i]) / (xs[i + 1] - xs[i]);
    const float p0 = ys[i == 0 ? 0 : i - 1], p1 = ys[i], p2 = ys[i + 1], p3 = ys[std::min(i + 2, ys.size() - 1)];
    return 0.5f * (2 * p1 + (-p0 + p2) * t + (2 * p0 - 5 * p1 + 4 * p2 - p3) * t * t + (-p0 + 3 * p1 - 3 * p2 + p3) * t * t * t);
}

const std::vector<float> kProfileTheta = {0, 0.3f, 0.8f, 1.2f, 1.57f, 1.9f, 2.2f, 2.5f, 2.7f, 2.85f, 3.0f};
const std::vector<float> kFrontDepth = {0, 0.030f, 0.070f, 0.088f, 0.095f, 0.093f, 0.088f, 0.080f, 0.068f, 0.052f, 0.045f};
const std::vector<float> kHalfWidth = {0, 0.030f, 0.066f, 0.076f, 0.078f, 0.074f, 0.066f, 0.058f, 0.052f, 0.050f, 0.050f};
const std::vector<float> kBackDepth = {0, 0.032f, 0.075f, 0.095f, 0.100f, 0.097f, 0.090f, 0.074f, 0.062f, 0.057f, 0.055f};

float columnAngle(int column) {
    const float psi = float(column - kFrontColumn) / float(kFrontColumn) * kPi;
    return psi - 0.6f * std::sin(psi); // columns crowd at the front
}

std::vector<float> headRowAngles() {
    std::vector<float> rows;
    for (int i = 0; i < 31; ++i) rows.push_back(0.07f + (kMouthTheta - 0.085f - 0.07f) * float(i) / 30.0f);
    for (float d : {-0.04f, -0.012f, 0.012f, 0.04f}) rows.push_back(kMouthTheta + d);
    for (int i = 0; i < 9; ++i) rows.push_back(kMouthTheta + 0.085f + (3.0f - kMouthTheta - 0.085f) * float(i) / 8.0f);
    return rows;
}

simd::float3 profilePoint(float theta, float phi) {
    const float c = std::cos(theta);
    const float y = kCenter.y + (c > 0 ? 0.105f : 0.11f) * c;
    const float depth = spline(kProfileTheta, std::cos(phi) >= 0 ? kFrontDepth : kBackDepth, theta);
    const float width = spline(kProfileTheta, kHalfWidth, theta);
    return {width * std::sin(phi), y, kCenter.z + depth * std::cos(phi)};
}

// Features pushed out of (or into) the face along z, on the front only.
float faceRelief(simd::float3 p, const std::array<simd::float3, 2>& eyes, float front) {
    if (front <= 0) return 0;
    const auto gauss = [](float dx, float sx, float dy, float sy) { return std::exp(-(dx * dx) / (sx * sx) - (dy * dy) / (sy * sy)); };
    float dz = 0;
    // Nose: a ridge from the brows to a tip above the mouth.
    const float noseRamp = smoothstep(0.035f, -0.006f, p.y) * (1 - smoothstep(-0.008f, -0.019f, p.y));
    dz += 0.021f * noseRamp * gauss(p.x, 0.007f + 0.006f * noseRamp, 0, 1);
    // Brow ridge, chin and cheeks.
    dz += 0.004f * gauss(p.y - 0.05f, 0.007f, std::max(std::fabs(p.x) - 0.015f, 0.0f), 0.03f);
    dz += 0.005f * gauss(p.y + 0.073f, 0.011f, p.x, 0.018f);
    // Eye sockets, so the eyeballs show.
    for (const auto& e : eyes) dz -= 0.0065f * gauss(p.x - e.x, 0.017f, p.y - e.y, 0.010f);
    return dz * front;
}

std::vector<simd::float3> vertexNormals(const std::vector<simd::float3>& v, const std::vector<std::array<std::ptrdiff_t, 3>>& faces) {
    std::vector<simd::float3> n(v.size());
    for (const auto& f : faces) {
        const auto a = v[std::size_t(f[0])], b = v[std::size_t(f[1])], c = v[std::size_t(f[2])];
        const auto w = simd::cross(b - a, c - a);
        for (auto i : f) n[std::size_t(i)] = n[std::size_t(i)] + w;
    }
    for (auto& x : n) {
        const float l = simd::length(x);
        x = l > 0 ? x * (1 / l) : simd::float3{0, 0, 1};
    }
    return n;
}

struct Builder {
    // Geometric vertices (before the FLAME numbering).
    std::vector<simd::float3> vertices;
    std::vector<VertexInfo> info;
    std::vector<simd::float2> uvs;
    std::vector<std::array<std::size_t, 3>> faces;

    std::size_t add(simd::float3 p, VertexInfo i, simd::float2 uv) {
        vertices.push_back(p);
        info.push_back(i);
        uvs.push_back(uv);
        return vertices.size() - 1;
    }
};

std::size_t grid(int row, int column) { return 1 + std::size_t(row) * kColumns + std::size_t((column % kColumns + kColumns) % kColumns); }

bool inMouth(int column) { return column >= kRightCorner && column <= kLeftCorner; }

void buildSurface(Builder& b, const std::array<simd::float3, 2>& eyes) {
    const auto thetas = headRowAngles();
    b.add(profilePoint(0, 0), {Part::skin, 0, 0}, {0.5f, 1.0f}); // the top pole
    const auto lastHeadRing = [&](float phi) { return profilePoint(thetas.back(), phi); };
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            const float phi = columnAngle(c);
            VertexInfo i;
            simd::float3 p;
            if (r < kHeadRows) {
                i.theta = thetas[std::size_t(r)];
                p = profilePoint(i.theta, phi);
                p.z += faceRelief(p, eyes, smoothstep(0.0f, 0.5f, std::cos(phi)));
            } else {
                // The neck: from the last head ring into a round neck, straight down.
                const int k = r - kHeadRows + 1;
                i.part = Part::neck;
                i.theta = 3.0f + 0.1f * float(k);
                const auto top = lastHeadRing(phi);
                const simd::float3 round = {0.052f * std::sin(phi), top.y, kCenter.z - 0.008f + 0.052f * std::cos(phi)};
                const float t = smoothstep(0, 4, float(k));
                p = top * (1 - t) + round * t;
                p.y = top.y - 0.0056f * float(k);
            }
            i.phi = phi;
            b.add(p, i, {0.5f + phi / (2 * kPi), 1.0f - i.theta / 4.6f});
        }
    }
    // Close the lips over the slit: the two inner lip rows meet, the lips stand out a little.
    for (int c = kRightCorner; c <= kLeftCorner; ++c) {
        auto& upper = b.vertices[grid(kInnerUpperRow, c)];
        auto& lower = b.vertices[grid(kInnerLowerRow, c)];
        const auto middle = (upper + lower) * 0.5f;
        upper = middle;
        lower = middle;
        const float taper = std::sin(kPi * float(c - kRightCorner) / float(kLeftCorner - kRightCorner));
        for (int r : {kInnerUpperRow, kInnerLowerRow}) b.vertices[grid(r, c)].z += 0.0035f * taper;
        for (int r : {kOuterUpperRow, kOuterLowerRow}) b.vertices[grid(r, c)].z += 0.002f * taper;
        b.info[grid(kOuterUpperRow, c)].upperLip = b.info[grid(kInnerUpperRow, c)].upperLip = true;
        b.info[grid(kOuterLowerRow, c)].lowerLip = b.info[grid(kInnerLowerRow, c)].lowerLip = true;
    }

    for (int c = 0; c < kColumns; ++c) b.faces.push_back({0, grid(0, c), grid(0, c + 1)});
    for (int r = 0; r + 1 < kRows; ++r)
        for (int c = 0; c < kColumns; ++c) {
            if (r == kInnerUpperRow && inMouth(c) && inMouth(c + 1)) continue; // the mouth slit
            const auto a = grid(r, c), bb = grid(r, c + 1), cc = grid(r + 1, c + 1), d = grid(r + 1, c);
            b.faces.push_back({a, d, cc});
            b.faces.push_back({a, cc, bb});
        }
}

// A flap standing off the side of the head.
void buildEar(Builder& b, float side) {
    const float y0 = 0.012f;
    const auto base = profilePoint(1.62f, side * kPi / 2);
    std::vector<std::size_t> ids;
    for (int r = 0; r < kEarRows; ++r)
        for (int c = 0; c < kEarColumns; ++c) {
            const float v = float(r) / (kEarRows - 1), u = float(c) / (kEarColumns - 1);
            const float height = 0.058f * (0.75f + 0.25f * u);
            const float y = y0 + (v - 0.5f) * height - 0.004f * u;
            const float out = 0.004f + 0.014f * u * std::sin(kPi * (0.15f + 0.7f * v));
            const simd::float3 p = {side * (std::fabs(base.x) + out), y, -0.006f - 0.018f * u + 0.004f * std::sin(kPi * v)};
            ids.push_back(b.add(p, {Part::ear, 1.62f, side * kPi / 2}, {side > 0 ? 0.05f * u : 1 - 0.05f * u, v}));
        }
    for (int r = 0; r + 1 < kEarRows; ++r)
        for (int c = 0; c + 1 < kEarColumns; ++c) {
            const auto a = ids[std::size_t(r * kEarColumns + c)], bb = ids[std::size_t(r * kEarColumns + c + 1)],
                       cc = ids[std::size_t((r + 1) * kEarColumns + c + 1)], d = ids[std::size_t((r + 1) * kEarColumns + c)];
            if (side > 0) {
                b.faces.push_back({a, bb, cc});
                b.faces.push_back({a, cc, d});
            } else {
                b.faces.push_back({a, cc, bb});
                b.faces.push_back({a, d, cc});
            }
        }
}

void buildEyeball(Builder& b, simd::float3 center, float radius, Part part) {
    const std::size_t first = b.vertices.size();
    const auto at = [&](float alpha, float beta) {
        return center + simd::float3{std::sin(alpha) * std::cos(beta), std::sin(alpha) * std::sin(beta), std::cos(alpha)} * radius;
    };
    const float phi = part == Part::leftEyeball ? 1.0f : -1.0f;
    b.add(at(0, 0), {part, 0, phi}, {0.5f, 0.5f});
    for (int k = 1; k <= kEyeRings; ++k)
        for (int l = 0; l < kEyeSegments; ++l) {
            const float alpha = kPi * float(k) / (kEyeRings + 1), beta = 2 * kPi * float(l) / kEyeSegments;
            b.add(at(alpha, beta), {part, alpha, phi}, {0.5f + 0.5f * std::sin(alpha) * std::cos(beta) * 0.9f, 0.5f + 0.5f * std::sin(alpha) * std::sin(beta) * 0.9f});
        }
    b.add(at(kPi, 0), {part, kPi, phi}, {0.5f, 0.5f});
    const std::size_t back = b.vertices.size() - 1;
    const auto ring = [&](int k, int l) { return first + 1 + std::size_t(k - 1) * kEyeSegments + std::size_t((l + kEyeSegments) % kEyeSegments); };
    for (int l = 0; l < kEyeSegments; ++l) b.faces.push_back({first, ring(1, l), ring(1, l + 1)});
    for (int k = 1; k < kEyeRings; ++k)
        for (int l = 0; l < kEyeSegments; ++l) {
            b.faces.push_back({ring(k, l), ring(k + 1, l), ring(k + 1, l + 1)});
            b.faces.push_back({ring(k, l), ring(k + 1, l + 1), ring(k, l + 1)});
        }
    for (int l = 0; l < kEyeSegments; ++l) b.faces.push_back({back, ring(kEyeRings, l + 1), ring(kEyeRings, l)});
}

// How much a skin vertex follows the jaw.
float jawWeight(const VertexInfo& i, int row, int column) {
    if (i.part != Part::skin) return 0;
    const bool lowerLipRow = row == kInnerLowerRow || row == kOuterLowerRow;
    if (lowerLipRow && column > kRightCorner && column < kLeftCorner) return 1;
    if (row <= kInnerUpperRow) return 0;
    const float down = smoothstep(kMouthTheta + 0.01f, kMouthTheta + 0.2f, i.theta);
    const float side = 1 - smoothstep(0.9f, 1.6f, std::fabs(i.phi));
    const float underJaw = 1 - smoothstep(2.8f, 3.0f, i.theta);
    return down * side * underJaw;
}

} // namespace

Head makeHead() {
    Head head;
    head.eyeRadius = 0.0125f;
    {
        const float y = 0.032f;
        const float theta = std::acos((y - kCenter.y) / 0.105f);
        for (int s = 0; s < 2; ++s) {
            const float side = s == 0 ? 1.0f : -1.0f;
            const float phi = side * 0.41f;
            const auto skin = profilePoint(theta, phi);
            head.eyeCenters[std::size_t(s)] = {skin.x, y, skin.z - head.eyeRadius - 0.0005f};
        }
    }

    Builder b;
    buildSurface(b, head.eyeCenters);
    buildEar(b, 1);
    buildEar(b, -1);
    if (b.vertices.size() != kSurfaceVertices) throw std::logic_error("synthetic head surface has the wrong size");
    buildEyeball(b, head.eyeCenters[0], head.eyeRadius, Part::leftEyeball);
    buildEyeball(b, head.eyeCenters[1], head.eyeRadius, Part::rightEyeball);
    if (b.vertices.size() != kTemplateVertices) throw std::logic_error("synthetic head has the wrong size");

    // FLAME numbering: the lip rings and mouth corners take their fixed indices, every other
    // surface vertex the free indices in order; the eyeballs keep their ranges.
    std::vector<std::ptrdiff_t> flameIndex(kTemplateVertices, -1);
    std::vector<bool> taken(kTemplateVertices, false);
    const auto fix = [&](std::size_t geometric, std::ptrdiff_t index) {
        if (taken[std::size_t(index)] || flameIndex[geometric] >= 0) throw std::logic_error("lip ring index used twice");
        flameIndex[geometric] = index;
        taken[std::size_t(index)] = true;
    };
    std::map<std::string, FlameMask::Indices> fixed(FlameMask::fixedRegions().begin(), FlameMask::fixedRegions().end());
    const std::pair<const char*, int> rings[] = {{"lip_outside_ring_upper", kOuterUpperRow},
                                                 {"lip_inside_ring_upper", kInnerUpperRow},
                                                 {"lip_inside_ring_lower", kInnerLowerRow},
                                                 {"lip_outside_ring_lower", kOuterLowerRow}};
    for (const auto& [name, row] : rings) {
        const auto& ring = fixed.at(name);
        // Entry 0 on the +x side, across the mouth to the -x side.
        for (int i = 0; i < kRingColumns; ++i) fix(grid(row, kRingFirstColumn + kRingColumns - 1 - i), ring[std::size_t(i)]);
    }
    fix(grid(kInnerUpperRow, kLeftCorner), 1594);
    fix(grid(kInnerUpperRow, kRightCorner), 2730);
    for (std::size_t g = kSurfaceVertices; g < kTemplateVertices; ++g) fix(g, std::ptrdiff_t(g));
    std::size_t next = 0;
    for (std::size_t g = 0; g < kSurfaceVertices; ++g) {
        if (flameIndex[g] >= 0) continue;
        while (taken[next]) ++next;
        fix(g, std::ptrdiff_t(next));
    }

    head.vertices.resize(kTemplateVertices);
    head.info.resize(kTemplateVertices);
    head.uvs.resize(kTemplateVertices);
    for (std::size_t g = 0; g < kTemplateVertices; ++g) {
        const auto f = std::size_t(flameIndex[g]);
        head.vertices[f] = b.vertices[g];
        head.info[f] = b.info[g];
        head.uvs[f] = b.uvs[g];
    }
    for (const auto& face : b.faces)
        head.faces.push_back({flameIndex[face[0]], flameIndex[face[1]], flameIndex[face[2]]});
    head.normals = vertexNormals(head.vertices, head.faces);
    head.mouthY = head.vertices[std::size_t(flameIndex[grid(kInnerUpperRow, kFrontColumn)])].y;
    head.mouthFront = head.vertices[std::size_t(flameIndex[grid(kInnerUpperRow, kFrontColumn)])];

    // Skinning: the neck blends from the root up to the neck joint, the head follows the neck and
    // the jaw, the eyeballs their own joints.
    head.weights.assign(kTemplateVertices, {});
    for (std::size_t g = 0; g < kTemplateVertices; ++g) {
        const auto f = std::size_t(flameIndex[g]);
        auto& w = head.weights[f];
        auto& info = head.info[f];
        switch (info.part) {
        case Part::leftEyeball: w[3] = 1; break;
        case Part::rightEyeball: w[4] = 1; break;
        case Part::ear: w[1] = 1; break;
        case Part::neck: {
            const float t = smoothstep(3.0f, 3.0f + 0.1f * kNeckRows, info.theta);
            w[0] = t;
            w[1] = 1 - t;
            break;
        }
        case Part::skin: {
            const int row = g == 0 ? -1 : int((g - 1) / kColumns);
            const int column = g == 0 ? 0 : int((g - 1) % kColumns);
            info.jaw = jawWeight(info, row, column);
            w[2] = info.jaw;
            w[1] = 1 - info.jaw;
            break;
        }
        }
    }

    // Joint regressor: convex combinations of vertices that put each joint where it belongs.
    const auto ringOf = [&](int row) {
        std::vector<std::pair<std::size_t, float>> out;
        for (int c = 0; c < kColumns; ++c) out.emplace_back(std::size_t(flameIndex[grid(row, c)]), 1.0f / kColumns);
        return out;
    };
    head.regressor[0] = ringOf(kRows - 1);
    head.regressor[1] = ringOf(kHeadRows + 6);
    {
        // The jaw hinge: halfway between two mirrored side vertices below the ears.
        int column = 0;
        float best = 10;
        for (int c = 0; c < kFrontColumn; ++c)
            if (std::fabs(std::fabs(columnAngle(c)) - kPi / 2) < best) best = std::fabs(std::fabs(columnAngle(c)) - kPi / 2), column = c;
        const int row = kOuterLowerRow + 1;
        head.regressor[2] = {{std::size_t(flameIndex[grid(row, column)]), 0.5f},
                             {std::size_t(flameIndex[grid(row, kColumns - column)]), 0.5f}};
    }
    for (int e = 0; e < 2; ++e) {
        const std::size_t first = e == 0 ? kLeftEyeballFirst : kRightEyeballFirst;
        for (std::size_t v = first; v < first + kEyeballVertices; ++v) head.regressor[std::size_t(3 + e)].emplace_back(v, 1.0f / kEyeballVertices);
    }
    for (std::size_t j = 0; j < kJoints; ++j) {
        simd::float3 sum;
        for (const auto& [v, w] : head.regressor[j]) sum = sum + head.vertices[v] * w;
        head.joints[j] = sum;
    }

    // Regions of the mask file.
    std::vector<std::size_t> face, scalp, neck, leftEar, rightEar, leftEyeball, rightEyeball, leftEye, rightEye, boundary;
    for (std::size_t f = 0; f < kTemplateVertices; ++f) {
        const auto& i = head.info[f];
        const auto& p = head.vertices[f];
        switch (i.part) {
        case Part::leftEyeball: leftEyeball.push_back(f); break;
        case Part::rightEyeball: rightEyeball.push_back(f); break;
        case Part::ear: (i.phi > 0 ? leftEar : rightEar).push_back(f); break;
        case Part::neck:
            neck.push_back(f);
            if (i.theta > 3.0f + 0.1f * (kNeckRows - 0.5f)) boundary.push_back(f);
            break;
        case Part::skin: {
            const float front = std::cos(i.phi);
            if (front > 0.25f && i.theta > 0.55f) face.push_back(f);
            if (i.theta < 0.6f || (front <= 0.25f && i.theta < 2.5f)) scalp.push_back(f);
            for (int e = 0; e < 2; ++e) {
                const auto d = p - head.eyeCenters[std::size_t(e)];
                if (front > 0 && std::hypot(d.x, d.y) < 0.028f) (e == 0 ? leftEye : rightEye).push_back(f);
            }
            break;
        }
        }
    }
    head.regions = {{"face", face},
                    {"scalp", scalp},
                    {"neck", neck},
                    {"left_ear", leftEar},
                    {"right_ear", rightEar},
                    {"left_eyeball", leftEyeball},
                    {"right_eyeball", rightEyeball},
                    {"left_eye_region", leftEye},
                    {"right_eye_region", rightEye},
                    {"boundary", boundary}};
    return head;
}

std::array<std::vector<simd::float3>, 2> eyelidShapes(const Head& head) {
    std::array<std::vector<simd::float3>, 2> lids;
    for (int e = 0; e < 2; ++e) {
        auto& lid = lids[std::size_t(e)];
        lid.assign(kTemplateVertices, {});
        const auto eye = head.eyeCenters[std::size_t(e)];
        for (std::size_t v = 0; v < kTemplateVertices; ++v) {
            if (head.info[v].part != Part::skin || std::cos(head.info[v].phi) <= 0) continue;
            const auto p = head.vertices[v];
            const float dx = (p.x - eye.x) / 0.019f, dy = p.y - eye.y;
            if (std::fabs(dx) >= 1 || dy <= 0 || dy >= 0.018f) continue;
            // The upper lid comes down over the eyeball to just below its middle.
            const float across = 1 - dx * dx;
            const float reach = dy < 0.012f ? 1.0f : (0.018f - dy) / 0.006f;
            const float f = across * reach;
            const float frontOfEye = eye.z + head.eyeRadius + 0.0015f;
            lid[v] = {0, -(dy + 0.002f) * f, std::max(0.0f, frontOfEye - p.z) * f};
        }
    }
    return lids;
}

} // namespace synthetic
