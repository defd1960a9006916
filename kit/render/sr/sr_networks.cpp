#include "kit/render/sr/sr_networks.hpp"

#include "platform/log/log.hpp"

namespace MivoKit {

namespace {

platform::ml::MLModelConfiguration networkConfiguration() {
    platform::ml::MLModelConfiguration configuration;
    configuration.computeUnits = platform::ml::MLComputeUnits::all;
    configuration.optimizationHints.specializationStrategy = platform::ml::MLSpecializationStrategy::fastPrediction;
    configuration.modelDisplayName = "超分网络";
    return configuration;
}

} // namespace

template <class Model>
void SRModelNetwork<Model>::loadModel() {
    std::shared_ptr<Model> loaded;
    try {
        loaded = std::make_shared<Model>(networkConfiguration());
    } catch (const platform::ml::MLError&) {
        // Without a model the network draws nothing; the renderer asks canPredict().
    }
    model_.store(std::move(loaded));
    platform::log::print("SRModule init");
}

template <class Model>
void SRModelNetwork<Model>::prediction(const platform::ml::MLMultiArray& input,
                                       platform::ml::PixelBuffer& outputRef) {
    const std::shared_ptr<Model> model = model_.load();
    if (!model) return;
    // Providers hold their arrays and backings by shared_ptr; both belong to the caller and outlive
    // the call, so the input is passed as a second view of the same memory and the backing unowned.
    typename Model::Input features(std::make_shared<platform::ml::MLMultiArray>(
        input.dataPointer(), input.shape(), input.dataType(), input.strides()));
    platform::ml::MLPredictionOptions options;
    const std::shared_ptr<platform::ml::PixelBuffer> unowned(std::shared_ptr<void>(), &outputRef);
    options.outputBackings.emplace("output_image", unowned);
    try {
        model->prediction(features, options);
    } catch (const platform::ml::MLError&) {
        // A failed frame is dropped; the next one tries again.
    }
}

template class SRModelNetwork<sr_model_t_2020>;
template class SRModelNetwork<sr_model_t_2023>;
template class SRModelNetwork<sr_model_qd_2020>;

} // namespace MivoKit
