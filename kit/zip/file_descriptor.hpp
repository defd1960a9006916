#pragma once
// A POSIX file descriptor owned by one object and closed when it goes.

#include <utility>

namespace MivoKit {

namespace zipdetail {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now; 0, or the errno of a failed close (a write that the kernel could not complete).
    int close();

private:
    int fd_ = -1;
};

} // namespace zipdetail

} // namespace MivoKit
