// The splat PLY scene reader, through its delegate.
//
// Oracles besides the sanitizers: at most one didStartReading, before any point; no empty batch
// through didRead; exactly one terminal report and nothing after it; a finished read delivered the
// declared number of points; failures carry PLYReaderError or SplatPLYSceneReader::Error; the
// points of a finished read, written back in the layout of their encodings, read back the same.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/io/splat_ply_scene_reader.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <bit>
#include <cstring>
#include <string>

using namespace MivoKit;

namespace {

constexpr std::size_t kRoundTripLimit = 1024;

using Point = SplatScenePoint;
using Color = SplatScenePoint::Color;

class Checking final : public SplatSceneReaderDelegate {
public:
    void didStartReading(std::optional<std::uint32_t> count) override {
        if (starts_++ != 0 || ends_ != 0 || !points.empty())
            fuzz::fail("splat ply: didStartReading twice, late or after the end");
        if (!count) fuzz::fail("splat ply: a PLY file declares its point count");
        declared = *count;
    }
    void didRead(std::span<const Point> batch) override {
        if (starts_ == 0 || ends_ != 0) fuzz::fail("splat ply: didRead before didStartReading or after the end");
        if (batch.empty()) fuzz::fail("splat ply: didRead with no point");
        count += batch.size();
        if (keep) points.insert(points.end(), batch.begin(), batch.end());
        if (points.size() > kRoundTripLimit) {
            keep = false;
            points.clear();
        }
    }
    void didFinishReading() override {
        if (ends_++ != 0) fuzz::fail("splat ply: a second terminal report");
        if (starts_ == 0 || count != declared) fuzz::fail("splat ply: finished without the declared points");
        finished = true;
    }
    void didFailReading(std::exception_ptr error) override {
        if (ends_++ != 0) fuzz::fail("splat ply: a second terminal report");
        if (!error) fuzz::fail("splat ply: a failure without an error");
        try {
            std::rethrow_exception(error);
        } catch (const PLYReaderError&) {
        } catch (const SplatPLYSceneReader::Error&) {
        } catch (const std::exception& e) {
            fuzz::fail(std::string("splat ply: the read failed with an undocumented error: ") + e.what());
        }
    }
    int ends() const { return ends_; }

    bool keep = true;
    bool finished = false;
    std::uint32_t declared = 0;
    std::size_t count = 0;
    std::vector<Point> points;

private:
    int starts_ = 0, ends_ = 0;
};

bool same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (a != a && b != b); }

// The layout that holds points of these encodings, and each point's row in it.
struct Layout {
    std::vector<ply_writer::Property> properties;

    explicit Layout(const Point& first) {
        auto add = [&](std::string name, ply_writer::PropertyType type = ply_writer::PropertyType::float32) {
            properties.push_back({std::move(name), type});
        };
        for (auto name : {"x", "y", "z"}) add(name);
        if (first.normal)
            for (auto name : {"nx", "ny", "nz"}) add(name);
        std::visit(
            [&](const auto& c) {
                using C = std::decay_t<decltype(c)>;
                if constexpr (std::is_same_v<C, Color::SphericalHarmonic>) {
                    for (int i = 0; i < 3; ++i) add("f_dc_" + std::to_string(i));
                    for (std::size_t i = 0; i < c.coefficients().size(); ++i) add("f_rest_" + std::to_string(i));
                } else if constexpr (std::is_same_v<C, Color::FirstOrderSphericalHarmonic>) {
                    for (int i = 0; i < 3; ++i) add("f_dc_" + std::to_string(i));
                } else if constexpr (std::is_same_v<C, Color::LinearFloat256>) {
                    for (auto name : {"red", "green", "blue"}) add(name);
                } else if constexpr (std::is_same_v<C, Color::LinearUInt8>) {
                    for (auto name : {"red", "green", "blue"}) add(name, ply_writer::PropertyType::uint8);
                } else {
                    for (std::size_t i = 0; i < c.values().size(); ++i) add("f_sr_" + std::to_string(i));
                }
            },
            static_cast<const Color::variant&>(first.color));
        for (auto name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3", "binding_0"})
            add(name);
    }

    static std::vector<float> row(const Point& p) {
        std::vector<float> values{p.position.x, p.position.y, p.position.z};
        if (p.normal) values.insert(values.end(), {p.normal->x, p.normal->y, p.normal->z});
        std::visit(
            [&](const auto& c) {
                using C = std::decay_t<decltype(c)>;
                if constexpr (std::is_same_v<C, Color::SphericalHarmonic>) {
                    values.insert(values.end(), {c.r, c.g, c.b});
                    values.insert(values.end(), c.coefficients().begin(), c.coefficients().end());
                } else if constexpr (std::is_same_v<C, Color::SuperResolution>) {
                    values.insert(values.end(), c.values().begin(), c.values().end());
                } else {
                    values.insert(values.end(), {float(c.r), float(c.g), float(c.b)});
                }
            },
            static_cast<const Color::variant&>(p.color));
        const auto& scale = std::get<Point::Scale::Exponent>(p.scale);
        values.insert(values.end(), {std::get<Point::Opacity::LogitFloat>(p.opacity).value, scale.x, scale.y, scale.z,
                                     p.rotation.w, p.rotation.x, p.rotation.y, p.rotation.z, p.binding.value_or(0)});
        return values;
    }
};

void roundTrip(const std::vector<Point>& points, std::uint32_t declared) {
    if (points.empty() || points.size() != declared) return;
    for (const auto& p : points) {
        if (!std::holds_alternative<Point::Scale::Exponent>(p.scale) ||
            !std::holds_alternative<Point::Opacity::LogitFloat>(p.opacity) || !p.binding)
            fuzz::fail("splat ply: a point with an encoding a PLY file does not give");
        if (p.color.index() != points[0].color.index() || p.normal.has_value() != points[0].normal.has_value())
            fuzz::fail("splat ply: points of one file in different encodings");
    }
    const Layout layout(points[0]);
    ply_writer::VertexTable table(layout.properties);
    for (const auto& p : points) table.addPoint(Layout::row(p));
    const auto path = fuzz::writeInput("written.ply", ply_writer::encodePLY(table, ply_writer::Format::binaryBigEndian));
    Checking again;
    SplatPLYSceneReader(path).read(again);
    if (!again.finished || again.points.size() != points.size())
        fuzz::fail("splat ply: the points of a read, written back, do not read back");
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (again.points[i].color.index() != points[i].color.index())
            fuzz::fail("splat ply: a point's colour encoding changed through the writer");
        const auto a = Layout::row(points[i]), b = Layout::row(again.points[i]);
        if (a.size() != b.size()) fuzz::fail("splat ply: a point's shape changed through the writer");
        for (std::size_t k = 0; k < a.size(); ++k)
            if (!same(a[k], b[k])) fuzz::fail("splat ply: a value changed through the writer and the reader");
    }
}

// ---- seeds ----

ply_writer::VertexTable table(std::vector<std::string> colour, ply_writer::PropertyType colourType, bool normals,
                              std::size_t points) {
    std::vector<ply_writer::Property> properties{{"x"}, {"y"}, {"z"}};
    if (normals)
        for (auto n : {"nx", "ny", "nz"}) properties.push_back({n});
    for (auto& c : colour) properties.push_back({c, colourType});
    for (auto n : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3", "binding_0"})
        properties.push_back({n});
    ply_writer::VertexTable t(properties);
    for (std::size_t i = 0; i < points; ++i) {
        std::vector<float> row(properties.size());
        for (std::size_t k = 0; k < row.size(); ++k) row[k] = float((i * 7 + k * 3) % 11) - 3.5f;
        t.addPoint(row);
    }
    return t;
}

std::vector<std::string> numbered(const char* prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
    return names;
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    using ply_writer::Format;
    using ply_writer::PropertyType;
    std::vector<FuzzBytes> seeds;
    seeds.push_back(fuzz::bytesOf(fuzz::syntheticCloud(16)));
    seeds.push_back(fuzz::bytesOf(fuzz::syntheticCloud(340))); // several reads of the file
    auto harmonics = numbered("f_dc_", 3);
    for (auto& rest : numbered("f_rest_", 45)) harmonics.push_back(rest);
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table(harmonics, PropertyType::float32, true, 3), Format::binaryLittleEndian)));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table(numbered("f_dc_", 3), PropertyType::float32, false, 4), Format::ascii)));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table({"red", "green", "blue"}, PropertyType::uint8, true, 4), Format::binaryBigEndian)));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table({"red", "green", "blue"}, PropertyType::float32, false, 3), Format::ascii)));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table(numbered("f_sr_", 8), PropertyType::float32, false, 3), Format::binaryLittleEndian)));
    // Other groups around the vertices, a list among them, and an empty cloud.
    seeds.push_back(fuzz::bytesOf(
        "ply\nformat ascii 1.0\nelement camera 1\nproperty float fov\nelement vertex 2\nproperty float x\n"
        "property float y\nproperty float z\nproperty float f_dc_0\nproperty float f_dc_1\nproperty float f_dc_2\n"
        "property float opacity\nproperty float scale_0\nproperty float scale_1\nproperty float scale_2\n"
        "property float rot_0\nproperty float rot_1\nproperty float rot_2\nproperty float rot_3\n"
        "property float binding_0\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
        "0.8\n1 2 3 0.1 0.2 0.3 2 -4 -4 -4 1 0 0 0 7\n-1 -2 -3 0 0 0 -2 -5 -5 -5 0 0 0 1 8.5\n3 0 1 2\n"));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table(numbered("f_dc_", 3), PropertyType::float32, false, 0), Format::ascii)));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto path = fuzz::writeInput("input.ply", data, size);
    Checking read;
    fuzz::endsWithOnly<>("SplatPLYSceneReader::read", [&] { SplatPLYSceneReader(path).read(read); });
    if (read.ends() != 1) fuzz::fail("splat ply: the read did not end with exactly one terminal report");
    if (read.finished && read.keep) roundTrip(read.points, read.declared);
    return 0;
}
