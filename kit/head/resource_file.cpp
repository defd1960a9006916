#include "kit/head/resource_file.hpp"

#include "kit/model/json_values.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace MivoKit {

namespace head_resources {

std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "The file \"" + path.filename().string() + "\" couldn't be opened: " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) {
        error = "The file \"" + path.filename().string() + "\" couldn't be read.";
        return std::nullopt;
    }
    return std::move(bytes).str();
}

std::optional<nlohmann::json> loadJSONResource(std::string_view name) {
    const auto path = platform::files::resourcePath(name, "json");
    if (!path) {
        platform::log::print("JSON 文件未找到");
        return std::nullopt;
    }
    std::string error;
    const auto bytes = readWholeFile(*path, error);
    if (!bytes) {
        platform::log::print("读取 JSON 文件时出错：" + error);
        return std::nullopt;
    }
    auto document = json_values::parse(*bytes, &error);
    if (!document) platform::log::print("读取 JSON 文件时出错：" + error);
    return document;
}

std::ptrdiff_t lenientIndex(const nlohmann::json& value) {
    const double v = std::trunc(json_values::lenientNumber(value));
    // 2^63 is the first double past the range.
    if (!(v > -9223372036854775808.0 && v < 9223372036854775808.0)) return -1;
    return static_cast<std::ptrdiff_t>(v);
}

} // namespace head_resources

} // namespace MivoKit
