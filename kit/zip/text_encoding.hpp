#pragma once
// Text conversions the archive module needs for entry names and reported paths.

#include <string>
#include <string_view>

namespace MivoKit {

namespace zipdetail {

// `bytes` as well-formed UTF-8: each ill-formed sequence (its maximal valid prefix) becomes U+FFFD.
std::string decodeUTF8Lossy(std::string_view bytes);

bool isASCII(std::string_view text);

// Percent-encodes every byte outside the characters allowed in a URL query
// (letters, digits and !$&'()*+,-./:;=?@_~), e.g. "/x/a b.txt" -> "/x/a%20b.txt".
std::string percentEncodeForQuery(std::string_view text);

} // namespace zipdetail

} // namespace MivoKit
