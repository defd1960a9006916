#include "kit/io/file_input_stream.hpp"

#include <cerrno>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MivoKit {

std::optional<FileInputStream> FileInputStream::make(const std::filesystem::path& path) {
    const std::string& native = path.native();
    if (native.empty() || native.find('\0') != std::string::npos) return std::nullopt;
    return FileInputStream(path);
}

FileInputStream::FileInputStream(FileInputStream&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), failure_(std::move(other.failure_)) {
    other.fd_ = -1;
}

FileInputStream& FileInputStream::operator=(FileInputStream&& other) noexcept {
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        fd_ = other.fd_;
        failure_ = std::move(other.failure_);
        other.fd_ = -1;
    }
    return *this;
}

FileInputStream::~FileInputStream() { close(); }

void FileInputStream::open() {
    if (fd_ >= 0) return;
    do {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) failure_ = std::system_category().message(errno);
}

ssize_t FileInputStream::read(void* buffer, std::size_t maxLength) {
    if (fd_ < 0) {
        if (failure_.empty()) failure_ = "stream is not open";
        return -1;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buffer, maxLength);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        failure_ = std::system_category().message(errno);
        return -1;
    }
}

std::optional<std::uint64_t> FileInputStream::size() const {
    struct stat status;
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

void FileInputStream::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

} // namespace MivoKit
