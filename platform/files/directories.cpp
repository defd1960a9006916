#include "platform/files/directories.hpp"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace MivoKit {

namespace fs = std::filesystem;

namespace platform::files {
namespace {

struct Overrides {
    std::mutex mutex;
    std::optional<fs::path> documents;
    std::optional<fs::path> temporary;
    std::optional<fs::path> resources;
    std::optional<fs::path> installedResources;
};

// Never destroyed: background tasks may still look up directories while the process exits.
Overrides& overrides() {
    static auto* o = new Overrides();
    return *o;
}

std::optional<std::string> env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return std::nullopt;
    return std::string(v);
}

std::optional<fs::path> homeDirectory() {
    if (auto home = env("HOME")) return fs::path(*home);
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr && *pw->pw_dir)
        return fs::path(pw->pw_dir);
    return std::nullopt;
}

// XDG_DOCUMENTS_DIR from the environment or from user-dirs.dirs ("$HOME/..." or an absolute path).
std::optional<fs::path> xdgDocumentsDirectory(const std::optional<fs::path>& home) {
    if (auto dir = env("XDG_DOCUMENTS_DIR")) {
        if (fs::path(*dir).is_absolute()) return fs::path(*dir);
    }
    fs::path config;
    if (auto c = env("XDG_CONFIG_HOME")) config = *c;
    else if (home) config = *home / ".config";
    else return std::nullopt;

    std::ifstream in(config / "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) {
            if (!home) return std::nullopt;
            std::string rest = value.substr(5);
            while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
            return rest.empty() ? *home : *home / rest;
        }
        if (fs::path(value).is_absolute()) return fs::path(value);
    }
    return std::nullopt;
}

// A directory only this user can enter: created 0700, or existing, owned by us and not a link.
bool ensurePrivateDirectory(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) return true;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) return false;
    if ((st.st_mode & 0077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return false;
    return true;
}

// The private directory of this user that holds each process's own temporary directory.
fs::path userTemporaryDirectory() {
    if (auto runtime = env("XDG_RUNTIME_DIR")) {
        fs::path dir = fs::path(*runtime) / "mivokit";
        if (ensurePrivateDirectory(dir)) return dir;
    }
    std::error_code ec;
    fs::path system = fs::temp_directory_path(ec);
    if (ec) system = "/tmp";
    fs::path dir = system / ("mivokit-" + std::to_string(getuid()));
    if (ensurePrivateDirectory(dir)) return dir;
    // Someone else holds that name: use a fresh private directory.
    std::string templ = (system / "mivokit-XXXXXX").string();
    if (char* made = ::mkdtemp(templ.data())) return fs::path(made);
    return system;
}

const fs::path* processTemporaryDirectory = nullptr;

void removeProcessTemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(*processTemporaryDirectory, ignored);
}

// Each process has a temporary directory of its own, as each application has on the mobile
// platform: two programs loading the same character at once would otherwise share its download
// folder and take each other's archives. It is removed when the process exits.
fs::path defaultTemporaryDirectory() {
    const fs::path user = userTemporaryDirectory();
    std::string templ = (user / ("process-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (!::mkdtemp(templ.data())) return user;
    processTemporaryDirectory = new fs::path(templ); // never destroyed: read by the exit handler
    std::atexit(removeProcessTemporaryDirectory);
    return *processTemporaryDirectory;
}

fs::path executableDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

} // namespace

fs::path documentsDirectory() {
    {
        std::lock_guard lock(overrides().mutex);
        if (overrides().documents) return *overrides().documents;
    }
    auto home = homeDirectory();
    if (auto xdg = xdgDocumentsDirectory(home)) return *xdg;
    if (home) return *home / "Documents";
    // Not the process's temporary directory: that goes with the process.
    static const auto* user = new fs::path(userTemporaryDirectory()); // never destroyed
    return *user / "Documents";
}

void setDocumentsDirectory(std::optional<fs::path> directory) {
    std::lock_guard lock(overrides().mutex);
    overrides().documents = std::move(directory);
}

fs::path temporaryDirectory() {
    std::lock_guard lock(overrides().mutex);
    if (overrides().temporary) return *overrides().temporary;
    static const auto* dir = new fs::path(defaultTemporaryDirectory()); // never destroyed: read by background work
    return *dir;
}

void setTemporaryDirectory(std::optional<fs::path> directory) {
    std::lock_guard lock(overrides().mutex);
    overrides().temporary = std::move(directory);
}

fs::path resourceDirectory() {
    {
        std::lock_guard lock(overrides().mutex);
        if (overrides().resources) return *overrides().resources;
    }
    std::error_code ec;
    fs::path beside = executableDirectory() / "MivoKitResources";
    if (fs::is_directory(beside, ec)) return beside;
    {
        std::lock_guard lock(overrides().mutex);
        if (overrides().installedResources) return *overrides().installedResources;
    }
    return fs::path(MIVO_BUILD_RESOURCE_DIR);
}

void setInstalledResourceDirectory(std::optional<fs::path> directory) {
    std::lock_guard lock(overrides().mutex);
    overrides().installedResources = std::move(directory);
}

void setResourceDirectory(std::optional<fs::path> directory) {
    std::lock_guard lock(overrides().mutex);
    overrides().resources = std::move(directory);
}

std::optional<fs::path> resourcePath(std::string_view name, std::string_view type) {
    std::string file(name);
    if (!type.empty()) {
        file += '.';
        file += type;
    }
    fs::path path = resourceDirectory() / file;
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    return path;
}

} // namespace platform::files

} // namespace MivoKit
