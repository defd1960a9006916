#pragma once
// Builders and readers of ZIP archives for the archive module's tests.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

#include <sys/types.h>

namespace ziptest {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

struct RawEntry {
    std::string name;                   // stored byte for byte, unchecked
    std::string data;                   // the entry's content, stored or deflated as it is
    std::uint32_t externalAttributes = 0;
    std::optional<std::uint32_t> crc = std::nullopt; // the recorded CRC-32; the true one when absent
    bool deflated = false;
    std::optional<std::uint32_t> declaredSize = std::nullopt; // the recorded uncompressed size; data's size when absent
};

// A complete ZIP archive of the entries (stored unless marked deflated), as bytes.
std::string storedArchive(const std::vector<RawEntry>& entries);

// `archive` with every entry's recorded uncompressed size, in its local header and in the central
// directory, replaced by `size`.
std::string withDeclaredSize(std::string archive, std::uint32_t size);

struct EntryInfo {
    std::string name;
    std::uint64_t size = 0;
    unsigned long flag = 0;
    unsigned year = 0, month = 0, day = 0; // month counted from 0
    unsigned long externalAttributes = 0;
};

// The entries of an archive as minizip reads them; empty when it cannot be opened.
std::vector<EntryInfo> listEntries(const std::filesystem::path& archive);

// The permission bits of `path` (not following a symbolic link).
mode_t permissionsOf(const std::filesystem::path& path);

// Exit status of `command` run by /bin/sh (-1 when it did not exit normally).
int run(const std::string& command);
std::string quoted(const std::string& text);
// Runs `script` with the system's /usr/bin/python3, with `arguments`; returns its exit status.
int runPython(const std::filesystem::path& scratch, const std::string& script, const std::vector<std::string>& arguments);

} // namespace ziptest

#include "kit/zip/zip.hpp"

using namespace MivoKit;

namespace ziptest {

// The ZipError code that `action` throws; nullopt when it returns normally.
template <class Action>
std::optional<ZipErrorCode> zipErrorOf(Action&& action) {
    try {
        action();
    } catch (const ZipError& error) {
        return error.code();
    }
    return std::nullopt;
}

} // namespace ziptest
