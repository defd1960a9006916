// The process-wide registry of archive extensions accepted besides "zip" and "cbz".

#include "kit/zip/zip.hpp"

#include <mutex>
#include <set>

namespace MivoKit {

namespace {

// Extractions on background threads read the registry while an application may change it; the
// lock keeps that from being a data race.
struct Registry {
    std::mutex mutex;
    std::set<std::string> extensions;
};

// Never destroyed: extractions on background threads may still consult it while the process exits.
Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

} // namespace

void Zip::addCustomFileExtension(const std::string& fileExtension) {
    std::lock_guard lock(registry().mutex);
    registry().extensions.insert(fileExtension);
}

void Zip::removeCustomFileExtension(const std::string& fileExtension) {
    std::lock_guard lock(registry().mutex);
    registry().extensions.erase(fileExtension);
}

bool Zip::isValidFileExtension(const std::string& fileExtension) {
    if (fileExtension == "zip" || fileExtension == "cbz") return true;
    std::lock_guard lock(registry().mutex);
    return registry().extensions.count(fileExtension) != 0;
}

} // namespace MivoKit
