#include "kit/zip/zip.hpp"

namespace MivoKit {

std::string description(ZipErrorCode code) {
    switch (code) {
    case ZipErrorCode::fileNotFound: return "File not found.";
    case ZipErrorCode::unzipFail: return "Failed to unzip file.";
    case ZipErrorCode::zipFail: return "Failed to zip file.";
    }
    return {};
}

ZipError makeZipError(ZipErrorCode code) { return ZipError(code, description(code)); }

} // namespace MivoKit
