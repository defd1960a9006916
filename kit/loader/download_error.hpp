#pragma once
// The failures of the archive download and of the extraction into the character directory.
// Errors of URL loading, of the file system and of the archive module pass through unchanged;
// these are the loader's own.

#include "kit/model/typed_error.hpp"

#include <cstdint>
#include <exception>
#include <string>

namespace MivoKit {

namespace character_loader {

enum class DownloadErrorCode { networkError, fileSizeMismatch, extractionFailed, invalidResponse, noFilesFound };

class DownloadError : public TypedError<DownloadErrorCode> {
public:
    // "网络错误: " and the wrapped error's description.
    static DownloadError networkError(std::exception_ptr error);
    // "<type> 文件大小不匹配: 期望 <expected> 字节，实际 <actual> 字节".
    static DownloadError fileSizeMismatch(std::int64_t expected, std::int64_t actual, std::string resourceType);
    // "解压失败: " and the wrapped error's description.
    static DownloadError extractionFailed(std::exception_ptr error);
    // "无效的服务器响应".
    static DownloadError invalidResponse();
    // "解压后没有找到任何文件".
    static DownloadError noFilesFound();

    std::string errorDescription() const { return what(); }

    // Payload of fileSizeMismatch (zero and empty for the other cases).
    std::int64_t expected() const { return expected_; }
    std::int64_t actual() const { return actual_; }
    const std::string& resourceType() const { return resourceType_; }
    // Payload of networkError and extractionFailed.
    std::exception_ptr underlyingError() const { return underlying_; }

private:
    DownloadError(DownloadErrorCode code, const std::string& description) : TypedError(code, description) {}

    std::int64_t expected_ = 0;
    std::int64_t actual_ = 0;
    std::string resourceType_;
    std::exception_ptr underlying_;
};

// The description of any thrown error: what() of a standard exception, else a fixed text.
std::string describeError(std::exception_ptr error);

} // namespace character_loader

} // namespace MivoKit
