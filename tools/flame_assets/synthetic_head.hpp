#pragma once
// A synthetic FLAME-format head: a head-shaped surface with a neck, two ears, a mouth slit whose
// lips sit on the template's fixed lip-ring indices, and two eyeballs on the template's eyeball
// ranges. Coordinates in metres, y up, the face looking down +z, the subject's left at +x.

#include "platform/simd/simd.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace MivoKit;

namespace synthetic {

inline constexpr std::size_t kTemplateVertices = 5023;
inline constexpr std::size_t kJoints = 5; // global, neck, jaw, left eye, right eye
inline constexpr std::size_t kShapeCoefficients = 300;
inline constexpr std::size_t kExpressionCoefficients = 100;

// What a vertex is, for weights, blend shapes and colours.
enum class Part : std::uint8_t { skin, neck, ear, leftEyeball, rightEyeball };

struct VertexInfo {
    Part part = Part::skin;
    float theta = 0;      // polar angle from the top of the head (skin and neck: along the profile)
    float phi = 0;        // angle about y from the front (+x side positive)
    bool upperLip = false; // on the lips, above or below the mouth slit
    bool lowerLip = false;
    float jaw = 0;        // how much the vertex follows the jaw
};

struct Head {
    std::vector<simd::float3> vertices;              // kTemplateVertices, in FLAME index order
    std::vector<VertexInfo> info;
    std::vector<std::array<std::ptrdiff_t, 3>> faces; // outward-facing triangles
    std::vector<simd::float2> uvs;                    // one per vertex, same index
    std::vector<simd::float3> normals;                // per vertex, outward

    std::array<simd::float3, kJoints> joints;        // rest positions the regressor reproduces
    std::vector<std::array<float, kJoints>> weights;  // per vertex, sums to 1
    std::array<std::vector<std::pair<std::size_t, float>>, kJoints> regressor; // convex combinations

    std::array<simd::float3, 2> eyeCenters;          // left (+x), right
    float eyeRadius = 0;
    float mouthY = 0;                                // height of the closed lips
    simd::float3 mouthFront;                         // the middle of the closed lips

    // Region name -> FLAME vertex indices, the named regions the mask file carries.
    std::vector<std::pair<std::string, std::vector<std::size_t>>> regions;
};

// Builds the head. Deterministic.
Head makeHead();

// Left and right eyelid blend shapes: per vertex the offset that closes that eye.
std::array<std::vector<simd::float3>, 2> eyelidShapes(const Head& head);

} // namespace synthetic
