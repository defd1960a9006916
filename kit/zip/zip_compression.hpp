#pragma once
// How strongly archive entries are deflated.

#include <optional>

namespace MivoKit {

enum class ZipCompression { NoCompression = 0, BestSpeed = 1, DefaultCompression = 2, BestCompression = 3 };

// The case with raw value 0 to 3; nullopt for any other value.
std::optional<ZipCompression> zipCompressionFromRaw(int rawValue);

// The zlib deflate level: 0, 1, -1 (zlib's default level) or 9.
int deflateLevel(ZipCompression compression);

} // namespace MivoKit
