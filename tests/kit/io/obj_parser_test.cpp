#include "kit/io/obj_parser.hpp"

#include "platform/log/log.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

using Index3 = std::array<std::ptrdiff_t, 3>;

struct Parsed {
    std::vector<std::array<float, 3>> vertices;
    std::vector<std::array<float, 2>> vt;
    std::vector<Index3> faces;
    std::vector<Index3> vtIdx;
};

Parsed parse(OBJParser& parser, std::string_view text) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "mesh.obj", text);
    parser.parseOBJFile(dir / "mesh.obj");
    Parsed out;
    for (auto v : parser.vertices) out.vertices.push_back({v.x, v.y, v.z});
    for (auto t : parser.vt) out.vt.push_back({t.x, t.y});
    out.faces = parser.faces;
    out.vtIdx = parser.vtIdx;
    return out;
}

Parsed parse(std::string_view text) {
    OBJParser parser;
    return parse(parser, text);
}

TEST(OBJParser, VerticesAndTextureCoordinates) {
    auto p = parse("# head\nv 1 2\nv 1 2 x\nv 1 2 3 0.5 0.5 0.5\nv   -1.5e-3  +2 .5  \n"
                   "v\t4 5 6\nv 7 8 9\r\nvt 0.25\nvt 0.25 0.75 0\nvt 1,5 2\nvn 0 0 1\n\n\no head\n");
    ASSERT_EQ(p.vertices.size(), 2u);
    EXPECT_EQ(p.vertices[0], (std::array<float, 3>{1, 2, 3}));
    EXPECT_EQ(p.vertices[1], (std::array<float, 3>{-1.5e-3f, 2, 0.5f}));
    ASSERT_EQ(p.vt.size(), 1u);
    EXPECT_EQ(p.vt[0], (std::array<float, 2>{0.25f, 0.75f}));
}

TEST(OBJParser, FacesKeepTheFirstThreeCornersAndStayParallel) {
    auto p = parse("f 1/1 2/2 3/3\n"
                   "f 1/1/1 2/2/2 3/3/3 4/4/4\n"
                   "f 1//4 2//5 3//6\n"
                   "f 1 2 3\n"
                   "f 1/1 2/2\n"
                   "f 1/1 2/2 3/x\n"
                   "f 1/1 2/2 3/3 4\n"
                   "f -1/-2 0/0 10/20\n"
                   "f 1/1 2/2 -9223372036854775808/1\n");
    EXPECT_EQ(p.faces, (std::vector<Index3>{{0, 1, 2}, {0, 1, 2}, {0, 1, 2}, {-2, -1, 9}}));
    EXPECT_EQ(p.vtIdx, (std::vector<Index3>{{0, 1, 2}, {0, 1, 2}, {3, 4, 5}, {-3, -1, 19}}));
}

TEST(OBJParser, ParsingAgainAppends) {
    OBJParser parser;
    parse(parser, "v 1 2 3\nvt 0 1\nf 1/1 1/1 1/1\n");
    auto p = parse(parser, "v 1 2 3\nvt 0 1\nf 1/1 1/1 1/1\n");
    EXPECT_EQ(p.vertices.size(), 2u);
    EXPECT_EQ(p.vt.size(), 2u);
    EXPECT_EQ(p.faces.size(), 2u);
    EXPECT_EQ(p.vtIdx.size(), 2u);
}

TEST(OBJParser, UnreadableFilePrintsAndKeepsTheLists) {
    platform::log::Capture capture;
    OBJParser parser;
    parser.vertices.push_back({1, 1, 1});
    testsupport::TempDir dir;
    parser.parseOBJFile(dir / "missing.obj");
    testsupport::writeFile(dir / "bad.obj", "v 1 2 3\n\xff\xfe\n");
    parser.parseOBJFile(dir / "bad.obj");

    EXPECT_EQ(parser.vertices.size(), 1u);
    auto lines = capture.printed();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) EXPECT_EQ(line.rfind("读取文件错误: ", 0), 0u) << line;
}

} // namespace
