#include "kit/render/sr/sr_models.hpp"

#include "kit/render/fatal_error.hpp"
#include "platform/files/directories.hpp"

namespace MivoKit {

namespace {

// The file extension of compiled models in this port's resources.
constexpr std::string_view kModelResourceType = "onnx";
constexpr const char* kInputName = "x_1";

} // namespace

template <class Tag>
std::set<std::string> SRModel<Tag>::Input::featureNames() const {
    return {kInputName};
}

template <class Tag>
std::optional<platform::ml::MLFeatureValue> SRModel<Tag>::Input::featureValue(const std::string& name) const {
    if (name != kInputName) return std::nullopt;
    return platform::ml::MLFeatureValue(x_1);
}

template <class Tag>
std::filesystem::path SRModel<Tag>::modelURL() {
    auto url = platform::files::resourcePath(Tag::resourceName, kModelResourceType);
    if (!url)
        fatalError("The model resource " + std::string(Tag::resourceName) + "." + std::string(kModelResourceType) +
                   " is missing from " + platform::files::resourceDirectory().string());
    return *url;
}

template <class Tag>
SRModel<Tag>::SRModel(const platform::ml::MLModelConfiguration& configuration)
    : model(platform::ml::MLModel::load(modelURL(), configuration)) {}

template <class Tag>
typename SRModel<Tag>::Output SRModel<Tag>::prediction(const Input& input,
                                                       const platform::ml::MLPredictionOptions& options) {
    return Output(model->prediction(input, options));
}

template class SRModel<SRModelT2020Tag>;
template class SRModel<SRModelT2023Tag>;
template class SRModel<SRModelQd2020Tag>;

} // namespace MivoKit
