#include "kit/loader/character_identifier.hpp"
#include "kit/loader/download_error.hpp"
#include "kit/loader/load_state.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "platform/files/directories.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace character_loader;

namespace {

TEST(VersionGate, ComparesTheSecondPartWithTheKitsMajorVersion) {
    EXPECT_TRUE(isVersionCompatible("name/v1", "1.0.0"));
    EXPECT_FALSE(isVersionCompatible("name/v2", "1.0.0"));
    EXPECT_TRUE(isVersionCompatible("name", "1.0.0"));
    EXPECT_TRUE(isVersionCompatible("", "1.0.0"));
    EXPECT_FALSE(isVersionCompatible("name/1", "1.0.0")) << "dropping the first character leaves nothing";
    EXPECT_FALSE(isVersionCompatible("name/", "1.0.0"));
    EXPECT_TRUE(isVersionCompatible("name/v1/x", "1.0.0")) << "only the second part counts";
    EXPECT_FALSE(isVersionCompatible("name/v12", "1.0.0"));
    EXPECT_TRUE(isVersionCompatible("name/版1", "1.0.0")) << "the first character may take several bytes";
    EXPECT_TRUE(isVersionCompatible("name/v2", "2.3.4"));
}

TEST(SafeIdentifier, RefusesWhatCouldLeaveTheCharactersRoot) {
    for (const char* id : {"name", "name/v1", "a b", "数字人/v1", "name/v1/x", "..name", "name..", ".hidden"})
        EXPECT_TRUE(isSafeCharacterIdentifier(id)) << id;
    for (std::string_view id :
         {std::string_view(""), std::string_view("."), std::string_view(".."), std::string_view("../x"),
          std::string_view("a/.."), std::string_view("a/./b"), std::string_view("/etc"), std::string_view("a\0b", 3)})
        EXPECT_FALSE(isSafeCharacterIdentifier(id)) << id;
}

TEST(CharacterDirectories, AppendTheIdentifierBelowTheirRoots) {
    platform::files::setDocumentsDirectory("/home/me/Documents");
    platform::files::setTemporaryDirectory("/run/user/1/mivokit");
    EXPECT_EQ(characterDirectory("name/v1"), std::filesystem::path("/home/me/Documents/MvCharacters/name/v1"));
    EXPECT_EQ(temporaryDownloadDirectory("name/v1"), std::filesystem::path("/run/user/1/mivokit/name/v1"));
    platform::files::setDocumentsDirectory(std::nullopt);
    platform::files::setTemporaryDirectory(std::nullopt);
}

TEST(LoaderTexts, ReasonsAndErrorDescriptions) {
    EXPECT_EQ(reason(LoadError::fetchCharacterMetaFailed), "获取数字人信息失败");
    EXPECT_EQ(reason(LoadError::downloadAssetsFailed), "下载数字人资源失败");
    EXPECT_EQ(reason(LoadError::extractAssetsFailed), "解压数字人资源失败");

    EXPECT_EQ(DownloadError::fileSizeMismatch(100, 90, "model").errorDescription(),
              "model 文件大小不匹配: 期望 100 字节，实际 90 字节");
    EXPECT_EQ(DownloadError::invalidResponse().errorDescription(), "无效的服务器响应");
    EXPECT_EQ(DownloadError::noFilesFound().errorDescription(), "解压后没有找到任何文件");
    const auto cause = std::make_exception_ptr(std::runtime_error("connection reset"));
    EXPECT_EQ(DownloadError::networkError(cause).errorDescription(), "网络错误: connection reset");
    EXPECT_EQ(DownloadError::extractionFailed(cause).errorDescription(), "解压失败: connection reset");
    EXPECT_EQ(DownloadError::networkError(cause).underlyingError(), cause);
}

TEST(DownloadProgressPercentage, TruncatesTowardZero) {
    auto percent = [](float p) { return DownloadProgress{0, 0, p, "model", "id"}.percentage(); };
    EXPECT_EQ(percent(0.5f), 50);
    EXPECT_EQ(percent(0.999f), 99);
    EXPECT_EQ(percent(1.0f), 100);
    EXPECT_EQ(percent(0.0f), 0);
}

} // namespace
