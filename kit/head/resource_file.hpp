#pragma once
// Reading the head model's resources (files beside the kit, looked up by name and type).

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace MivoKit {

namespace head_resources {

// The whole file; nullopt with a description of the failure in `error`.
std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::string& error);

// The JSON resource `name`.json, parsed. Prints "JSON 文件未找到" when the resource does not exist
// and "读取 JSON 文件时出错：" + the failure when it cannot be read or parsed; nullopt then.
std::optional<nlohmann::json> loadJSONResource(std::string_view name);

// An index read leniently (see json_values::lenientNumber), fraction dropped. Values past the
// 64-bit range and NaN read as -1, which is never a valid index.
std::ptrdiff_t lenientIndex(const nlohmann::json& value);

} // namespace head_resources

} // namespace MivoKit
