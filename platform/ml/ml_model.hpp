#pragma once
// Stand-in for the platform's compiled machine-learning models, over OpenCV's DNN module reading
// ONNX files (no OpenCV type appears here).
//
// A model is loaded with a configuration (stored for whoever asks: OpenCV runs on the CPU whatever
// the compute units say). A prediction reads its named inputs from a feature provider and writes
// its image outputs straight into the caller's pixel buffers named in the options' output
// backings; other outputs come back in the returned provider as multi-arrays.
//
// Image outputs: a float tensor [1, 3, H, W] or [3, H, W] holding red, green and blue in 0 to 1 is
// written, clamped and rounded, into a pixel buffer of exactly W x H with alpha 1. Half-precision
// multi-array inputs are widened to 32-bit floats for OpenCV (one copy), as are strided ones.
//
// Threads: a model may be used from any thread, one prediction at a time (OpenCV networks are not
// re-entrant); predictions on one model are serialised inside.

#include "platform/ml/ml_error.hpp"
#include "platform/ml/ml_multi_array.hpp"
#include "platform/ml/pixel_buffer.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>

namespace MivoKit {

namespace platform::ml {

enum class MLComputeUnits { cpuOnly, cpuAndGPU, all, cpuAndNeuralEngine };
enum class MLSpecializationStrategy { defaultStrategy, fastPrediction };

struct MLOptimizationHints {
    MLSpecializationStrategy specializationStrategy = MLSpecializationStrategy::defaultStrategy;
};

struct MLModelConfiguration {
    MLComputeUnits computeUnits = MLComputeUnits::all;
    MLOptimizationHints optimizationHints;
    std::string modelDisplayName;
};

// One named input or output value.
using MLFeatureValue = std::variant<std::shared_ptr<MLMultiArray>, std::shared_ptr<PixelBuffer>>;

class MLFeatureProvider {
public:
    virtual ~MLFeatureProvider() = default;
    virtual std::set<std::string> featureNames() const = 0;
    // None for a name the provider does not hold.
    virtual std::optional<MLFeatureValue> featureValue(const std::string& name) const = 0;
};

// A provider over a plain map.
class MLDictionaryFeatureProvider : public MLFeatureProvider {
public:
    explicit MLDictionaryFeatureProvider(std::map<std::string, MLFeatureValue> values) : values_(std::move(values)) {}
    std::set<std::string> featureNames() const override;
    std::optional<MLFeatureValue> featureValue(const std::string& name) const override;

private:
    std::map<std::string, MLFeatureValue> values_;
};

struct MLPredictionOptions {
    // Image outputs written into these pixel buffers instead of being returned.
    std::map<std::string, std::shared_ptr<PixelBuffer>> outputBackings;
};

class MLModel {
public:
    // Reads the ONNX model at `url`; throws MLError with OpenCV's message when it cannot.
    static std::shared_ptr<MLModel> load(const std::filesystem::path& url, const MLModelConfiguration& configuration);
    ~MLModel();

    const MLModelConfiguration& configuration() const;
    const std::filesystem::path& url() const;
    // The network's input and output names.
    std::vector<std::string> inputNames() const;
    std::vector<std::string> outputNames() const;

    // Throws MLError when an input is missing or has the wrong shape, an output backing does not
    // fit its output, or OpenCV fails (with its message). A backing may have been partly written.
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input, const MLPredictionOptions& options);

    struct Impl;

private:
    explicit MLModel(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::ml

} // namespace MivoKit
