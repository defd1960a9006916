// The synthetic character: its description, idle animation, identity and the splat cloud bound to
// the kit's own loaded head.

#include "tools/flame_assets/asset_files.hpp"

#include "kit/head/flame_head.hpp"
#include "kit/head/gs_manager.hpp"
#include "kit/model/json_values.hpp"
#include "kit/model/splat_scene_point.hpp"
#include "platform/files/directories.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

using namespace MivoKit;

namespace synthetic {
namespace {

using nlohmann::json;
constexpr float kPiRadians = std::numbers::pi_v<float>;
constexpr std::size_t kIdleFrames = 125; // five seconds at 25 frames per second

// Camera of character.json: the camera sits in front of the face, looking down -z at the head.
constexpr float kCameraFovy = 0.5f;
const simd::float3 kCameraPosition = {0, -0.005f, 0.62f};

json encode(float value) { return json_values::encodeFloat(value); }

json encodeRow(std::initializer_list<float> values) {
    json row = json::array();
    for (float v : values) row.push_back(encode(v));
    return row;
}

std::vector<float> characterShape() {
    std::vector<float> shape(kShapeCoefficients, 0.0f);
    const float values[] = {0.8f, -0.5f, 0.3f, 0.6f, -0.4f, 0.2f, -0.3f, 0.25f};
    for (std::size_t k = 0; k < std::size(values); ++k) shape[k] = values[k];
    return shape;
}

// A gentle fullness of the cheeks and jaw, as a character's static offsets would carry.
std::vector<simd::float3> characterStaticOffsets(const Head& head) {
    std::vector<simd::float3> offsets(kTemplateVertices);
    for (std::size_t v = 0; v < kTemplateVertices; ++v) {
        if (head.info[v].part != Part::skin) continue;
        const auto p = head.vertices[v];
        const float cheeks = std::exp(-((std::fabs(p.x) - 0.05f) * (std::fabs(p.x) - 0.05f) + (p.y + 0.03f) * (p.y + 0.03f)) / 0.0009f);
        offsets[v] = head.normals[v] * (0.0015f * cheeks);
    }
    return offsets;
}

// Breathing-slow head sway, small jaw and eye movements and a faint changing expression, looping
// seamlessly: every motion completes whole cycles in the loop.
json idleFrames() {
    json frames = json::array();
    for (std::size_t i = 0; i < kIdleFrames; ++i) {
        const float t = 2 * kPiRadians * float(i) / float(kIdleFrames);
        std::vector<float> expr(kExpressionCoefficients, 0.0f);
        expr[0] = 0.05f + 0.05f * std::sin(3 * t);
        expr[1] = 0.25f + 0.1f * std::sin(t + 0.5f);
        expr[2] = 0.2f * std::sin(2 * t + 1.0f);
        for (std::size_t k = 5; k < 15; ++k) expr[k] = 0.3f * std::sin(float(k % 4 + 1) * t + float(k));
        json exprRow = json::array();
        for (float e : expr) exprRow.push_back(encode(e));
        const float gaze = 0.05f * std::sin(t) + 0.02f * std::sin(4 * t);
        json content = {
            {"translation", json::array({encodeRow({0, 0, 0})})},
            {"rotation", json::array({encodeRow({0.02f * std::sin(t), 0.05f * std::sin(t + 0.3f), 0.015f * std::sin(2 * t)})})},
            {"expr", json::array({exprRow})},
            {"neck_pose", json::array({encodeRow({0.015f * std::sin(2 * t + 1), 0.02f * std::sin(t + 2), 0})})},
            {"jaw_pose", json::array({encodeRow({0.03f + 0.02f * std::sin(3 * t), 0, 0})})},
            {"eyes_pose", json::array({encodeRow({0.02f * std::sin(2 * t), gaze, 0, 0.02f * std::sin(2 * t), gaze, 0})})},
        };
        frames.push_back({{"content", content}});
    }
    return frames;
}

json characterDescription() {
    return {{"characterID", "synthetic"},
            {"version", "1.0"},
            {"camera",
             {{"rotation", 0},
              {"fovyRadians", encode(kCameraFovy)},
              {"translationX", encode(kCameraPosition.x)},
              {"translationY", encode(kCameraPosition.y)},
              {"translationZ", encode(kCameraPosition.z)}}}};
}

// ---- the splat cloud ----

struct Rgb {
    float r, g, b;
};

constexpr Rgb kSkin{0.87f, 0.68f, 0.58f}, kNeckSkin{0.84f, 0.65f, 0.55f}, kEarSkin{0.86f, 0.63f, 0.55f};
constexpr Rgb kLips{0.74f, 0.40f, 0.40f}, kHair{0.17f, 0.11f, 0.08f}, kBrows{0.24f, 0.16f, 0.11f};
constexpr Rgb kSclera{0.93f, 0.91f, 0.88f}, kIris{0.33f, 0.22f, 0.13f}, kPupil{0.04f, 0.03f, 0.03f};
constexpr Rgb kTeeth{0.94f, 0.92f, 0.86f}, kMouthCavity{0.13f, 0.04f, 0.05f};

// Splats per square metre, and the larger density of the small detailed parts.
constexpr float kDensity = 5.7e5f;
constexpr float kEyeDensity = 3.0f * kDensity;
constexpr float kOpacityLogit = 3.9f; // about 0.98

struct Cloud {
    ply_writer::VertexTable table{ply_writer::characterLayout()};
    std::mt19937 random{100};
    std::uniform_real_distribution<float> unit{0, 1};

    // One splat at world position p with world radii (tangent, tangent, normal), bound to triangle
    // `face` whose frame is (m, s, c).
    void add(simd::float3 p, Rgb colour, float tangent, float normal, std::size_t face, const Float3x3& m, float s, simd::float3 c) {
        const auto d = p - c;
        // Local position: the inverse of c + s M x with an orthonormal M.
        const simd::float3 local = {(m.m[0][0] * d.x + m.m[1][0] * d.y + m.m[2][0] * d.z) / s,
                                    (m.m[0][1] * d.x + m.m[1][1] * d.y + m.m[2][1] * d.z) / s,
                                    (m.m[0][2] * d.x + m.m[1][2] * d.y + m.m[2][2] * d.z) / s};
        const float jitter = 0.02f * (unit(random) - 0.5f);
        const auto dc = [&](float v) { return (std::clamp(v + jitter, 0.0f, 1.0f) - 0.5f) / kSphericalHarmonicDC; };
        // Local axes: x along the first edge, y along the normal, z across.
        const float row[] = {local.x, local.y, local.z, dc(colour.r), dc(colour.g), dc(colour.b), kOpacityLogit,
                             std::log(tangent / s), std::log(normal / s), std::log(tangent / s), 1, 0, 0, 0, float(face)};
        table.addPoint(row);
    }
};

simd::float3 randomPoint(std::mt19937& random, std::uniform_real_distribution<float>& unit, simd::float3 a, simd::float3 b, simd::float3 c) {
    float u = unit(random), v = unit(random);
    if (u + v > 1) u = 1 - u, v = 1 - v;
    return a + (b - a) * u + (c - a) * v;
}

Rgb skinColour(const Head& head, const std::array<std::ptrdiff_t, 3>& face, simd::float3 p) {
    const auto& i = head.info[std::size_t(face[0])];
    const bool lips = std::all_of(face.begin(), face.end(), [&](auto v) {
        return head.info[std::size_t(v)].upperLip || head.info[std::size_t(v)].lowerLip;
    });
    if (lips) return kLips;
    if (i.part == Part::ear) return kEarSkin;
    if (i.part == Part::neck) return kNeckSkin;
    const float front = std::cos(i.phi);
    if (i.theta < 1.55f - 0.8f * front) return kHair;
    for (const auto& eye : head.eyeCenters) {
        const float arch = 0.052f - 2.5f * (p.x - eye.x) * (p.x - eye.x);
        if (front > 0.3f && std::fabs(p.x - eye.x) < 0.019f && std::fabs(p.y - arch) < 0.0035f) return kBrows;
    }
    return kSkin;
}

Rgb eyeColour(simd::float3 p, simd::float3 center) {
    const auto d = p - center;
    const float angle = std::acos(std::clamp(d.z / simd::length(d), -1.0f, 1.0f));
    if (angle < 0.17f) return kPupil;
    if (angle < 0.42f) return kIris;
    return kSclera;
}

} // namespace

void writeCharacter(const Head& head, const std::filesystem::path& resourceDirectory,
                    const std::filesystem::path& characterDirectory) {
    namespace fs = std::filesystem;
    const auto shape = characterShape();
    const auto offsets = characterStaticOffsets(head);

    fs::create_directories(characterDirectory / "animation");
    fs::create_directories(characterDirectory / "model");
    ply_writer::writeFileAtomically(characterDirectory / "character.json", characterDescription().dump(2));
    ply_writer::writeFileAtomically(characterDirectory / "animation" / "idle.json", idleFrames().dump());
    json shapeJson = json::array();
    for (float s : shape) shapeJson.push_back(encode(s));
    ply_writer::writeFileAtomically(characterDirectory / "model" / "shape.json", shapeJson.dump());
    json offsetJson = json::array();
    for (const auto& d : offsets) offsetJson.push_back(encodeRow({d.x, d.y, d.z}));
    ply_writer::writeFileAtomically(characterDirectory / "model" / "static_offset.json", offsetJson.dump());

    // The head the character is posed with, loaded by the kit itself: its triangles (teeth
    // included) are what the bindings name.
    platform::files::setResourceDirectory(resourceDirectory);
    FlameHead flame(std::ptrdiff_t(kShapeCoefficients), std::ptrdiff_t(kExpressionCoefficients), FlameVersion::V_2023);
    flame.loadResource();
    if (!flame.isLoaded()) throw std::runtime_error("the kit could not load the synthetic head");
    const auto rest = flame.forward(shape, {}, {}, {}, {}, {}, {}, false, offsets).first;
    const auto [frames, sizes] = GSManager::computeFaceOrientation(rest, flame.faces, true);
    const std::size_t templateFaces = head.faces.size();

    std::array<simd::float3, 2> eyeCenters;
    for (std::size_t e = 0; e < 2; ++e) {
        simd::float3 sum;
        const std::size_t first = e == 0 ? 3931 : 4477;
        for (std::size_t v = first; v < first + 546; ++v) sum = sum + rest[v];
        eyeCenters[e] = sum * (1.0f / 546);
    }

    Cloud cloud;
    const auto centerOf = [&](const auto& f) {
        return (rest[std::size_t(f[0])] + rest[std::size_t(f[1])] + rest[std::size_t(f[2])]) * (1.0f / 3);
    };
    for (std::size_t f = 0; f < flame.faces.size(); ++f) {
        const auto& face = flame.faces[f];
        const auto a = rest[std::size_t(face[0])], b = rest[std::size_t(face[1])], c = rest[std::size_t(face[2])];
        const float area = 0.5f * simd::length(simd::cross(b - a, c - a));
        const float s = (*sizes)[f];
        if (area < 1e-10f || s < 1e-6f) continue;
        const bool teeth = f >= templateFaces;
        const auto part = teeth ? Part::skin : head.info[std::size_t(face[0])].part;
        const bool eye = part == Part::leftEyeball || part == Part::rightEyeball;
        const float density = eye || teeth ? kEyeDensity : kDensity;
        const int count = int(area * density + cloud.unit(cloud.random));
        const float spacing = 1.0f / std::sqrt(density);
        for (int k = 0; k < count; ++k) {
            const auto p = randomPoint(cloud.random, cloud.unit, a, b, c);
            Rgb colour = teeth ? kTeeth : eye ? eyeColour(p, eyeCenters[part == Part::leftEyeball ? 0 : 1]) : skinColour(head, face, p);
            cloud.add(p, colour, 1.0f * spacing, 0.2f * spacing, f, frames[f], s, centerOf(face));
        }
    }

    // A dark mouth cavity behind the teeth, riding on the back of the upper teeth.
    const std::size_t upperBackFirst = templateFaces + 28, upperBackCount = 28;
    float backZ = 1, left = 1, right = -1;
    for (std::size_t f = upperBackFirst; f < upperBackFirst + upperBackCount; ++f) {
        const auto c = centerOf(flame.faces[f]);
        backZ = std::min(backZ, c.z);
        left = std::min(left, c.x);
        right = std::max(right, c.x);
    }
    for (int k = 0; k < 1800; ++k) {
        const simd::float3 p = {left + (right - left) * cloud.unit(cloud.random), head.mouthY - 0.032f + 0.04f * cloud.unit(cloud.random),
                                backZ - 0.003f};
        std::size_t nearest = upperBackFirst;
        for (std::size_t f = upperBackFirst; f < upperBackFirst + upperBackCount; ++f)
            if (std::fabs(centerOf(flame.faces[f]).x - p.x) < std::fabs(centerOf(flame.faces[nearest]).x - p.x)) nearest = f;
        cloud.add(p, kMouthCavity, 0.0016f, 0.0005f, nearest, frames[nearest], (*sizes)[nearest], centerOf(flame.faces[nearest]));
    }

    ply_writer::writePLY(characterDirectory / "model" / "point_cloud.ply", cloud.table, ply_writer::Format::binaryLittleEndian);
}

} // namespace synthetic
