#pragma once
// What a character identifier means to the loader: whether it suits this version of the kit,
// whether it is safe to use as a path, and the directories it names.

#include <filesystem>
#include <string_view>

namespace MivoKit {

namespace character_loader {

// The version gate. An identifier with fewer than two "/"-separated parts passes; otherwise its
// second part without its first character must equal the first character of `sdkVersion`
// ("name/v1" passes with "1.0.0", "name/v2", "name/1" and "name/" do not). Characters are UTF-8
// code points.
bool isVersionCompatible(std::string_view identifier, std::string_view sdkVersion);

// Identifiers name directories below the characters root and the temporary folder, so an
// identifier that is empty, holds a NUL, starts with "/" or has a "." or ".." part is refused:
// it would name the root itself or a place outside it. "name/v1" is safe.
bool isSafeCharacterIdentifier(std::string_view identifier);

// The characters root with the identifier appended ("name/v1" gives nested directories).
std::filesystem::path characterDirectory(std::string_view identifier);

// The private temporary directory with the identifier appended: where the archives are
// downloaded before extraction.
std::filesystem::path temporaryDownloadDirectory(std::string_view identifier);

} // namespace character_loader

} // namespace MivoKit
