#include "kit/zip/file_descriptor.hpp"

#include <unistd.h>

#include <cerrno>

namespace MivoKit {

namespace zipdetail {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int FileDescriptor::close() {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
}

} // namespace zipdetail

} // namespace MivoKit
