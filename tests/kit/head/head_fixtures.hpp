#pragma once
// Small FLAME model resources written into a test's own resource directory.

#include "kit/head/flame_model.pb.h"
#include "platform/simd/simd.hpp"
#include "tests/support/temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace MivoKit;

namespace headtest {

// A complete model of `vertices.size()` vertices and 5 joints (parents -1, 0, 1, 1, 1): every
// vertex weighted fully on joint `joint[v]` (0 when not given), joint j regressed from vertex j
// (so give at least 5 vertices), blend-shape rows of `coefficients` values where coefficient k
// moves every vertex by (k + 1) * shapeStep along x, and zero pose correctives.
struct TinyModel {
    std::vector<simd::float3> vertices;
    std::vector<int> joint;
    std::size_t coefficients = 400;
    float shapeStep = 0.001f;

    FlameData data() const;
};

// The other resources of a head: a mesh with `faces`, eyelids, landmarks and an empty mask file.
void writeCompanions(const std::filesystem::path& directory, const std::vector<simd::float3>& vertices,
                     const std::vector<std::array<int, 3>>& faces);
void writeModel(const std::filesystem::path& directory, const std::string& name, const FlameData& data);
void writeJSON(const std::filesystem::path& path, const nlohmann::json& value);

// Nine vertices in three triangles: (0, 1, 2) has the identity frame, size 1 and centre
// (1/3, 0, -1/3); (3, 4, 5) the identity frame, size 2 and centre (2/3, 1, -2/3); (6, 7, 8) is
// degenerate. Written as both model files (300 shape, 100 expression coefficients) with the mesh.
struct TriangleHead {
    static std::vector<simd::float3> vertices();
    static std::vector<std::array<int, 3>> faces();
    static void write(const std::filesystem::path& directory);
};

// One splat as the character's PLY layout holds it.
struct Splat {
    simd::float3 position;
    simd::float3 logScale;
    std::array<float, 4> rotation{1, 0, 0, 0}; // w, x, y, z
    float binding = 0;
    std::array<float, 3> dc{0, 0, 0};
};
void writeSplats(const std::filesystem::path& path, const std::vector<Splat>& splats);

// Points the kit's resource lookup at a fresh directory for the life of the object.
class ResourceDirectory {
public:
    ResourceDirectory();
    ~ResourceDirectory();
    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path operator/(std::string_view name) const { return dir_ / name; }

private:
    testsupport::TempDir dir_;
};

// The kit's generated resources and synthetic character.
std::filesystem::path generatedResources();
std::filesystem::path syntheticDocuments();

} // namespace headtest
