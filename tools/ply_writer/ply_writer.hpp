#pragma once
// Writes splat point clouds: PLY files with one "vertex" element of float and uchar properties
// (ASCII, binary little-endian or binary big-endian) and headerless .splat files of 32-byte
// records. Used by the tests, the benchmarks and the synthetic asset generator.
//
// Files are written to a temporary file beside the target and renamed into place, so a reader
// never sees a half-written file. Failures throw std::runtime_error.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace ply_writer {

enum class Format { ascii, binaryLittleEndian, binaryBigEndian };

enum class PropertyType { float32, uint8 };

struct Property {
    std::string name;
    PropertyType type = PropertyType::float32;
};

// x y z, f_dc_0..2, opacity, scale_0..2, rot_0..3, binding_0: the layout of a character's point
// cloud, all float.
std::vector<Property> characterLayout();

// x y z, nx ny nz, f_dc_0..2, f_rest_0..44, opacity, scale_0..2, rot_0..3: the 62 float
// properties of a common third-degree spherical-harmonic splat file.
std::vector<Property> standardLayout();

// The "vertex" element of a PLY file: its properties, then one row of values per point. Values of
// uchar properties are given as floats and written rounded and clamped to 0...255.
class VertexTable {
public:
    explicit VertexTable(std::vector<Property> properties);

    const std::vector<Property>& properties() const { return properties_; }
    std::size_t pointCount() const;
    // Appends one point: exactly one value per property (throws std::invalid_argument otherwise).
    void addPoint(std::span<const float> row);
    std::span<const float> point(std::size_t index) const;

private:
    std::vector<Property> properties_;
    std::vector<float> values_;
};

// The whole file's bytes: header ("ply", format, "element vertex N", the properties,
// "end_header", each ended by a line feed) and body. ASCII floats are written in their shortest
// exact form, so they read back bit for bit.
std::string encodePLY(const VertexTable& table, Format format);
void writePLY(const std::filesystem::path& path, const VertexTable& table, Format format);

// One .splat record: position and linear scale as little-endian floats, colour and opacity as
// bytes, rotation as four bytes q0 (real part), q1, q2, q3 where 128 stands for zero.
struct DotSplatRecord {
    std::array<float, 3> position{};
    std::array<float, 3> scale{};
    std::array<std::uint8_t, 4> rgba{};
    std::array<std::uint8_t, 4> rotation{128, 128, 128, 128};
};

std::string encodeDotSplat(std::span<const DotSplatRecord> records);
void writeDotSplat(const std::filesystem::path& path, std::span<const DotSplatRecord> records);

// Writes `bytes` to `path` through a temporary file and a rename.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

} // namespace ply_writer
