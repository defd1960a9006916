#include "kit/head/flame_model_files.hpp"

namespace MivoKit {

std::shared_ptr<const FlameData> FlameModelFiles::get(const std::string& resourceName) {
    auto it = files_.find(resourceName);
    if (it == files_.end()) {
        try {
            it = files_.emplace(resourceName, loadFlameData(resourceName)).first;
        } catch (const FlameModelError&) {
            it = files_.emplace(resourceName, std::current_exception()).first;
        }
    }
    if (const auto* error = std::get_if<std::exception_ptr>(&it->second)) std::rethrow_exception(*error);
    return std::get<std::shared_ptr<const FlameData>>(it->second);
}

} // namespace MivoKit
