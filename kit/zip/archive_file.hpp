#pragma once
// One archive entry held in memory, for Zip::zipData.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

struct ArchiveFile {
    std::string filename; // the entry's name inside the archive
    std::vector<std::uint8_t> data;
    std::optional<std::chrono::system_clock::time_point> modifiedTime;
};

} // namespace MivoKit
