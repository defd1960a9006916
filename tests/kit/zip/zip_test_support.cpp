#include "tests/kit/zip/zip_test_support.hpp"

#include "tests/support/temp_dir.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unzip.h>
#include <zlib.h>

#include <cstdlib>

using namespace MivoKit;

namespace ziptest {
namespace {

void put16(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// The little-endian number of `width` bytes at `at`.
std::uint32_t getLE(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

void set32(std::string& bytes, std::size_t at, std::uint32_t value) {
    std::string encoded;
    put32(encoded, value);
    bytes.replace(at, 4, encoded);
}

// A raw deflate stream (no zlib header), as the ZIP deflate method stores it.
std::string rawDeflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(result == Z_STREAM_END ? stream.total_out : 0);
    deflateEnd(&stream);
    return out;
}

} // namespace

std::string storedArchive(const std::vector<RawEntry>& entries) {
    constexpr std::uint32_t kDosDate = (1 << 5) | 1; // 1980-01-01
    std::string local, central;
    for (const RawEntry& entry : entries) {
        const std::string data = entry.deflated ? rawDeflate(entry.data) : entry.data;
        const auto compressedSize = static_cast<std::uint32_t>(data.size());
        const auto size = entry.declaredSize.value_or(static_cast<std::uint32_t>(entry.data.size()));
        const std::uint32_t method = entry.deflated ? 8 : 0;
        const auto crc = entry.crc.value_or(static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size()))));
        const auto offset = static_cast<std::uint32_t>(local.size());
        const auto nameLength = static_cast<std::uint32_t>(entry.name.size());

        put32(local, 0x04034b50);
        put16(local, 20), put16(local, 0), put16(local, method), put16(local, 0), put16(local, kDosDate);
        put32(local, crc), put32(local, compressedSize), put32(local, size);
        put16(local, nameLength), put16(local, 0);
        local += entry.name;
        local += data;

        put32(central, 0x02014b50);
        put16(central, (3 << 8) | 20), put16(central, 20), put16(central, 0), put16(central, method);
        put16(central, 0), put16(central, kDosDate);
        put32(central, crc), put32(central, compressedSize), put32(central, size);
        put16(central, nameLength), put16(central, 0), put16(central, 0), put16(central, 0), put16(central, 0);
        put32(central, entry.externalAttributes), put32(central, offset);
        central += entry.name;
    }
    std::string archive = local + central;
    put32(archive, 0x06054b50);
    put16(archive, 0), put16(archive, 0);
    put16(archive, static_cast<std::uint32_t>(entries.size())), put16(archive, static_cast<std::uint32_t>(entries.size()));
    put32(archive, static_cast<std::uint32_t>(central.size())), put32(archive, static_cast<std::uint32_t>(local.size()));
    put16(archive, 0);
    return archive;
}

std::string withDeclaredSize(std::string archive, std::uint32_t size) {
    const std::size_t end = archive.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos) return archive;
    const std::uint32_t count = getLE(archive, end + 10, 2);
    std::size_t at = getLE(archive, end + 16, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        set32(archive, at + 24, size);
        set32(archive, getLE(archive, at + 42, 4) + 22, size);
        at += 46 + getLE(archive, at + 28, 2) + getLE(archive, at + 30, 2) + getLE(archive, at + 32, 2);
    }
    return archive;
}

std::vector<EntryInfo> listEntries(const std::filesystem::path& archive) {
    std::vector<EntryInfo> entries;
    unzFile handle = unzOpen64(archive.c_str());
    if (handle == nullptr) return entries;
    for (int result = unzGoToFirstFile(handle); result == UNZ_OK; result = unzGoToNextFile(handle)) {
        unz_file_info64 info{};
        char name[1024] = {};
        if (unzGetCurrentFileInfo64(handle, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
        entries.push_back({name, info.uncompressed_size, info.flag, info.tmu_date.tm_year, info.tmu_date.tm_mon,
                           info.tmu_date.tm_mday, info.external_fa});
    }
    unzClose(handle);
    return entries;
}

mode_t permissionsOf(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int runPython(const std::filesystem::path& scratch, const std::string& script, const std::vector<std::string>& arguments) {
    const auto file = scratch / "script.py";
    testsupport::writeFile(file, script);
    std::string command = "/usr/bin/python3 " + quoted(file.string());
    for (const std::string& argument : arguments) command += " " + quoted(argument);
    return run(command);
}

} // namespace ziptest
