#include "kit/model/flame_version.hpp"
#include "kit/model/mivo.hpp"
#include "kit/model/sr_network.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <unordered_set>

using namespace MivoKit;

using Mivo::Error;
using ErrorType = Mivo::Error::ErrorType;

TEST(MivoError, CodesNamesAndReasonTextsFollowTheTable) {
    const std::vector<std::tuple<ErrorType, int, std::string, std::string>> rows = {
        {ErrorType::sdkNotVerified, 1001, "sdkNotVerified", "SDK未鉴权成功"},
        {ErrorType::characterIdWrong, 1002, "characterIdWrong", "数字人ID有问题"},
        {ErrorType::characterAssetsMissing, 1003, "characterAssetsMissing", "数字人资源有缺失"},
        {ErrorType::characterCameraSettingsWrong, 1004, "characterCameraSettingsWrong", "数字人相机设置有问题"},
        {ErrorType::serviceError, 1005, "serviceError", "服务器遇到错误"},
        {ErrorType::activeAudioSessionFailed, 1006, "activeAudioSessionFailed", "激活AudioSession失败"},
        {ErrorType::startAudioEngineFailed, 1007, "startAudioEngineFailed", "启动AudioEngine失败"},
        {ErrorType::sendDataWrong, 1008, "sendDataWrong", "发送的数据有问题"},
        {ErrorType::requestTimeout, 1009, "requestTimeout", "请求超时"},
    };
    for (const auto& [type, code, name, reason] : rows) {
        Error e(type);
        EXPECT_EQ(Mivo::rawValue(type), code);
        EXPECT_EQ(e.id(), name);
        EXPECT_EQ(e.reason(), reason);
        EXPECT_EQ(Mivo::errorTypeFromRawValue(code), type);
    }
    EXPECT_FALSE(Mivo::errorTypeFromRawValue(1000));
    EXPECT_FALSE(Mivo::errorTypeFromRawValue(1010));
    EXPECT_FALSE(Mivo::errorTypeFromRawValue(-1));
    EXPECT_EQ(std::hash<ErrorType>{}(ErrorType::requestTimeout), std::hash<int>{}(1009));
}

TEST(RawValues, TextEnumerationsMatchExactly) {
    EXPECT_EQ(fromRaw<FlameVersion>("2023"), FlameVersion::V_2023);
    EXPECT_EQ(fromRaw<FlameVersion>("2020"), FlameVersion::V_2020);
    EXPECT_EQ(fromRaw<FlameVersion>("mix"), FlameVersion::Mix);
    EXPECT_FALSE(fromRaw<FlameVersion>("Mix"));
    EXPECT_FALSE(fromRaw<FlameVersion>(""));
    EXPECT_EQ(toRaw(FlameVersion::Mix), "mix");
    EXPECT_EQ(std::hash<FlameVersion>{}(FlameVersion::V_2020), std::hash<std::string_view>{}("2020"));

    EXPECT_EQ(fromRaw<RenderMode>("SR"), RenderMode::SR);
    EXPECT_EQ(fromRaw<RenderMode>("Default"), RenderMode::Default);
    EXPECT_FALSE(fromRaw<RenderMode>("default"));
    using Net = SRNetworkFactory::NetworkType;
    EXPECT_EQ(fromRaw<Net>("tolmira2020"), Net::tolmira2020);
    EXPECT_EQ(fromRaw<Net>("tolmira2023"), Net::tolmira2023);
    EXPECT_EQ(fromRaw<Net>("qd2020"), Net::qd2020);
    EXPECT_FALSE(fromRaw<Net>("QD2020"));
}

TEST(SRNetworkFactory, NetworkSizesAndAspectRatiosAreTheTableConstants) {
    using Net = SRNetworkFactory::NetworkType;
    for (Net type : {Net::tolmira2020, Net::tolmira2023}) {
        const auto size = SRNetworkFactory::networkSize(type);
        EXPECT_EQ(size.width, 690);
        EXPECT_EQ(size.height, 798);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(size.aspectRatio), std::bit_cast<std::uint32_t>(0.86466163f));
    }
    const auto qd = SRNetworkFactory::networkSize(Net::qd2020);
    EXPECT_EQ(qd.width, 768);
    EXPECT_EQ(qd.height, 768);
    EXPECT_EQ(qd.aspectRatio, 1.0f);
}
