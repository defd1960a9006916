#pragma once
// The file readers take a path, not bytes: each run writes its input to a file of its own in the
// process's scratch folder, made once per process.

#include "fuzz/fuzz_support.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

// The scratch folder of the process, emptied once when first asked for (not on every run).
inline const std::filesystem::path& inputFolder() {
    static const std::filesystem::path folder = scratchDirectory();
    return folder;
}

// Replaces the file at `path` with the bytes.
inline void writeFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create the input file " + path.string());
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) fail("cannot write the input file " + path.string());
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Replaces the file `name` in the input folder with the bytes and returns its path.
inline std::filesystem::path writeInput(const std::string& name, const std::uint8_t* data, std::size_t size) {
    auto path = inputFolder() / name;
    writeFile(path, data, size);
    return path;
}

inline std::filesystem::path writeInput(const std::string& name, std::string_view bytes) {
    return writeInput(name, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

} // namespace fuzz
