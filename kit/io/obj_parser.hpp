#pragma once
// Reads the subset of Wavefront OBJ that the head template mesh uses: vertex positions ("v"),
// texture coordinates ("vt") and faces ("f") whose corners name a vertex and a texture
// coordinate. Everything else is ignored; malformed lines are skipped whole.
//
// Face indices are stored as written minus one (0-based), unchecked: relative (negative) indices
// are not resolved and indices are not checked against the lists, which is the mesh user's job.
// The lists only grow: parsing appends to what they hold.

#include "platform/simd/simd.hpp"

#include <array>
#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

namespace MivoKit {

class OBJParser {
public:
    virtual ~OBJParser() = default;

    std::vector<simd::float3> vertices;
    // Vertex indices of the first three corners of each face.
    std::vector<std::array<std::ptrdiff_t, 3>> faces;
    std::vector<simd::float2> vt;
    // Texture-coordinate indices of the same corners; parallel to `faces`.
    std::vector<std::array<std::ptrdiff_t, 3>> vtIdx;

    // Reads the whole file and appends what it recognises. Raises nothing: a file that cannot be
    // read or is not UTF-8 text prints "读取文件错误: " and the reason, and leaves the lists as
    // they were.
    void parseOBJFile(const std::filesystem::path& url);

private:
    void parseLine(std::string_view line);
};

} // namespace MivoKit
