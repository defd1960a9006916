// Models: loading the generated stand-in networks with OpenCV, predicting into pixel buffers,
// and the failures a caller sees.

#include "platform/ml/ml_model.hpp"

#include "tests/platform/ml/ml_test_support.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <opencv2/dnn.hpp>

#include <cstring>
#include <string>

using namespace MivoKit;

using namespace platform::ml;
using platform::gpu::SoftwareDevice;

namespace {

const std::filesystem::path kResources = MIVO_TEST_RESOURCE_DIR;
const std::filesystem::path kTolmira2020 = kResources / "sr_model_t_2020.onnx";
const std::filesystem::path kTolmira2023 = kResources / "sr_model_t_2023.onnx";
const std::filesystem::path kQd2020 = kResources / "sr_model_qd_2020.onnx";
constexpr std::int64_t kTolmiraWidth = 690, kTolmiraHeight = 798;

std::shared_ptr<platform::gpu::Device> device() {
    static const std::shared_ptr<platform::gpu::Device> shared = std::make_shared<SoftwareDevice>();
    return shared;
}

// What OpenCV itself says when it reads `path`.
std::string openCVMessage(const std::filesystem::path& path) {
    try {
        cv::dnn::readNetFromONNX(path.string());
    } catch (const cv::Exception& e) {
        return e.what();
    }
    return {};
}

std::string errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const MLError& e) {
        return e.localizedDescription();
    }
    return {};
}

std::shared_ptr<PixelBuffer> outputImage(std::int64_t inputWidth, std::int64_t inputHeight) {
    auto image = PixelBuffer::make(device(), std::uint32_t(2 * inputWidth), std::uint32_t(2 * inputHeight));
    image->fill(0, 0, 0, 0);
    return image;
}

std::shared_ptr<PixelBuffer> predictInto(MLModel& model, std::shared_ptr<MLMultiArray> input, std::int64_t width,
                                         std::int64_t height) {
    auto image = outputImage(width, height);
    model.prediction(MLDictionaryFeatureProvider({{"x_1", input}}), {{{"output_image", image}}});
    return image;
}

TEST(MLModel, LoadsAGeneratedNetworkKeepingItsConfigurationAndSignature) {
    MLModelConfiguration configuration;
    configuration.computeUnits = MLComputeUnits::cpuOnly;
    configuration.optimizationHints.specializationStrategy = MLSpecializationStrategy::fastPrediction;
    configuration.modelDisplayName = "超分网络";
    for (const auto& path : {kTolmira2020, kTolmira2023, kQd2020}) {
        const auto model = MLModel::load(path, configuration);
        ASSERT_TRUE(model) << path;
        EXPECT_EQ(model->url(), path);
        EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuOnly);
        EXPECT_EQ(model->configuration().optimizationHints.specializationStrategy,
                  MLSpecializationStrategy::fastPrediction);
        EXPECT_EQ(model->configuration().modelDisplayName, "超分网络");
        EXPECT_EQ(model->inputNames(), std::vector<std::string>{"x_1"});
        EXPECT_EQ(model->outputNames(), std::vector<std::string>{"output_image"});
    }
}

TEST(MLModel, MissingAndCorruptFilesThrowOpenCVsMessage) {
    testsupport::TempDir dir;
    const auto missing = dir / "missing.onnx";
    const auto corrupt = dir / "corrupt.onnx";
    testsupport::writeFile(corrupt, "this is not a protocol buffer \x01\x02\xff");
    const auto truncated = dir / "truncated.onnx";
    testsupport::writeFile(truncated, testsupport::readFile(kQd2020).substr(0, 200));
    for (const auto& path : {missing, corrupt, truncated}) {
        const std::string expected = openCVMessage(path);
        ASSERT_FALSE(expected.empty()) << path;
        EXPECT_EQ(errorOf([&] { MLModel::load(path, {}); }), expected) << path;
    }
}

TEST(MLModel, FlatFeaturesGiveTheModelsFlatColourAtTwiceTheSize) {
    // The premultiplied colour alone, then with the other features mixed in.
    const mltest::Features colourOnly{0.8f, 0.4f, 0.2f};
    const mltest::Features mixed{0.8f, 0.4f, 0.2f, 0.5f, 0.25f, 0.75f, 1.0f, 0.6f};
    struct Case {
        std::filesystem::path path;
        std::int64_t width, height;
        mltest::Features features;
    };
    for (const Case& c : {Case{kTolmira2020, kTolmiraWidth, kTolmiraHeight, colourOnly},
                          Case{kTolmira2020, kTolmiraWidth, kTolmiraHeight, mixed}, Case{kQd2020, 768, 768, mixed}}) {
        auto model = MLModel::load(c.path, {});
        const auto image = predictInto(*model, mltest::flatFeatures(c.height, c.width, c.features), c.width, c.height);
        const auto expected = mltest::expectedFlatPixel(c.path, c.features);
        // Edges included: the sharpening reflects at the border, so a flat input stays flat.
        const auto first = mltest::pixelAt(*image, 0, 0);
        for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(first[channel], expected[channel], 1) << c.path;
        EXPECT_EQ(first[3], 255);
        EXPECT_TRUE(mltest::everyPixelIs(*image, first)) << c.path;
    }
}

TEST(MLModel, StridedAndFloatInputsGiveTheSameImageAsPackedHalves) {
    const std::int64_t h = kTolmiraHeight, w = kTolmiraWidth, paddedWidth = w + 10;
    auto pattern = [](std::int64_t c, std::int64_t y, std::int64_t x) {
        return float((c * 37 + y * 13 + x * 7) % 101) / 100.0f;
    };
    auto model = MLModel::load(kTolmira2020, {});
    const auto packed = predictInto(*model, mltest::halfFeatures(h, w, pattern), w, h);

    // The same halves in rows padded to paddedWidth, as a view of memory the test owns.
    std::vector<std::uint16_t> halves(std::size_t(8 * h * paddedWidth));
    for (std::int64_t c = 0; c < 8; ++c)
        for (std::int64_t y = 0; y < h; ++y)
            for (std::int64_t x = 0; x < w; ++x)
                halves[(c * h + y) * paddedWidth + x] = platform::gpu::floatToHalf(pattern(c, y, x));
    auto strided = std::make_shared<MLMultiArray>(halves.data(), std::vector<std::int64_t>{8, h, w},
                                                  MLMultiArrayDataType::float16,
                                                  std::vector<std::int64_t>{h * paddedWidth, paddedWidth, 1});
    EXPECT_EQ(mltest::pixelBytes(*predictInto(*model, strided, w, h)), mltest::pixelBytes(*packed));

    // The same values as 32-bit floats.
    auto floats = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{8, h, w}, MLMultiArrayDataType::float32);
    auto* f = static_cast<float*>(floats->dataPointer());
    for (std::int64_t c = 0; c < 8; ++c)
        for (std::int64_t y = 0; y < h; ++y)
            for (std::int64_t x = 0; x < w; ++x)
                f[(c * h + y) * w + x] = platform::gpu::halfToFloat(platform::gpu::floatToHalf(pattern(c, y, x)));
    EXPECT_EQ(mltest::pixelBytes(*predictInto(*model, floats, w, h)), mltest::pixelBytes(*packed));
}

TEST(MLModel, OutputsWithoutABackingComeBackAsArraysOfTheSameValues) {
    auto model = MLModel::load(kQd2020, {});
    auto input = mltest::halfFeatures(768, 768, [](std::int64_t c, std::int64_t y, std::int64_t x) {
        return c < 3 ? float((x + y * 3 + c * 50) % 256) / 255.0f : 0.1f;
    });
    const auto image = predictInto(*model, input, 768, 768);
    const auto returned = model->prediction(MLDictionaryFeatureProvider({{"x_1", input}}), {});
    EXPECT_EQ(returned->featureNames(), std::set<std::string>{"output_image"});
    const auto value = returned->featureValue("output_image");
    ASSERT_TRUE(value);
    const auto& array = std::get<std::shared_ptr<MLMultiArray>>(*value);
    EXPECT_EQ(array->shape(), (std::vector<std::int64_t>{1, 3, 1536, 1536}));
    EXPECT_EQ(array->dataType(), MLMultiArrayDataType::float32);
    for (std::int64_t y : {0, 1, 700, 1535})
        for (std::int64_t x : {0, 3, 901, 1535}) {
            const auto pixel = mltest::pixelAt(*image, std::uint32_t(x), std::uint32_t(y));
            for (int rgb = 0; rgb < 3; ++rgb)
                EXPECT_EQ(pixel[2 - rgb], std::lround(array->value({0, rgb, y, x}) * 255.0f)) << x << "," << y;
        }
    EXPECT_FALSE(returned->featureValue("x_1"));
}

TEST(MLModel, RefusesMissingOrMisshapenInputsAndBackingsThatDoNotFit) {
    auto model = MLModel::load(kQd2020, {});
    auto input = mltest::flatFeatures(768, 768, {0.5f});
    auto image = outputImage(768, 768);
    const MLPredictionOptions options{{{"output_image", image}}};

    EXPECT_NE(errorOf([&] { model->prediction(MLDictionaryFeatureProvider({}), options); }).find("x_1"),
              std::string::npos);
    EXPECT_THROW(model->prediction(MLDictionaryFeatureProvider({{"x_1", image}}), options), MLError);
    for (const auto& shape : {std::vector<std::int64_t>{8, 768, 767}, std::vector<std::int64_t>{1, 8, 768, 768},
                              std::vector<std::int64_t>{4, 768, 768}}) {
        auto wrong = std::make_shared<MLMultiArray>(shape, MLMultiArrayDataType::float16);
        EXPECT_THROW(model->prediction(MLDictionaryFeatureProvider({{"x_1", wrong}}), options), MLError);
    }
    EXPECT_TRUE(mltest::everyPixelIs(*image, {0, 0, 0, 0})); // refused before running

    const MLDictionaryFeatureProvider features({{"x_1", input}});
    auto inputSized = PixelBuffer::make(device(), 768, 768);
    EXPECT_NE(errorOf([&] { model->prediction(features, {{{"output_image", inputSized}}}); }).find("768x768"),
              std::string::npos);
    EXPECT_THROW(model->prediction(features, {{{"output_image", nullptr}}}), MLError);
    EXPECT_THROW(model->prediction(features, {{{"image", image}}}), MLError);
    // After all that, the model still predicts.
    model->prediction(features, options);
    EXPECT_FALSE(mltest::everyPixelIs(*image, {0, 0, 0, 0}));
}

TEST(MLDictionaryFeatureProvider, NamesItsValuesAndHasNoneForOtherNames) {
    auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{2}, MLMultiArrayDataType::float32);
    auto image = PixelBuffer::make(device(), 2, 2);
    const MLDictionaryFeatureProvider provider({{"a", array}, {"b", image}});
    EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(std::get<std::shared_ptr<MLMultiArray>>(*provider.featureValue("a")), array);
    EXPECT_EQ(std::get<std::shared_ptr<PixelBuffer>>(*provider.featureValue("b")), image);
    EXPECT_FALSE(provider.featureValue("c"));
}

} // namespace
