#pragma once
// What the archive targets check after an extraction: the destination holds only regular files and
// directories, every file whole (as some entry leading there holds it), and nothing appeared
// outside it, neither beside it in the run's folder, nor where an entry name would lead if it were
// joined naively, nor in the folder above the run's folder. The check that looks into the
// destination runs after the target's own, since it removes the destination.

#include "fuzz/fuzz_support.hpp"
#include "kit/zip/entry_name.hpp"
#include "kit/zip/text_encoding.hpp"

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zlib.h>

using namespace MivoKit;

namespace fuzz::archive {

namespace fs = std::filesystem;

// The two names that must fail an extraction: a NUL byte, or a ".." between "/" or "\" once the
// extractor has decoded the name.
inline bool refusedName(const std::string& stored) {
    if (stored.find('\0') != std::string::npos) return true;
    const std::string name = zipdetail::decodeUTF8Lossy(stored);
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

// The folder of one run: the archive and the destination, nothing else.
struct RunFolder {
    fs::path root;
    fs::path archive;
    fs::path destination;

    static RunFolder make() {
        RunFolder f;
        f.root = scratchDirectory();
        f.archive = f.root / "input.zip";
        f.destination = f.root / "out";
        return f;
    }
};

// One entry of the archive's central directory, as stored.
struct StoredEntry {
    std::string name;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

// The central directory as minizip walks it (at most `limit` entries).
struct Listing {
    std::vector<StoredEntry> entries;
    std::uint64_t declared = 0; // the entry count of the end record
    bool cut = false;      // stopped at the limit
    bool complete = false; // the walk reached the end of the list, not an entry it could not read

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : entries) out.push_back(e.name);
        return out;
    }
};

inline Listing listArchive(const fs::path& archive, std::size_t limit = 4096) {
    Listing listing;
    unzFile handle = unzOpen64(archive.c_str());
    if (!handle) return listing;
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(handle, &global) == UNZ_OK) listing.declared = global.number_entry;
    int moved = unzGoToFirstFile(handle);
    for (; moved == UNZ_OK; moved = unzGoToNextFile(handle)) {
        if (listing.entries.size() == limit) {
            listing.cut = true;
            break;
        }
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(handle, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) break;
        std::string name(info.size_filename + 1, '\0');
        if (unzGetCurrentFileInfo64(handle, nullptr, name.data(), info.size_filename + 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        name.resize(info.size_filename);
        listing.entries.push_back({std::move(name), info.uncompressed_size, std::uint32_t(info.crc)});
    }
    listing.complete = moved == UNZ_END_OF_LIST_OF_FILE;
    unzClose(handle);
    return listing;
}

// What a file below the destination may hold: the size and CRC-32 of an entry whose name leads
// to it. A file that matches none was left half-written (or was never an entry).
class WholeFiles {
public:
    WholeFiles() = default;
    explicit WholeFiles(const std::vector<StoredEntry>& entries) {
        for (const auto& entry : entries) {
            if (zipdetail::isDirectoryEntryName(entry.name)) continue;
            const auto components = zipdetail::entryNameComponents(zipdetail::decodeUTF8Lossy(entry.name));
            if (!components || components->empty()) continue;
            std::string relative;
            for (const auto& component : *components) relative += (relative.empty() ? "" : "/") + component;
            allowed_[relative].insert({entry.size, entry.crc});
        }
    }

    // `relative` is the file's path below the destination; `directory` holds it as `name`.
    void check(const std::string& relative, int directory, const char* name) const {
        const auto it = allowed_.find(relative);
        if (it == allowed_.end()) fail("archive: a file no entry leads to: " + relative);
        const int fd = ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) fail("archive: an extracted file cannot be read: " + relative);
        uLong crc = crc32(0L, Z_NULL, 0);
        std::uint64_t size = 0;
        unsigned char buffer[16384];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            crc = crc32_z(crc, buffer, std::size_t(n));
            size += std::uint64_t(n);
        }
        ::close(fd);
        if (!it->second.contains({size, std::uint32_t(crc)}))
            fail("archive: a file was left with content no entry has (half-written?): " + relative);
    }

private:
    std::map<std::string, std::set<std::pair<std::uint64_t, std::uint32_t>>> allowed_;
};

// The parts of a name between "/" and "\", as stored and as the extractor decodes them.
inline std::set<std::string> nameComponents(const std::vector<std::string>& names) {
    std::set<std::string> parts;
    for (const auto& stored : names)
        for (const std::string& name : {stored, zipdetail::decodeUTF8Lossy(stored)}) {
            std::size_t start = 0;
            while (start <= name.size()) {
                std::size_t end = name.find_first_of("/\\", start);
                if (end == std::string::npos) end = name.size();
                parts.insert(name.substr(start, end - start));
                start = end + 1;
            }
        }
    return parts;
}

// Where a careless extractor would put each name: the destination joined with the name (an
// absolute name replacing it), "\" read as "/", and the name cut at a NUL byte as C would read it.
// Only the places outside the destination, each with whether something is there already.
struct EscapeCandidates {
    std::vector<std::pair<fs::path, bool>> places;

    EscapeCandidates(const fs::path& destination, const std::vector<std::string>& names) {
        const auto inside = destination.lexically_normal();
        for (const auto& stored : names)
            for (std::string name : {stored, zipdetail::decodeUTF8Lossy(stored)}) {
                if (const auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
                for (char& c : name)
                    if (c == '\\') c = '/';
                if (name.empty()) continue;
                const auto place = (destination / name).lexically_normal();
                const auto relative = place.lexically_relative(inside);
                if (!relative.empty() && *relative.begin() != "..") continue;
                std::error_code ec;
                places.emplace_back(place, fs::symlink_status(place, ec).type() != fs::file_type::not_found);
            }
    }

    void checkNothingNew() const {
        for (const auto& [place, existed] : places) {
            std::error_code ec;
            if (!existed && fs::symlink_status(place, ec).type() != fs::file_type::not_found)
                fail("archive: an entry was written outside the destination, at " + place.string());
        }
    }
};

inline std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

// Fails when the folder above the run's folder gained a name an entry could have made. (Other
// processes share that folder: only names that are parts of entry names count.)
inline void checkParent(const fs::path& parent, const std::set<std::string>& before,
                        const std::set<std::string>& components) {
    for (const auto& name : namesIn(parent))
        if (!before.contains(name) && components.contains(name))
            fail("archive: an entry was written beside the run's folder, as " + (parent / name).string());
}

namespace detail {

// One directory of the walk: the subdirectories still to visit, and its own name in its parent.
struct Level {
    std::string name;
    std::vector<std::string> directories;
};

inline int openBelow(int directory, const char* name) {
    return ::openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Checks and removes the entries of the open directory `fd` that are not directories; gives the
// subdirectories owner access and returns them. `prefix` is the directory's path below the
// destination ("" or ending in "/").
inline Level scan(int fd, std::string name, const std::string& prefix, const WholeFiles* whole) {
    Level level{std::move(name), {}};
    const int listing = ::dup(fd);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) fail("archive: a directory below the destination cannot be listed");
    while (const dirent* entry = ::readdir(dir)) {
        const std::string child = entry->d_name;
        if (child == "." || child == "..") continue;
        struct stat st {};
        if (::fstatat(fd, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail("archive: an extracted path cannot be examined");
        if (S_ISDIR(st.st_mode)) {
            if ((st.st_mode & 0700) != 0700) ::fchmodat(fd, child.c_str(), 0700, 0);
            level.directories.push_back(child);
        } else if (S_ISREG(st.st_mode)) {
            if (whole) whole->check(prefix + child, fd, child.c_str());
            ::unlinkat(fd, child.c_str(), 0);
        } else {
            fail("archive: extraction made something other than a file or a directory: " + child);
        }
    }
    ::closedir(dir);
    return level;
}

} // namespace detail

// Fails unless the run's folder holds nothing but `expected` and every path below the destination
// is a regular file or a directory (a link, device, FIFO or socket fails), each file whole when
// `whole` is given. Removes the destination on the way: directory by directory through
// descriptors, since an extraction may nest deeper than a path can name (and the scratch folder's
// clearing goes by paths).
inline void checkRunFolder(const RunFolder& folder, const std::set<std::string>& expected,
                           const WholeFiles* whole = nullptr) {
    for (const auto& name : namesIn(folder.root))
        if (!expected.contains(name)) fail("archive: something was left beside the destination: " + name);

    struct stat top {};
    if (::lstat(folder.destination.c_str(), &top) != 0) return;
    if (!S_ISDIR(top.st_mode)) fail("archive: the destination is not a directory");
    ::chmod(folder.destination.c_str(), 0700);
    int fd = detail::openBelow(AT_FDCWD, folder.destination.c_str());
    if (fd < 0) fail("archive: the destination cannot be opened");
    std::string prefix; // the current directory below the destination, "" or ending in "/"
    std::vector<detail::Level> levels;
    levels.push_back(detail::scan(fd, {}, prefix, whole));
    while (!levels.empty()) {
        auto& level = levels.back();
        if (!level.directories.empty()) {
            const std::string child = std::move(level.directories.back());
            level.directories.pop_back();
            const int below = detail::openBelow(fd, child.c_str());
            if (below < 0) fail("archive: an extracted directory cannot be opened: " + child);
            ::close(fd);
            fd = below;
            prefix += child + "/";
            levels.push_back(detail::scan(fd, child, prefix, whole));
            continue;
        }
        const std::string name = std::move(level.name);
        levels.pop_back();
        if (levels.empty()) break;
        prefix.resize(prefix.size() - name.size() - 1);
        const int above = detail::openBelow(fd, "..");
        if (above < 0) fail("archive: the walk cannot go back up");
        ::close(fd);
        fd = above;
        ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    }
    ::close(fd);
    ::rmdir(folder.destination.c_str());
}

} // namespace fuzz::archive
