#include "kit/loader/character_cache.hpp"

#include "platform/files/directories.hpp"
#include "platform/files/file_url.hpp"
#include "platform/log/log.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

namespace MivoKit {

namespace fs = std::filesystem;
using platform::files::PropertyList;

namespace character_loader {
namespace {

std::mutex& indexMutex() {
    static std::mutex m;
    return m;
}

std::vector<CachedCharacter> decodeIndex(const std::vector<std::uint8_t>& bytes) {
    const PropertyList root = platform::files::decodePropertyList(bytes);
    const auto* array = root.as<PropertyList::Array>();
    if (array == nullptr) throw platform::files::PropertyListError("cache index: the top level is not an array");
    std::vector<CachedCharacter> records;
    records.reserve(array->size());
    for (const auto& item : *array) records.push_back(CachedCharacter::decode(item));
    return records;
}

std::vector<std::uint8_t> readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    return bytes;
}

void writeAll(int fd, const std::vector<std::uint8_t>& bytes, const std::string& path) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category(), "cannot write " + path);
        written += static_cast<std::size_t>(n);
    }
}

// Writes the records to a temporary file beside the index, flushes it to disk and renames it
// over the index. On failure the index is left as it was and the temporary file is removed.
void writeIndex(const std::vector<CachedCharacter>& records) {
    PropertyList::Array array;
    array.reserve(records.size());
    for (const auto& record : records) array.push_back(record.encode());
    const auto bytes = platform::files::encodeBinaryPropertyList(PropertyList(std::move(array)));

    const fs::path target = Cache::fileURL();
    std::string temporary = target.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot create a file beside " + target.string());
    try {
        writeAll(fd, bytes, temporary);
        if (::fsync(fd) != 0) throw std::system_error(errno, std::generic_category(), "cannot flush " + temporary);
        if (::close(fd) != 0) {
            throw std::system_error(errno, std::generic_category(), "cannot close " + temporary);
        }
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    // mkstemp creates the file readable by its owner only; nobody else needs the index.
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "cannot replace " + target.string());
    }
}

void dropRecords(std::vector<CachedCharacter>& records, const std::string& id) {
    std::erase_if(records, [&](const CachedCharacter& r) { return r.id() == id; });
}

} // namespace

fs::path Cache::fileURL() { return platform::files::documentsDirectory() / "MvCharacterCache.plist"; }

std::optional<std::vector<CachedCharacter>> Cache::load() const {
    const fs::path path = fileURL();
    std::error_code ec;
    if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) return std::nullopt;
    try {
        return decodeIndex(readWholeFile(path));
    } catch (const std::exception& e) {
        platform::log::print(std::string("加载缓存失败: ") + e.what());
        return std::nullopt;
    }
}

std::optional<CachedCharacter> Cache::save(const Mivo::CharacterMeta& meta, const fs::path& resourceDirectory) const {
    std::lock_guard lock(indexMutex());
    auto records = load().value_or(std::vector<CachedCharacter>{});
    dropRecords(records, meta.id);
    const std::string resourcePath = platform::files::fileURLString(resourceDirectory, true);
    records.push_back(CachedCharacter::make(meta, resourcePath, std::chrono::system_clock::now()));
    try {
        writeIndex(records);
    } catch (const std::exception& e) {
        platform::log::print(std::string("保存缓存失败: ") + e.what());
        return std::nullopt;
    }
    platform::log::print("数字人缓存已保存: " + meta.id + ", url: " + resourcePath);
    return records.back();
}

void Cache::remove(const std::string& characterId) const {
    std::lock_guard lock(indexMutex());
    auto records = load().value_or(std::vector<CachedCharacter>{});
    dropRecords(records, characterId);
    try {
        writeIndex(records);
    } catch (const std::exception& e) {
        platform::log::print(std::string("清除缓存失败: ") + e.what());
        return;
    }
    platform::log::print("数字人缓存已清除: " + characterId);
}

} // namespace character_loader

} // namespace MivoKit
