#include "kit/zip/directory_below.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace MivoKit {

namespace zipdetail {

DirectoryBelow openDirectoryBelow(const std::filesystem::path& root, std::span<const std::string> components) {
    DirectoryBelow result;
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    FileDescriptor current(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current) {
        result.error = std::error_code(errno, std::generic_category());
        return result;
    }
    for (const std::string& name : components) {
        if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
            result.error = std::error_code(errno, std::generic_category());
            return result;
        }
        FileDescriptor next(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            result.error = std::error_code(errno, std::generic_category());
            struct stat st {};
            result.blockedByLink =
                ::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            return result;
        }
        current = std::move(next);
    }
    result.fd = std::move(current);
    return result;
}

} // namespace zipdetail

} // namespace MivoKit
