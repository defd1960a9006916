#pragma once
// Stand-in for the platform's well-known directories and the kit's resource bundle.

#include <filesystem>
#include <optional>
#include <string_view>

namespace MivoKit {

namespace platform::files {

// The user's Documents directory. Always yields a path, in this order: the override set with
// setDocumentsDirectory, the XDG documents directory, $HOME/Documents, the home directory of the
// password entry + "/Documents", the user's temporary directory (see below) + "/Documents". Neither
// creates nor tests it.
std::filesystem::path documentsDirectory();
// Points documentsDirectory() elsewhere (applications and tests); nullopt restores the default.
void setDocumentsDirectory(std::optional<std::filesystem::path> directory);

// A temporary directory private to this process and user: a directory made with mkdtemp in the
// user's ($XDG_RUNTIME_DIR/mivokit when usable, else <system temp>/mivokit-<uid>, created with
// mode 0700 and refused when owned by someone else, in which case a fresh private directory made
// with mkdtemp serves instead), removed with its content when the process exits.
std::filesystem::path temporaryDirectory();
// Points temporaryDirectory() elsewhere (tests); nullopt restores the default.
void setTemporaryDirectory(std::optional<std::filesystem::path> directory);

// The directory of the kit's resources: the override, else "MivoKitResources" beside the running
// program when it exists, else the installed kit's resources, else the resource directory of the
// build.
std::filesystem::path resourceDirectory();
void setResourceDirectory(std::optional<std::filesystem::path> directory);
// Where the installed kit's resources are. A program that links the installed package gets a small
// source file that sets this before main (cmake/MivoKitResourceLocation.cpp.in).
void setInstalledResourceDirectory(std::optional<std::filesystem::path> directory);

// The resource `name`.`type` in the resource directory, when that file exists.
std::optional<std::filesystem::path> resourcePath(std::string_view name, std::string_view type);

} // namespace platform::files

} // namespace MivoKit
