// The OBJ parser of the head template mesh.
//
// Seeds: the head template mesh, cut down, and a small hand-written file.
//
// Oracles besides the sanitizers: nothing escapes parseOBJFile; faces and their texture indices
// stay parallel; a file that is not UTF-8 leaves the lists empty; parsing the same file again
// appends the same items; what was parsed, written back as OBJ, parses to the same lists.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/io/obj_parser.hpp"
#include "kit/io/utf8.hpp"

#include <bit>
#include <charconv>
#include <string>

using namespace MivoKit;

namespace {

bool same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (a != a && b != b); }

bool same(simd::float3 a, simd::float3 b) { return same(a.x, b.x) && same(a.y, b.y) && same(a.z, b.z); }
bool same(simd::float2 a, simd::float2 b) { return same(a.x, b.x) && same(a.y, b.y); }
template <class T>
bool same(const T& a, const T& b) {
    return a == b;
}

// True when `all` holds its first `half` items twice over.
template <class T>
bool repeats(const std::vector<T>& all, std::size_t half) {
    if (all.size() != 2 * half) return false;
    for (std::size_t i = 0; i < half; ++i)
        if (!same(all[i], all[half + i])) return false;
    return true;
}

template <class T>
bool equal(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

void number(std::string& out, float value) {
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// The lists as an OBJ file: one line per vertex, texture coordinate and face (1-based indices).
std::string written(const OBJParser& parsed) {
    std::string out;
    for (const auto& v : parsed.vertices) {
        out += "v ";
        number(out, v.x);
        out += ' ';
        number(out, v.y);
        out += ' ';
        number(out, v.z);
        out += '\n';
    }
    for (const auto& t : parsed.vt) {
        out += "vt ";
        number(out, t.x);
        out += ' ';
        number(out, t.y);
        out += '\n';
    }
    for (std::size_t f = 0; f < parsed.faces.size(); ++f) {
        out += 'f';
        for (int c = 0; c < 3; ++c)
            out += ' ' + std::to_string(parsed.faces[f][c] + 1) + '/' + std::to_string(parsed.vtIdx[f][c] + 1);
        out += '\n';
    }
    return out;
}

// The head template mesh cut down to its first `vertices` vertices and texture coordinates and the
// faces among them: the whole mesh (600 KB) would make every run slow.
std::string templateMeshPart(long vertices) {
    const auto bytes = fuzz::readFile(fuzz::resourceDirectory() / "head_template_mesh.obj");
    const std::string_view mesh(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string out;
    long v = 0, vt = 0;
    for (std::size_t start = 0; start < mesh.size();) {
        std::size_t end = mesh.find('\n', start);
        if (end == std::string_view::npos) end = mesh.size();
        const auto line = mesh.substr(start, end - start);
        start = end + 1;
        bool keep = !line.starts_with("v ") && !line.starts_with("vt ") && !line.starts_with("f ");
        if (line.starts_with("v ")) keep = ++v <= vertices;
        if (line.starts_with("vt ")) keep = ++vt <= vertices;
        if (line.starts_with("f ")) {
            keep = true;
            for (std::size_t at = 2; at < line.size();) {
                long index = 0;
                const auto result = std::from_chars(line.data() + at, line.data() + line.size(), index);
                if (result.ec != std::errc{}) break;
                keep = keep && index <= vertices;
                at = std::size_t(result.ptr - line.data()) + 1;
            }
        }
        if (keep) out.append(line).push_back('\n');
    }
    return out;
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    seeds.push_back(fuzz::bytesOf(templateMeshPart(64)));
    seeds.push_back(fuzz::bytesOf("# a quad and a triangle\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 -1e-3\nvt 0 0\nvt 1 0\n"
                                  "vt 1 1\nvt 0 1\nvn 0 0 1\nf 1/1/1 2/2/1 3/3/1 4/4/1\nf  -1/-1  1/1 2/2\n"
                                  "o ignored\nv 1 2\nf 1 2 3\nv 0x1p-3 inf nan extra\nvt 0.5 0.5 0\n"));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto path = fuzz::writeInput("input.obj", data, size);
    OBJParser parser;
    fuzz::endsWithOnly<>("OBJParser::parseOBJFile", [&] { parser.parseOBJFile(path); });
    if (parser.faces.size() != parser.vtIdx.size()) fuzz::fail("obj: faces and texture indices are not parallel");
    const bool text = utf8::isValid(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!text && (!parser.vertices.empty() || !parser.vt.empty() || !parser.faces.empty()))
        fuzz::fail("obj: a file that is not UTF-8 added to the lists");

    // Parsing again appends the same items.
    const std::size_t v = parser.vertices.size(), t = parser.vt.size(), f = parser.faces.size();
    fuzz::endsWithOnly<>("OBJParser::parseOBJFile", [&] { parser.parseOBJFile(path); });
    if (!repeats(parser.vertices, v) || !repeats(parser.vt, t) || !repeats(parser.faces, f) || !repeats(parser.vtIdx, f))
        fuzz::fail("obj: parsing the file again did not append the same items");
    parser.vertices.resize(v);
    parser.vt.resize(t);
    parser.faces.resize(f);
    parser.vtIdx.resize(f);

    // Written back, the lists parse to themselves.
    OBJParser again;
    again.parseOBJFile(fuzz::writeInput("written.obj", written(parser)));
    if (!equal(again.vertices, parser.vertices) || !equal(again.vt, parser.vt) || !equal(again.faces, parser.faces) ||
        !equal(again.vtIdx, parser.vtIdx))
        fuzz::fail("obj: the parsed lists, written as OBJ, parse to other lists");
    return 0;
}
