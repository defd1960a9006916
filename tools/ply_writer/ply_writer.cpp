#include "tools/ply_writer/ply_writer.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace ply_writer {

namespace {

std::uint8_t toByte(float value) {
    if (!(value > 0.0f)) return 0;
    return static_cast<std::uint8_t>(std::min(255.0f, std::round(value)));
}

void appendUInt32(std::string& out, std::uint32_t bits, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        int shift = bigEndian ? 24 - 8 * i : 8 * i;
        out.push_back(static_cast<char>((bits >> shift) & 0xFF));
    }
}

void appendFloat(std::string& out, float value, bool bigEndian) {
    appendUInt32(out, std::bit_cast<std::uint32_t>(value), bigEndian);
}

const char* formatName(Format format) {
    switch (format) {
    case Format::ascii: return "ascii";
    case Format::binaryLittleEndian: return "binary_little_endian";
    case Format::binaryBigEndian: return "binary_big_endian";
    }
    return "";
}

} // namespace

std::vector<Property> characterLayout() {
    std::vector<Property> layout;
    for (const char* name : {"x", "y", "z", "f_dc_0", "f_dc_1", "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2",
                             "rot_0", "rot_1", "rot_2", "rot_3", "binding_0"})
        layout.push_back({name, PropertyType::float32});
    return layout;
}

std::vector<Property> standardLayout() {
    std::vector<Property> layout;
    for (const char* name : {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"})
        layout.push_back({name, PropertyType::float32});
    for (int i = 0; i < 45; ++i) layout.push_back({"f_rest_" + std::to_string(i), PropertyType::float32});
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        layout.push_back({name, PropertyType::float32});
    return layout;
}

VertexTable::VertexTable(std::vector<Property> properties) : properties_(std::move(properties)) {}

std::size_t VertexTable::pointCount() const {
    return properties_.empty() ? 0 : values_.size() / properties_.size();
}

void VertexTable::addPoint(std::span<const float> row) {
    if (row.size() != properties_.size())
        throw std::invalid_argument("a point needs " + std::to_string(properties_.size()) + " values, got " +
                                    std::to_string(row.size()));
    values_.insert(values_.end(), row.begin(), row.end());
}

std::span<const float> VertexTable::point(std::size_t index) const {
    return std::span<const float>(values_).subspan(index * properties_.size(), properties_.size());
}

std::string encodePLY(const VertexTable& table, Format format) {
    const auto& properties = table.properties();
    std::string out = "ply\nformat ";
    out += formatName(format);
    out += " 1.0\nelement vertex " + std::to_string(table.pointCount()) + "\n";
    for (const auto& property : properties)
        out += std::string("property ") + (property.type == PropertyType::uint8 ? "uchar " : "float ") +
               property.name + "\n";
    out += "end_header\n";

    bool bigEndian = format == Format::binaryBigEndian;
    for (std::size_t i = 0; i < table.pointCount(); ++i) {
        auto row = table.point(i);
        for (std::size_t p = 0; p < row.size(); ++p) {
            bool byte = properties[p].type == PropertyType::uint8;
            if (format == Format::ascii) {
                if (p > 0) out.push_back(' ');
                char text[32];
                auto result = byte ? std::to_chars(text, text + sizeof text, static_cast<int>(toByte(row[p])))
                                   : std::to_chars(text, text + sizeof text, row[p]);
                out.append(text, result.ptr);
            } else if (byte) {
                out.push_back(static_cast<char>(toByte(row[p])));
            } else {
                appendFloat(out, row[p], bigEndian);
            }
        }
        if (format == Format::ascii) out.push_back('\n');
    }
    return out;
}

void writePLY(const std::filesystem::path& path, const VertexTable& table, Format format) {
    writeFileAtomically(path, encodePLY(table, format));
}

std::string encodeDotSplat(std::span<const DotSplatRecord> records) {
    std::string out;
    out.reserve(records.size() * 32);
    for (const auto& record : records) {
        for (float v : record.position) appendFloat(out, v, false);
        for (float v : record.scale) appendFloat(out, v, false);
        for (auto b : record.rgba) out.push_back(static_cast<char>(b));
        for (auto b : record.rotation) out.push_back(static_cast<char>(b));
    }
    return out;
}

void writeDotSplat(const std::filesystem::path& path, std::span<const DotSplatRecord> records) {
    writeFileAtomically(path, encodeDotSplat(records));
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    auto temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("cannot write " + temporary.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        throw std::runtime_error("cannot move " + temporary.string() + " to " + path.string());
    }
}

} // namespace ply_writer
