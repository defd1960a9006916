#include "platform/ml/ml_model.hpp"

#include "platform/ml/onnx_signature.hpp"
#include "platform/ml/tensor_conversion.hpp"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sstream>

namespace MivoKit {

namespace platform::ml {

struct MLModel::Impl {
    cv::dnn::Net net;
    OnnxSignature signature;
    MLModelConfiguration configuration;
    std::filesystem::path url;
    // OpenCV networks keep their inputs and intermediate blobs inside: one prediction at a time.
    std::mutex predicting;
    // Widened inputs, kept between predictions so each frame does not map fresh memory.
    std::map<std::string, cv::Mat> widenedInputs;
};

namespace {

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::ostringstream out;
    out << '[';
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out << ", ";
        if (shape[i] < 0) out << '?';
        else out << shape[i];
    }
    out << ']';
    return out.str();
}

std::vector<std::int64_t> shapeOf(const cv::Mat& mat) {
    return std::vector<std::int64_t>(mat.size.p, mat.size.p + mat.dims);
}

// Held by shared_ptr: a provider may make the value it returns.
std::shared_ptr<MLMultiArray> requireArray(const MLFeatureProvider& input, const OnnxTensorSignature& declared) {
    const auto value = input.featureValue(declared.name);
    if (!value) throw MLError("The input \"" + declared.name + "\" is missing");
    const auto* array = std::get_if<std::shared_ptr<MLMultiArray>>(&*value);
    if (!array || !*array) throw MLError("The input \"" + declared.name + "\" is not a multi-array");
    const auto& shape = (*array)->shape();
    bool fits = shape.size() == declared.shape.size();
    for (std::size_t d = 0; fits && d < shape.size(); ++d)
        fits = declared.shape[d] < 0 || declared.shape[d] == shape[d];
    if (!fits)
        throw MLError("The input \"" + declared.name + "\" has the shape " + shapeText(shape) +
                      " but the model takes " + shapeText(declared.shape));
    return *array;
}

// A float blob of the array's shape for OpenCV: the array's own memory when it already is one,
// else a widened, packed copy in `widened`.
cv::Mat floatBlob(const MLMultiArray& array, cv::Mat& widened) {
    const std::vector<int> sizes(array.shape().begin(), array.shape().end());
    if (array.dataType() == MLMultiArrayDataType::float32 && isContiguous(array))
        return cv::Mat(static_cast<int>(sizes.size()), sizes.data(), CV_32F, array.dataPointer());
    widened.create(static_cast<int>(sizes.size()), sizes.data(), CV_32F); // reuses memory of the same shape
    copyAsFloat32(array, widened.ptr<float>());
    return widened;
}

void writeBacking(const std::string& name, const cv::Mat& output, PixelBuffer& backing) {
    const bool image = output.dims >= 3 && output.dims <= 4 && output.size[output.dims - 3] == 3 &&
                       (output.dims == 3 || output.size[0] == 1);
    if (!image)
        throw MLError("The output \"" + name + "\" of shape " + shapeText(shapeOf(output)) + " is not an RGB image");
    const auto height = static_cast<std::uint32_t>(output.size[output.dims - 2]);
    const auto width = static_cast<std::uint32_t>(output.size[output.dims - 1]);
    if (backing.width() != width || backing.height() != height)
        throw MLError("The output \"" + name + "\" is " + std::to_string(width) + "x" + std::to_string(height) +
                      " but its backing is " + std::to_string(backing.width()) + "x" +
                      std::to_string(backing.height()));
    writeRGBPlanes(output.ptr<float>(), width, height, backing);
}

std::shared_ptr<MLMultiArray> returnedArray(const cv::Mat& output) {
    auto array = std::make_shared<MLMultiArray>(shapeOf(output), MLMultiArrayDataType::float32);
    std::memcpy(array->dataPointer(), output.ptr<float>(), output.total() * sizeof(float));
    return array;
}

} // namespace

MLModel::MLModel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MLModel::~MLModel() = default;

std::shared_ptr<MLModel> MLModel::load(const std::filesystem::path& url, const MLModelConfiguration& configuration) {
    auto impl = std::make_unique<Impl>();
    try {
        impl->net = cv::dnn::readNetFromONNX(url.string());
    } catch (const cv::Exception& e) {
        throw MLError(e.what());
    }
    if (impl->net.empty()) throw MLError("The model at " + url.string() + " has no layers");
    // Whatever the configuration's compute units, OpenCV's own CPU code runs the network.
    impl->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    impl->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    impl->signature = readOnnxSignature(url);
    impl->configuration = configuration;
    impl->url = url;
    return std::shared_ptr<MLModel>(new MLModel(std::move(impl)));
}

const MLModelConfiguration& MLModel::configuration() const { return impl_->configuration; }
const std::filesystem::path& MLModel::url() const { return impl_->url; }

std::vector<std::string> MLModel::inputNames() const {
    std::vector<std::string> names;
    for (const auto& input : impl_->signature.inputs) names.push_back(input.name);
    return names;
}

std::vector<std::string> MLModel::outputNames() const {
    std::vector<std::string> names;
    for (const auto& output : impl_->signature.outputs) names.push_back(output.name);
    return names;
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       const MLPredictionOptions& options) {
    const std::vector<std::string> outputs = outputNames();
    for (const auto& [name, backing] : options.outputBackings) {
        if (std::find(outputs.begin(), outputs.end(), name) == outputs.end())
            throw MLError("The model has no output \"" + name + "\" to write into a backing");
        if (!backing) throw MLError("The backing of the output \"" + name + "\" is null");
    }

    std::lock_guard lock(impl_->predicting);
    try {
        for (const auto& declared : impl_->signature.inputs) {
            const auto array = requireArray(input, declared);
            // OpenCV copies the blob in.
            impl_->net.setInput(floatBlob(*array, impl_->widenedInputs[declared.name]), declared.name);
        }
        // This form hands out the network's own output blobs; the others copy them.
        std::vector<std::vector<cv::Mat>> results;
        impl_->net.forward(results, std::vector<cv::String>(outputs.begin(), outputs.end()));

        std::map<std::string, MLFeatureValue> returned;
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (results[i].empty()) throw MLError("The network produced no \"" + outputs[i] + "\"");
            cv::Mat result = results[i].front();
            if (result.depth() != CV_32F) result.convertTo(result, CV_32F);
            if (!result.isContinuous()) result = result.clone();
            const auto backing = options.outputBackings.find(outputs[i]);
            if (backing != options.outputBackings.end()) writeBacking(outputs[i], result, *backing->second);
            else returned.emplace(outputs[i], returnedArray(result));
        }
        return std::make_shared<MLDictionaryFeatureProvider>(std::move(returned));
    } catch (const cv::Exception& e) {
        throw MLError(e.what());
    }
}

} // namespace platform::ml

} // namespace MivoKit
