#include "fuzz/fuzz_support.hpp"

#include "platform/log/log.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace MivoKit;

namespace fuzz {

std::filesystem::path resourceDirectory() { return MIVO_RESOURCE_DIR; }
std::filesystem::path syntheticCharacterDirectory() { return MIVO_SYNTHETIC_CHARACTER_DIR; }

FuzzBytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read the seed file " + path.string());
    return FuzzBytes(std::istreambuf_iterator<char>(in), {});
}

std::string syntheticCloud(std::size_t points) {
    const auto file = readFile(syntheticCharacterDirectory() / "model" / "point_cloud.ply");
    const std::string text(file.begin(), file.end());
    const auto end = text.find("end_header\n") + 11;
    const auto count = text.find("element vertex ");
    std::string header = text.substr(0, end);
    header.replace(count, header.find('\n', count) - count, "element vertex " + std::to_string(points));
    return header + text.substr(end, points * 15 * 4);
}

FuzzBytes bytesOf(std::string_view text) { return FuzzBytes(text.begin(), text.end()); }

std::string base64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = std::uint32_t(bytes[i]) << 16;
        if (n > 1) group |= std::uint32_t(bytes[i + 1]) << 8;
        if (n > 2) group |= bytes[i + 2];
        for (std::size_t j = 0; j < 4; ++j) text.push_back(j <= n ? alphabet[(group >> (18 - 6 * j)) & 63] : '=');
    }
    return text;
}

void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz oracle: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::filesystem::path scratchDirectory() {
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("mivo-fuzz-" + std::to_string(::getpid()));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir);
    return dir;
}

void quietLog() {
    static const bool quiet = [] {
        // The kit's log is made on first use; make it, then turn it off.
        platform::log::Logger("fuzz", "fuzz").debug("fuzzing: the kit's log is off from here on");
        if (auto logger = spdlog::get("mivokit-unified-log")) logger->set_level(spdlog::level::off);
        return true;
    }();
    (void)quiet;
}

} // namespace fuzz
