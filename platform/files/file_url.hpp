#pragma once
// File URLs as text ("file:///home/me/Documents/My%20Files/"), the form in which stored records
// name local files and directories.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace MivoKit {

namespace platform::files {

// The absolute file URL of `path` (made absolute first). Bytes other than letters, digits and
// -._~!$&'()*+,;=:@/ are percent-encoded; a directory gets a trailing "/".
std::string fileURLString(const std::filesystem::path& path, bool isDirectory);

// Percent-encodes every byte of `text` other than ASCII letters, digits and the characters of
// `allowed` (upper-case hex digits: "a b" gives "a%20b").
std::string percentEncode(std::string_view text, std::string_view allowed);

// The local path a file URL names: scheme "file" (any case), an empty or "localhost" authority and
// an absolute path, percent-decoded; a query or fragment is ignored. Nothing for any other text,
// for malformed escapes and for an encoded NUL.
std::optional<std::filesystem::path> pathFromFileURL(std::string_view text);

} // namespace platform::files

} // namespace MivoKit
