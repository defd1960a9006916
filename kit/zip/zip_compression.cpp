#include "kit/zip/zip_compression.hpp"

#include <zlib.h>

namespace MivoKit {

std::optional<ZipCompression> zipCompressionFromRaw(int rawValue) {
    if (rawValue < 0 || rawValue > 3) return std::nullopt;
    return static_cast<ZipCompression>(rawValue);
}

int deflateLevel(ZipCompression compression) {
    switch (compression) {
    case ZipCompression::NoCompression: return Z_NO_COMPRESSION;
    case ZipCompression::BestSpeed: return Z_BEST_SPEED;
    case ZipCompression::DefaultCompression: return Z_DEFAULT_COMPRESSION;
    case ZipCompression::BestCompression: return Z_BEST_COMPRESSION;
    }
    return Z_DEFAULT_COMPRESSION;
}

} // namespace MivoKit
