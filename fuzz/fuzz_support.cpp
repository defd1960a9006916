#include "fuzz/fuzz_support.hpp"

#include "platform/log/log.hpp"

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace fuzz {

std::filesystem::path resourceDirectory() { return MIVO_RESOURCE_DIR; }
std::filesystem::path syntheticCharacterDirectory() { return MIVO_SYNTHETIC_CHARACTER_DIR; }

FuzzBytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read the seed file " + path.string());
    return FuzzBytes(std::istreambuf_iterator<char>(in), {});
}

FuzzBytes bytesOf(std::string_view text) { return FuzzBytes(text.begin(), text.end()); }

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
