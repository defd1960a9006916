// Two rows of teeth built behind the lips from the outer lip rings: 8 rows of 15 vertices, the
// upper teeth riding on the neck joint and the lower teeth on the jaw.

#include "kit/head/flame_head.hpp"

#include "platform/log/log.hpp"

#include <cmath>

namespace MivoKit {

namespace {

constexpr std::size_t kColumns = 15;
constexpr std::size_t kRows = 8;
constexpr std::size_t kTeeth = kRows * kColumns;

using Triangle = std::array<std::ptrdiff_t, 3>;

// Rows 0 and 2 (front), 4 and 5 (back) and 5 and 2 (bottom surface), in teeth-vertex numbers.
const std::array<Triangle, 84> kUpperTeeth = {{
    {0, 31, 30}, {0, 1, 31}, {1, 32, 31}, {1, 2, 32}, {2, 33, 32}, {2, 3, 33}, {3, 34, 33}, {3, 4, 34},
    {4, 35, 34}, {4, 5, 35}, {5, 36, 35}, {5, 6, 36}, {6, 37, 36}, {6, 7, 37}, {7, 8, 37}, {8, 38, 37},
    {8, 9, 38}, {9, 39, 38}, {9, 10, 39}, {10, 40, 39}, {10, 11, 40}, {11, 41, 40}, {11, 12, 41}, {12, 42, 41},
    {12, 13, 42}, {13, 43, 42}, {13, 14, 43}, {14, 44, 43},
    {60, 75, 76}, {60, 76, 61}, {61, 76, 77}, {61, 77, 62}, {62, 77, 78}, {62, 78, 63}, {63, 78, 79},
    {63, 79, 64}, {64, 79, 80}, {64, 80, 65}, {65, 80, 81}, {65, 81, 66}, {66, 81, 82}, {66, 82, 67},
    {67, 82, 68}, {68, 82, 83}, {68, 83, 69}, {69, 83, 84}, {69, 84, 70}, {70, 84, 85}, {70, 85, 71},
    {71, 85, 86}, {71, 86, 72}, {72, 86, 87}, {72, 87, 73}, {73, 87, 88}, {73, 88, 74}, {74, 88, 89},
    {75, 30, 76}, {76, 30, 31}, {76, 31, 77}, {77, 31, 32}, {77, 32, 78}, {78, 32, 33}, {78, 33, 79},
    {79, 33, 34}, {79, 34, 80}, {80, 34, 35}, {80, 35, 81}, {81, 35, 36}, {81, 36, 82}, {82, 36, 37},
    {82, 37, 38}, {82, 38, 83}, {83, 38, 39}, {83, 39, 84}, {84, 39, 40}, {84, 40, 85}, {85, 40, 41},
    {85, 41, 86}, {86, 41, 42}, {86, 42, 87}, {87, 42, 43}, {87, 43, 88}, {88, 43, 44}, {88, 44, 89},
}};

// Rows 3 and 1 (front), 6 and 7 (back) and 7 and 3 (top surface). Triangle 50 is (101, 116, 114):
// stored characters bind splats to triangles by position, so the table stays as it is.
const std::array<Triangle, 84> kLowerTeeth = {{
    {45, 46, 15}, {46, 16, 15}, {46, 47, 16}, {47, 17, 16}, {47, 48, 17}, {48, 18, 17}, {48, 49, 18},
    {49, 19, 18}, {49, 50, 19}, {50, 20, 19}, {50, 51, 20}, {51, 21, 20}, {51, 52, 21}, {52, 22, 21},
    {52, 23, 22}, {52, 53, 23}, {53, 24, 23}, {53, 54, 24}, {54, 25, 24}, {54, 55, 25}, {55, 26, 25},
    {55, 56, 26}, {56, 27, 26}, {56, 57, 27}, {57, 28, 27}, {57, 58, 28}, {58, 29, 28}, {58, 59, 29},
    {90, 106, 105}, {90, 91, 106}, {91, 107, 106}, {91, 92, 107}, {92, 108, 107}, {92, 93, 108},
    {93, 109, 108}, {93, 94, 109}, {94, 110, 109}, {94, 95, 110}, {95, 111, 110}, {95, 96, 111},
    {96, 112, 111}, {96, 97, 112}, {97, 98, 112}, {98, 113, 112}, {98, 99, 113}, {99, 114, 113},
    {99, 100, 114}, {100, 115, 114}, {100, 101, 115}, {101, 116, 114}, {101, 102, 116}, {102, 117, 116},
    {102, 103, 117}, {103, 118, 117}, {103, 104, 118}, {104, 119, 118},
    {105, 106, 45}, {106, 46, 45}, {106, 107, 46}, {107, 47, 46}, {107, 108, 47}, {108, 48, 47},
    {108, 109, 48}, {109, 49, 48}, {109, 110, 49}, {110, 50, 49}, {110, 111, 50}, {111, 51, 50},
    {111, 112, 51}, {112, 52, 51}, {112, 53, 52}, {112, 113, 53}, {113, 54, 53}, {113, 114, 54},
    {114, 55, 54}, {114, 115, 55}, {115, 56, 55}, {115, 116, 56}, {116, 57, 56}, {116, 117, 57},
    {117, 58, 57}, {117, 118, 58}, {118, 59, 58}, {118, 119, 59},
}};

// Rows in storage order: U1, L2, U0, L1, U1b, U0b, L2b, L1b. Rows 0, 2, 4, 5 are upper teeth.
constexpr std::array<bool, kRows> kUpperRow = {true, false, true, false, true, true, false, false};
// The texture v of each row, as an index j of 0.9917 - 0.0057 j.
constexpr std::array<int, kRows> kRowTextureStep = {3, 2, 0, 1, 3, 4, 6, 5};

bool covers(const FlameMask::Indices& ring, std::size_t size) {
    for (auto v : ring)
        if (v < 0 || std::size_t(v) >= size) return false;
    return true;
}

void appendTriangles(std::vector<FlameHead::Face>& to, const std::array<Triangle, 84>& table, std::ptrdiff_t offset) {
    for (const auto& t : table) to.push_back({t[0] + offset, t[1] + offset, t[2] + offset});
}

} // namespace

bool FlameHead::addTeeth() {
    if (!flameMask) return false;
    const auto up = flameMask->vertexIds({"lip_outside_ring_upper"});
    const auto lo = flameMask->vertexIds({"lip_outside_ring_lower"});
    const bool ringsFit = up.size() == kColumns && lo.size() == kColumns && covers(up, v_template.size()) &&
                          covers(lo, v_template.size()) && covers(up, shapedirs.size()) && covers(lo, shapedirs.size());
    bool blendShapesFit = ringsFit;
    for (std::size_t i = 0; blendShapesFit && i < kColumns; ++i)
        blendShapesFit = shapedirs[std::size_t(up[i])].size() >= 3 && shapedirs[std::size_t(lo[i])].size() >= 3;
    if (!blendShapesFit) {
        platform::log::print("Teeth skipped: the outer lip rings are not vertices of the head template.");
        return false;
    }

    const std::size_t N = v_template.size();
    const std::size_t M = vertex_uvs.size();

    // Geometry: the mean lip distance d is the unit; teeth stand 1.5 d behind the lips.
    float distanceSum = 0;
    std::array<simd::float3, kColumns> mid;
    for (std::size_t i = 0; i < kColumns; ++i) {
        const auto p = v_template[std::size_t(up[i])], q = v_template[std::size_t(lo[i])];
        distanceSum += simd::length(p - q);
        mid[i] = (p + q) * 0.5f;
    }
    const float d = distanceSum / float(up.size());
    float ySum = 0;
    for (const auto& m : mid) ySum += m.y;
    const float ybar = ySum / float(mid.size());
    const float twoD = d + d;

    std::array<std::array<simd::float3, kColumns>, kRows> rows;
    for (std::size_t i = 0; i < kColumns; ++i) {
        const simd::float3 base = {mid[i].x, ybar, mid[i].z - 1.5f * d};
        const simd::float3 u0 = base + simd::float3{0, 0.1f * d, 0};
        const simd::float3 u1 = u0 + simd::float3{0, twoD, 0};
        const simd::float3 l0 = base - simd::float3{0, 0.1f * d, 0};
        const simd::float3 l1 = l0 - simd::float3{0, 0, 0.4f * d};
        const simd::float3 l2 = l1 - simd::float3{0, twoD, 0};
        const simd::float3 back = {0, 0, d};
        rows[0][i] = u1;
        rows[1][i] = l2;
        rows[2][i] = u0;
        rows[3][i] = l1;
        rows[4][i] = u1 - back;
        rows[5][i] = u0 - back;
        rows[6][i] = l2 - back;
        rows[7][i] = l1 - back;
    }
    for (const auto& row : rows) v_template.insert(v_template.end(), row.begin(), row.end());

    FlameMask::Indices upper, lower;
    for (std::size_t r = 0; r < kRows; ++r)
        for (std::size_t i = 0; i < kColumns; ++i) (kUpperRow[r] ? upper : lower).push_back(std::ptrdiff_t(N + r * kColumns + i));
    flameMask->vMask["teeth_upper"] = upper;
    flameMask->vMask["teeth_lower"] = lower;
    FlameMask::Indices all = upper;
    all.insert(all.end(), lower.begin(), lower.end());
    flameMask->vMask["teeth"] = std::move(all);

    for (std::size_t r = 0; r < kRows; ++r) {
        const float v = std::fma(float(kRowTextureStep[r]), -0.0057f, 0.9917f);
        for (std::size_t k = 0; k < kColumns; ++k) vertex_uvs.push_back({std::fma(float(k), -0.017142858f, 0.62f), v});
    }

    // The teeth follow the identity blend shapes of the lip midpoints and no expression.
    const std::size_t S = shapeCount(), E = expressionCount();
    std::array<std::vector<std::vector<float>>, kColumns> columnShapes;
    for (std::size_t i = 0; i < kColumns; ++i) {
        const auto& su = shapedirs[std::size_t(up[i])];
        const auto& sl = shapedirs[std::size_t(lo[i])];
        for (int c = 0; c < 3; ++c) {
            const std::size_t n = std::min({S, su[c].size(), sl[c].size()});
            std::vector<float> row;
            row.reserve(n + E);
            for (std::size_t k = 0; k < n; ++k) row.push_back((su[c][k] + sl[c][k]) * 0.5f);
            row.insert(row.end(), E, 0.0f);
            columnShapes[i].push_back(std::move(row));
        }
    }
    for (std::size_t t = 0; t < kTeeth; ++t) shapedirs.push_back(columnShapes[t % kColumns]);

    for (auto& row : posedirs) row.insert(row.end(), 3 * kTeeth, 0.0f);
    for (auto& row : J_regressor) row.insert(row.end(), kTeeth, 0.0f);
    lbs_weights.insert(lbs_weights.end(), kTeeth, std::vector<float>(5, 0.0f));
    for (auto v : upper) lbs_weights[std::size_t(v)][1] += 1.0f;
    for (auto v : lower) lbs_weights[std::size_t(v)][2] += 1.0f;

    appendTriangles(faces, kUpperTeeth, std::ptrdiff_t(N));
    appendTriangles(faces, kLowerTeeth, std::ptrdiff_t(N));
    appendTriangles(face_uvs_idx, kUpperTeeth, std::ptrdiff_t(M));
    appendTriangles(face_uvs_idx, kLowerTeeth, std::ptrdiff_t(M));
    teeth_ = TeethBase{N, M, faces.size() - 2 * kLowerTeeth.size()};
    return true;
}

} // namespace MivoKit
