#include "kit/loader/download_error.hpp"

#include <stdexcept>

namespace MivoKit {

namespace character_loader {

std::string describeError(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "unknown error";
}

DownloadError DownloadError::networkError(std::exception_ptr error) {
    DownloadError e(DownloadErrorCode::networkError, "网络错误: " + describeError(error));
    e.underlying_ = error;
    return e;
}

DownloadError DownloadError::fileSizeMismatch(std::int64_t expected, std::int64_t actual, std::string resourceType) {
    DownloadError e(DownloadErrorCode::fileSizeMismatch, resourceType + " 文件大小不匹配: 期望 " +
                                                             std::to_string(expected) + " 字节，实际 " +
                                                             std::to_string(actual) + " 字节");
    e.expected_ = expected;
    e.actual_ = actual;
    e.resourceType_ = std::move(resourceType);
    return e;
}

DownloadError DownloadError::extractionFailed(std::exception_ptr error) {
    DownloadError e(DownloadErrorCode::extractionFailed, "解压失败: " + describeError(error));
    e.underlying_ = error;
    return e;
}

DownloadError DownloadError::invalidResponse() {
    return DownloadError(DownloadErrorCode::invalidResponse, "无效的服务器响应");
}

DownloadError DownloadError::noFilesFound() {
    return DownloadError(DownloadErrorCode::noFilesFound, "解压后没有找到任何文件");
}

} // namespace character_loader

} // namespace MivoKit
