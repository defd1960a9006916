#pragma once
// A file input stream: made for a path, opened, read in chunks, closed when it goes away.
//
// Making a stream never touches the file system; it fails only for a path that names no file at
// all (empty, or holding a zero byte). Opening may fail; a stream that could not be opened fails
// its first read, so a missing file surfaces as a read error.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace MivoKit {

class FileInputStream {
public:
    static std::optional<FileInputStream> make(const std::filesystem::path& path);

    FileInputStream(FileInputStream&& other) noexcept;
    FileInputStream& operator=(FileInputStream&& other) noexcept;
    FileInputStream(const FileInputStream&) = delete;
    FileInputStream& operator=(const FileInputStream&) = delete;
    ~FileInputStream();

    void open();
    // Reads up to `maxLength` bytes into `buffer`: the number of bytes read, 0 at the end of the
    // input, -1 on failure (including a stream that is not open). Interrupted reads are retried.
    ssize_t read(void* buffer, std::size_t maxLength);
    void close();
    // The size in bytes of the opened file, when it is a regular file.
    std::optional<std::uint64_t> size() const;

    // The reason of the last failure (open or read), as the system describes it.
    const std::string& failureDescription() const { return failure_; }

private:
    explicit FileInputStream(std::filesystem::path path) : path_(std::move(path)) {}

    std::filesystem::path path_;
    int fd_ = -1;
    std::string failure_;
};

} // namespace MivoKit
