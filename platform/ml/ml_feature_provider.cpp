#include "platform/ml/ml_model.hpp"

namespace MivoKit {

namespace platform::ml {

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : values_) names.insert(name);
    return names;
}

std::optional<MLFeatureValue> MLDictionaryFeatureProvider::featureValue(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

} // namespace platform::ml

} // namespace MivoKit
