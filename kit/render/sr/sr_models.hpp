#pragma once
// The model wrappers of the three super-resolution networks, one class per compiled model as the
// platform's model compiler would make them: sr_model_t_2020, sr_model_t_2023 and
// sr_model_qd_2020, each with its Input (a provider holding the one multi-array "x_1") and its
// Output (forwarding to the provider a prediction returns).
//
// A wrapper's model is the resource "<name>.onnx" of the kit's resources; when that file is
// missing the program stops (fatalError), since the kit ships it. Loading throws MLError with the
// runtime's message when the file cannot be read as a model.
//
// Threads: as MLModel, any thread, predictions on one wrapper serialised inside the model.

#include "platform/ml/ml_model.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace MivoKit {

// The three wrappers differ only in their resource; `Tag` names it and makes each a type of its own.
template <class Tag>
class SRModel {
public:
    class Input : public platform::ml::MLFeatureProvider {
    public:
        explicit Input(std::shared_ptr<platform::ml::MLMultiArray> x_1) : x_1(std::move(x_1)) {}
        std::set<std::string> featureNames() const override;
        std::optional<platform::ml::MLFeatureValue> featureValue(const std::string& name) const override;

        std::shared_ptr<platform::ml::MLMultiArray> x_1;
    };

    class Output : public platform::ml::MLFeatureProvider {
    public:
        explicit Output(std::shared_ptr<platform::ml::MLFeatureProvider> provider) : provider_(std::move(provider)) {}
        std::set<std::string> featureNames() const override { return provider_->featureNames(); }
        std::optional<platform::ml::MLFeatureValue> featureValue(const std::string& name) const override {
            return provider_->featureValue(name);
        }

    private:
        std::shared_ptr<platform::ml::MLFeatureProvider> provider_;
    };

    // The model file among the kit's resources; stops the program when it is missing.
    static std::filesystem::path modelURL();
    // Loads the model at modelURL(); throws MLError when it cannot.
    explicit SRModel(const platform::ml::MLModelConfiguration& configuration);

    // Throws MLError as MLModel::prediction does.
    Output prediction(const Input& input, const platform::ml::MLPredictionOptions& options);

    std::shared_ptr<platform::ml::MLModel> model;
};

struct SRModelT2020Tag {
    static constexpr std::string_view resourceName = "sr_model_t_2020";
};
struct SRModelT2023Tag {
    static constexpr std::string_view resourceName = "sr_model_t_2023";
};
struct SRModelQd2020Tag {
    static constexpr std::string_view resourceName = "sr_model_qd_2020";
};

using sr_model_t_2020 = SRModel<SRModelT2020Tag>;
using sr_model_t_2020Input = sr_model_t_2020::Input;
using sr_model_t_2020Output = sr_model_t_2020::Output;

using sr_model_t_2023 = SRModel<SRModelT2023Tag>;
using sr_model_t_2023Input = sr_model_t_2023::Input;
using sr_model_t_2023Output = sr_model_t_2023::Output;

using sr_model_qd_2020 = SRModel<SRModelQd2020Tag>;
using sr_model_qd_2020Input = sr_model_qd_2020::Input;
using sr_model_qd_2020Output = sr_model_qd_2020::Output;

extern template class SRModel<SRModelT2020Tag>;
extern template class SRModel<SRModelT2023Tag>;
extern template class SRModel<SRModelQd2020Tag>;

} // namespace MivoKit
