// The super-resolution networks: what the factory makes, loading (and failing to load) their
// models, and predicting into the renderer's pixel buffers with the generated stand-in models.

#include "kit/model/sr_network.hpp"
#include "kit/render/sr/sr_networks.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"
#include "tests/platform/ml/ml_test_support.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

using namespace MivoKit;

using namespace platform::ml;
using Net = SRNetworkFactory::NetworkType;

namespace {

std::shared_ptr<platform::gpu::Device> device() {
    static const std::shared_ptr<platform::gpu::Device> shared = std::make_shared<platform::gpu::SoftwareDevice>();
    return shared;
}

// Points the kit's resources at `directory` for the scope's lifetime.
struct ResourceDirectory {
    explicit ResourceDirectory(const std::filesystem::path& directory) {
        platform::files::setResourceDirectory(directory);
    }
    ~ResourceDirectory() { platform::files::setResourceDirectory(std::nullopt); }
};

// A network's output image, filled with a colour no model here produces (alpha 0.5).
std::shared_ptr<PixelBuffer> outputFor(const SRNetworkProtocol& network) {
    auto image =
        PixelBuffer::make(device(), std::uint32_t(2 * network.getWidth()), std::uint32_t(2 * network.getHeight()));
    image->fill(0.1f, 0.2f, 0.3f, 0.5f);
    return image;
}

std::shared_ptr<MLMultiArray> inputFor(const SRNetworkProtocol& network) {
    auto pattern = [](std::int64_t c, std::int64_t y, std::int64_t x) {
        return float((c * 29 + y * 5 + x * 3) % 64) / 63.0f;
    };
    return mltest::halfFeatures(network.getHeight(), network.getWidth(), pattern);
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(SRNetworkFactory, MakesAFreshNetworkOfEachKindWithTheTableSizeAndNoModel) {
    const auto t2020 = SRNetworkFactory::createNetwork(Net::tolmira2020);
    const auto t2023 = SRNetworkFactory::createNetwork(Net::tolmira2023);
    const auto qd = SRNetworkFactory::createNetwork(Net::qd2020);
    EXPECT_TRUE(std::dynamic_pointer_cast<SRNetworkTolmira2020>(t2020));
    EXPECT_TRUE(std::dynamic_pointer_cast<SRNetworkTolmira2023>(t2023));
    EXPECT_TRUE(std::dynamic_pointer_cast<SRNetworkQd2020>(qd));
    for (const auto& tolmira : {t2020, t2023}) {
        EXPECT_EQ(tolmira->getWidth(), 690);
        EXPECT_EQ(tolmira->getHeight(), 798);
        EXPECT_EQ(bits(tolmira->getAspectRatio()), bits(0.86466163f));
    }
    EXPECT_EQ(qd->getWidth(), 768);
    EXPECT_EQ(qd->getHeight(), 768);
    EXPECT_EQ(bits(qd->getAspectRatio()), bits(1.0f));

    const auto again = SRNetworkFactory::createNetwork(Net::tolmira2020);
    EXPECT_NE(again, t2020);
    for (const auto& network : {t2020, t2023, qd, again}) EXPECT_FALSE(network->canPredict());

    EXPECT_EQ(fromRaw<Net>("tolmira2023"), Net::tolmira2023);
    EXPECT_FALSE(fromRaw<Net>("Tolmira2020"));
    EXPECT_FALSE(fromRaw<Net>(""));
}

TEST(SRNetwork, WithoutAModelAPredictionReturnsAtOnceLeavingTheImageUntouched) {
    const auto network = SRNetworkFactory::createNetwork(Net::qd2020);
    const auto image = outputFor(*network);
    const auto before = mltest::pixelBytes(*image);
    platform::log::Capture capture;
    EXPECT_NO_THROW(network->prediction(*inputFor(*network), *image));
    EXPECT_EQ(mltest::pixelBytes(*image), before);
    // The capture sees the whole process: only the network's own lines count.
    for (const auto& line : capture.printed()) EXPECT_EQ(line.find("SR"), std::string::npos) << line;
    for (const auto& entry : capture.entries()) EXPECT_EQ(entry.message.find("SR"), std::string::npos) << entry.message;
}

TEST(SRNetwork, EveryLoadPrintsSRModuleInitAndEnablesPredictions) {
    const auto network = SRNetworkFactory::createNetwork(Net::tolmira2023);
    platform::log::Capture capture;
    network->loadModel();
    EXPECT_EQ(capture.printed(), std::vector<std::string>{"SRModule init"});
    EXPECT_TRUE(network->canPredict());
    network->loadModel();
    EXPECT_EQ(capture.printed(), (std::vector<std::string>{"SRModule init", "SRModule init"}));
    EXPECT_TRUE(network->canPredict());
}

TEST(SRNetwork, PredictionsFillTheImageAndTheTwoTolmiraModelsDiffer) {
    std::vector<std::vector<std::byte>> images;
    for (Net type : {Net::tolmira2020, Net::tolmira2023, Net::qd2020}) {
        const auto network = SRNetworkFactory::createNetwork(type);
        network->loadModel();
        const auto image = outputFor(*network);
        network->prediction(*inputFor(*network), *image);
        // Every pixel written: the model's alpha is 1 where the fill's was 0.5.
        for (std::uint32_t y = 0; y < image->height(); y += 97)
            for (std::uint32_t x = 0; x < image->width(); x += 89) ASSERT_EQ(mltest::pixelAt(*image, x, y)[3], 255);
        EXPECT_EQ(mltest::pixelAt(*image, image->width() - 1, image->height() - 1)[3], 255);
        images.push_back(mltest::pixelBytes(*image));
    }
    ASSERT_EQ(images[0].size(), images[1].size());
    EXPECT_NE(images[0], images[1]);
}

TEST(SRNetwork, AFailedPredictionIsDroppedQuietly) {
    const auto network = SRNetworkFactory::createNetwork(Net::tolmira2020);
    network->loadModel();
    auto inputSized = PixelBuffer::make(device(), 690, 798);
    inputSized->fill(0.1f, 0.2f, 0.3f, 0.5f);
    const auto before = mltest::pixelBytes(*inputSized);
    EXPECT_NO_THROW(network->prediction(*inputFor(*network), *inputSized));
    EXPECT_EQ(mltest::pixelBytes(*inputSized), before);
    EXPECT_TRUE(network->canPredict());
}

TEST(SRNetwork, AModelThatFailsToLoadLeavesTheNetworkWithoutOne) {
    const auto network = SRNetworkFactory::createNetwork(Net::tolmira2020);
    network->loadModel();
    ASSERT_TRUE(network->canPredict());

    testsupport::TempDir dir;
    testsupport::writeFile(dir / "sr_model_t_2020.onnx", "not a model");
    ResourceDirectory resources(dir.path());
    platform::log::Capture capture;
    network->loadModel();
    EXPECT_FALSE(network->canPredict());
    EXPECT_EQ(capture.printed(), std::vector<std::string>{"SRModule init"});
    const auto image = outputFor(*network);
    const auto before = mltest::pixelBytes(*image);
    network->prediction(*inputFor(*network), *image);
    EXPECT_EQ(mltest::pixelBytes(*image), before);
}

TEST(SRModel, WrappersLoadTheirResourceAndProvideX1Only) {
    MLModelConfiguration configuration;
    configuration.modelDisplayName = "wrapper";
    sr_model_qd_2020 wrapper(configuration);
    EXPECT_EQ(wrapper.model->url(), sr_model_qd_2020::modelURL());
    EXPECT_EQ(sr_model_qd_2020::modelURL().filename(), "sr_model_qd_2020.onnx");
    EXPECT_EQ(sr_model_t_2023::modelURL().filename(), "sr_model_t_2023.onnx");
    EXPECT_EQ(wrapper.model->configuration().modelDisplayName, "wrapper");

    const auto array = mltest::flatFeatures(768, 768, {0.5f, 0.5f, 0.5f});
    const sr_model_qd_2020Input input(array);
    EXPECT_EQ(input.featureNames(), std::set<std::string>{"x_1"});
    EXPECT_EQ(std::get<std::shared_ptr<MLMultiArray>>(*input.featureValue("x_1")), array);
    EXPECT_FALSE(input.featureValue("x_2"));

    auto image = PixelBuffer::make(device(), 1536, 1536);
    const sr_model_qd_2020Output output = wrapper.prediction(input, {{{"output_image", image}}});
    EXPECT_TRUE(output.featureNames().empty()); // the image went into the backing
    const sr_model_qd_2020Output returned = wrapper.prediction(input, {});
    EXPECT_EQ(returned.featureNames(), std::set<std::string>{"output_image"});
    EXPECT_TRUE(returned.featureValue("output_image"));
}

TEST(SRModelDeathTest, AMissingModelResourceStopsTheProgram) {
    testsupport::TempDir dir;
    ResourceDirectory resources(dir.path());
    EXPECT_DEATH(sr_model_t_2020::modelURL(), "sr_model_t_2020.onnx");
}

} // namespace
