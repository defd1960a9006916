#include "kit/model/mivo_sdk.hpp"
#include "tests/kit/loader/loader_environment.hpp"
#include "tests/support/python/python_script.hpp"

#include <gmock/gmock.h>

#include <future>
#include <thread>

using namespace MivoKit;

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace loadertest;
using testsupport::HttpsResponse;

namespace {

class LoaderTest : public LoaderEnvironment {};

std::vector<std::string> indexIds(const MvCharacterLoader& loader) {
    std::vector<std::string> ids;
    for (const auto& record : loader.cache().load().value_or(std::vector<MvCharacterLoader::CachedCharacter>{}))
        ids.push_back(record.id());
    return ids;
}

TEST_F(LoaderTest, FirstLoadDownloadsExtractsAndRecordsANestedCharacter) {
    serve("name/v1", meta("name/v1"));
    Recorder recorder;

    const auto character = load("name/v1", recorder);

    ASSERT_TRUE(character.has_value());
    const auto animation = std::to_string(animationArchive().size());
    const auto total = std::to_string(animationArchive().size() + modelArchive().size());
    EXPECT_THAT(recorder.names(),
                ElementsAre("preparing", "downloading(animation " + animation + "/" + total + ")",
                            "downloading(model " + total + "/" + total + ")", "extracting", "completed"));
    EXPECT_TRUE(recorder.allOffTestThread());
    EXPECT_FLOAT_EQ(recorder.progress().back().progress, 1.0f);
    EXPECT_EQ(recorder.progress().back().percentage(), 100);
    EXPECT_EQ(recorder.progress().back().characterId, "name/v1");

    const auto requests = peer_.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].target, "/v1/character/name/v1");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(peer_.requestCount(archivePath("name/v1", "animation")), 2u) << "size request, then download";
    EXPECT_EQ(peer_.requestCount(archivePath("name/v1", "model")), 2u);

    const fs::path directory = charactersRoot() / "name" / "v1";
    EXPECT_TRUE(fs::is_regular_file(directory / "animation" / "idle.json"));
    EXPECT_EQ(fs::file_size(directory / "model" / "point_cloud.ply"), 3000u);
    EXPECT_FALSE(fs::exists(temporary() / "name" / "v1")) << "the download folder is cleared";
    EXPECT_EQ(character->id(), "name/v1");
    EXPECT_EQ(character->version(), "0.1");
    EXPECT_EQ(character->camera(), Mivo::CameraSettings(0.1f, 0.5f, 0.0f, -0.02f, 1.5f));
    EXPECT_EQ(character->assetPaths().pointCloudModelUrl, directory / "model" / "point_cloud.ply");

    for (const char* line : {"fetched character meta name/v1", "正在解压 animation 资源...", "animation 资源解压完成",
                             "正在解压 model 资源...", "model 资源解压完成", "解压完成，找到 3 个文件/目录"})
        EXPECT_TRUE(printed(line)) << line;
    EXPECT_TRUE(printed("fetchCharacterMeta: https://" + peer_.host() + "/v1/character/name/v1"));
    EXPECT_TRUE(printed("数字人缓存已保存: name/v1, url: file://" + directory.string() + "/"));
    EXPECT_THAT(indexIds(loader_), ElementsAre("name/v1"));
}

TEST_F(LoaderTest, CachedCharacterIsServedFromDiskWhileItsStampIsUnchanged) {
    serve("cached", meta("cached"));
    Recorder first;
    ASSERT_TRUE(load("cached", first).has_value());
    const std::size_t before = requestCount();

    Recorder second;
    const auto character = load("cached", second);
    ASSERT_TRUE(character.has_value());
    EXPECT_THAT(second.names(), ElementsAre("preparing", "completed"));
    EXPECT_EQ(requestCount(), before + 1) << "only the description is asked for";
    EXPECT_EQ(character->id(), "cached");

    // The same without a reachable service.
    peer_.route(descriptionPath("cached"), HttpsResponse::withStatus(500, "<html>down</html>"));
    Recorder offline;
    ASSERT_TRUE(load("cached", offline).has_value());
    EXPECT_THAT(offline.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)", "completed"));

    // And with a host that makes no valid URL: no request at all.
    MivoSDK::shared().set("bad host", MivoSDK::Environment::release);
    const std::size_t requests = requestCount();
    Recorder invalid;
    ASSERT_TRUE(load("cached", invalid).has_value());
    EXPECT_THAT(invalid.names(), ElementsAre("preparing", "completed"));
    EXPECT_EQ(requestCount(), requests);
    EXPECT_TRUE(printed("fetchCharacterMeta: https://bad host/v1/character/cached"));
}

TEST_F(LoaderTest, PreloadOfACachedCharacterAsksOnlyForTheDescription) {
    serve("pre", meta("pre"));
    auto first = loader_.preloadCharacter("pre");
    ASSERT_EQ(first.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(first.get());
    const std::size_t before = requestCount();

    auto second = loader_.preloadCharacter("pre");
    ASSERT_EQ(second.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(second.get());
    EXPECT_EQ(requestCount(), before + 1);
}

TEST_F(LoaderTest, UncachedCharacterWithoutADescriptionFails) {
    peer_.route(descriptionPath("ghost"), HttpsResponse::withStatus(404, "{\"error\": \"no such character\"}"));
    Recorder recorder;
    EXPECT_FALSE(load("ghost", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)"));
    const auto lines = printedLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.starts_with("faied to fetch character meta ghost, error: ");
    }));

    MivoSDK::shared().set("bad host", MivoSDK::Environment::release);
    Recorder invalid;
    EXPECT_FALSE(load("ghost", invalid).has_value());
    EXPECT_THAT(invalid.names(), ElementsAre("preparing"));
}

TEST_F(LoaderTest, DescriptionIsJudgedByItsBodyNotItsStatus) {
    serve("teapot", meta("teapot"));
    peer_.route(descriptionPath("teapot"), HttpsResponse::withStatus(404, meta("teapot").encode().dump()));
    Recorder recorder;
    EXPECT_TRUE(load("teapot", recorder).has_value());

    // An endless description is cut off at 16 MiB and counts as no description.
    const std::string endlessBody(MvCharacterLoader::maxDescriptionBytes + 1, ' ');
    peer_.route(descriptionPath("endless"), HttpsResponse::ok(endlessBody));
    Recorder endless;
    EXPECT_FALSE(load("endless", endless).has_value());
    EXPECT_THAT(endless.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)"));
    EXPECT_TRUE(printed("faied to fetch character meta endless, error: The response is larger than allowed. "
                        "(16777216 bytes at most)"));
}

TEST_F(LoaderTest, RecordWhoseResourcePathIsNoFileURLIsLookedUpUnderItsId) {
    // An index whose record names its directory by a relative path, and a directory of that name
    // in the working directory that must not be mistaken for it.
    testsupport::TempDir workingDirectory;
    struct WorkingDirectory {
        fs::path previous = fs::current_path();
        ~WorkingDirectory() { fs::current_path(previous); }
    } restore;
    fs::current_path(workingDirectory.path());
    fs::create_directories("relative/dir");
    serve("rel", meta("rel"));
    ASSERT_TRUE(loader_.cache().save(meta("rel"), charactersRoot() / "rel").has_value());
    testsupport::runPython(R"(
import plistlib, sys
with open(sys.argv[1], 'rb') as f:
    records = plistlib.load(f)
records[0]['resourcePath'] = 'relative/dir'
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(records, f, fmt=plistlib.FMT_BINARY)
)",
                           {(documents() / "MvCharacterCache.plist").string()});

    EXPECT_FALSE(loader_.findCachedCharacter("rel").second) << "nothing under the characters root yet";
    fs::create_directories(charactersRoot() / "rel");
    const auto [record, exists] = loader_.findCachedCharacter("rel");
    EXPECT_TRUE(record.has_value());
    EXPECT_TRUE(exists);
    Recorder recorder;
    EXPECT_TRUE(load("rel", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", "completed"));
}

TEST_F(LoaderTest, VersionGateStopsALoadBeforeAnyRequest) {
    Recorder recorder;
    EXPECT_FALSE(load("name/v2", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", "versionIncompatibility"));

    auto preload = loader_.preloadCharacter("name/v2");
    ASSERT_EQ(preload.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(preload.get());
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(LoaderTest, ChangedStampReplacesTheCharacter) {
    serve("changing", meta("changing", "stamp-1"));
    Recorder first;
    ASSERT_TRUE(load("changing", first).has_value());
    testsupport::writeFile(charactersRoot() / "changing" / "stale.txt", "left from the old version");

    serve("changing", meta("changing", "stamp-2"));
    capture_.clear();
    Recorder second;
    ASSERT_TRUE(load("changing", second).has_value());

    EXPECT_THAT(second.names(), ElementsAre("preparing", ::testing::StartsWith("downloading(animation"),
                                            ::testing::StartsWith("downloading(model"), "extracting", "completed"));
    const auto lines = printedLines();
    const auto cleared = std::find(lines.begin(), lines.end(), "数字人缓存已清除: changing");
    const auto deleted = std::find(lines.begin(), lines.end(), "成功删除数字人资源: changing");
    ASSERT_NE(cleared, lines.end());
    ASSERT_NE(deleted, lines.end());
    EXPECT_LT(cleared, deleted);
    EXPECT_FALSE(fs::exists(charactersRoot() / "changing" / "stale.txt"));
    const auto records = loader_.cache().load();
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].updatedAt(), "stamp-2");
}

TEST_F(LoaderTest, DescriptionWhoseTextHoldsANulIsNoDescription) {
    // Such a stamp could never be recorded in the index: it must not replace the cached copy, nor
    // download a character that no load would ever find.
    serve("kept", meta("kept", "stamp-1"));
    Recorder first;
    ASSERT_TRUE(load("kept", first).has_value());

    serve("kept", meta("kept", std::string("stamp-2\0", 8)));
    const std::size_t before = requestCount();
    Recorder second;
    const auto character = load("kept", second);
    ASSERT_TRUE(character.has_value());
    EXPECT_THAT(second.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)", "completed"));
    EXPECT_EQ(requestCount(), before + 1) << "only the description is asked for";
    EXPECT_TRUE(fs::is_directory(charactersRoot() / "kept"));
    EXPECT_EQ(indexIds(loader_), std::vector<std::string>{"kept"});

    serve("fresh", meta("fresh", std::string("stamp\0", 6)));
    Recorder uncached;
    EXPECT_FALSE(load("fresh", uncached).has_value());
    EXPECT_THAT(uncached.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)"));
    EXPECT_FALSE(fs::exists(charactersRoot() / "fresh"));
}

TEST_F(LoaderTest, RecordWhoseDirectoryWasRemovedCountsAsNotCached) {
    serve("gone", meta("gone"));
    Recorder first;
    ASSERT_TRUE(load("gone", first).has_value());
    fs::remove_all(charactersRoot() / "gone");

    Recorder again;
    ASSERT_TRUE(load("gone", again).has_value());
    EXPECT_EQ(again.names().size(), 5u) << "downloaded again";
    EXPECT_THAT(indexIds(loader_), ElementsAre("gone"));

    fs::remove_all(charactersRoot() / "gone");
    peer_.route(descriptionPath("gone"), HttpsResponse::withStatus(500, "down"));
    Recorder offline;
    EXPECT_FALSE(load("gone", offline).has_value());
    EXPECT_THAT(offline.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)"));
}

TEST_F(LoaderTest, DescriptionWithAnotherIdIsStoredUnderThatId) {
    serve("asked", meta("given"));
    Recorder recorder;
    const auto character = load("asked", recorder);
    ASSERT_TRUE(character.has_value());
    EXPECT_EQ(character->id(), "given");
    EXPECT_TRUE(fs::is_directory(charactersRoot() / "given"));
    EXPECT_FALSE(fs::exists(charactersRoot() / "asked"));
    EXPECT_THAT(indexIds(loader_), ElementsAre("given"));

    const std::size_t before = requestCount();
    Recorder again;
    ASSERT_TRUE(load("asked", again).has_value());
    EXPECT_GT(requestCount(), before + 1) << "never found in the cache under the asked id";
}

TEST_F(LoaderTest, FailedIndexWriteCompletesButReturnsNoCharacter) {
    serve("unsaved", meta("unsaved"));
    fs::create_directories(documents() / "MvCharacterCache.plist" / "blocker");
    Recorder recorder;
    EXPECT_FALSE(load("unsaved", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", ::testing::StartsWith("downloading(animation"),
                                              ::testing::StartsWith("downloading(model"), "extracting", "completed"));
    const auto lines = printedLines();
    EXPECT_TRUE(
        std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("保存缓存失败: "); }));
    EXPECT_TRUE(fs::is_directory(charactersRoot() / "unsaved")) << "the extracted character stays";
}

TEST_F(LoaderTest, SizeRequestFailureEndsTheLoadBeforeAnyDownload) {
    auto description = meta("unsized");
    serve("unsized", description);
    peer_.route(archivePath("unsized", "model"), HttpsResponse::withStatus(404, "missing"));
    Recorder recorder;
    EXPECT_FALSE(load("unsized", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", "failed(downloadAssetsFailed)"));
    EXPECT_TRUE(printed("error 无效的服务器响应"));
    EXPECT_EQ(peer_.requestCount(archivePath("unsized", "animation")), 1u) << "sized, never downloaded";
    EXPECT_FALSE(fs::exists(charactersRoot() / "unsized"));
    EXPECT_THAT(indexIds(loader_), IsEmpty());
}

// Keeps the loader's own 3 attempts 2 seconds apart.
TEST_F(LoaderTest, ArchiveThatNeverMatchesItsSizeFailsAfterThreeAttempts) {
    serve("mismatch", meta("mismatch"));
    std::atomic<int> modelRequests{0};
    peer_.route(archivePath("mismatch", "model"), [&](const testsupport::HttpsRequest&) {
        // The size request hears 3000 bytes; every download gets 2000.
        return HttpsResponse::ok(std::string(modelRequests++ == 0 ? 3000 : 2000, 'm'));
    });
    Recorder recorder;
    EXPECT_FALSE(load("mismatch", recorder).has_value());

    EXPECT_THAT(recorder.names(), ElementsAre("preparing", ::testing::StartsWith("downloading(animation"),
                                              "failed(downloadAssetsFailed)"));
    const std::string mismatch = "model 文件大小不匹配: 期望 3000 字节，实际 2000 字节";
    for (int attempt = 1; attempt <= 3; ++attempt)
        EXPECT_TRUE(printed("下载 model 失败，尝试次数: " + std::to_string(attempt) + "/3, 错误: " + mismatch))
            << attempt;
    EXPECT_TRUE(printed("error " + mismatch));
    EXPECT_EQ(modelRequests.load(), 4);
    EXPECT_FALSE(fs::exists(charactersRoot() / "mismatch"));
    EXPECT_TRUE(fs::exists(temporary() / "mismatch" / "animation.zip")) << "kept until the next download";
}

TEST_F(LoaderTest, CorruptArchiveIsReportedTwiceAndLeavesNothingBehind) {
    serve("corrupt", meta("corrupt"));
    peer_.route(archivePath("corrupt", "model"), HttpsResponse::ok("PK\x03\x04 this is no archive"));
    Recorder recorder;
    EXPECT_FALSE(load("corrupt", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", ::testing::StartsWith("downloading(animation"),
                                              ::testing::StartsWith("downloading(model"), "extracting",
                                              "failed(extractAssetsFailed)", "failed(downloadAssetsFailed)"));
    EXPECT_TRUE(printed("error Failed to unzip file.") || printed("error File not found."));
    EXPECT_FALSE(fs::exists(charactersRoot() / "corrupt"));
    EXPECT_FALSE(fs::exists(temporary() / "corrupt"));
    EXPECT_THAT(indexIds(loader_), IsEmpty());
}

TEST_F(LoaderTest, CharacterDirectoryThatCannotBeCreatedIsADownloadFailure) {
    serve("blocked/v1", meta("blocked/v1"));
    testsupport::writeFile(charactersRoot() / "blocked", "a file where a directory belongs");
    Recorder recorder;
    EXPECT_FALSE(load("blocked/v1", recorder).has_value());
    EXPECT_THAT(recorder.names(),
                ElementsAre("preparing", ::testing::StartsWith("downloading(animation"),
                            ::testing::StartsWith("downloading(model"), "extracting", "failed(downloadAssetsFailed)"));
    EXPECT_TRUE(fs::exists(temporary() / "blocked" / "v1" / "model.zip")) << "nothing is cleaned up";
}

TEST_F(LoaderTest, UnsafeIdentifiersNeverBecomePaths) {
    fs::create_directories(charactersRoot() / "keep");
    for (const std::string& id :
         std::vector<std::string>{"", "..", "../outside", "/etc", "a/../../b", "a/./b", std::string("a\0b", 3)}) {
        Recorder recorder;
        EXPECT_FALSE(load(id, recorder).has_value()) << id;
        EXPECT_THAT(recorder.names(), ElementsAre("preparing")) << id;

        auto removal = loader_.deleteCharacterAssets(id);
        ASSERT_EQ(removal.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_FALSE(removal.get()) << id;
    }
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_TRUE(printed("数字人标识无效，已拒绝: .."));
    EXPECT_TRUE(fs::is_directory(charactersRoot() / "keep"));

    // A description may not name an unsafe directory either.
    auto description = meta("../escape");
    peer_.route(descriptionPath("safe"), HttpsResponse::ok(description.encode().dump()));
    Recorder recorder;
    EXPECT_FALSE(load("safe", recorder).has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", "failed(fetchCharacterMetaFailed)"));
    EXPECT_FALSE(fs::exists(documents() / "escape"));
}

TEST_F(LoaderTest, DeletingRemovesTheDirectoryAndTheRecord) {
    serve("del/v1", meta("del/v1"));
    Recorder recorder;
    ASSERT_TRUE(load("del/v1", recorder).has_value());
    capture_.clear();

    auto removal = loader_.deleteCharacterAssets("del/v1");
    ASSERT_EQ(removal.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(removal.get());
    EXPECT_FALSE(fs::exists(charactersRoot() / "del" / "v1"));
    EXPECT_THAT(printedLines(), ElementsAre("数字人缓存已清除: del/v1", "成功删除数字人资源: del/v1"));
    EXPECT_THAT(indexIds(loader_), IsEmpty());

    // A record without a directory stays.
    serve("kept", meta("kept"));
    Recorder second;
    ASSERT_TRUE(load("kept", second).has_value());
    fs::remove_all(charactersRoot() / "kept");
    auto missing = loader_.deleteCharacterAssets("kept");
    ASSERT_EQ(missing.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(missing.get());
    EXPECT_TRUE(printed("数字人资源目录不存在: " + (charactersRoot() / "kept").string()));
    EXPECT_THAT(indexIds(loader_), ElementsAre("kept"));
}

TEST_F(LoaderTest, DeleteAllRemovesEveryRecordedCharacterAndSkipsUnsafeRecords) {
    for (const std::string id : {"one", "two/v1", "three"}) {
        serve(id, meta(id));
        Recorder recorder;
        ASSERT_TRUE(load(id, recorder).has_value()) << id;
    }
    fs::create_directories(charactersRoot() / "unrecorded");
    // A record an older kit could have written for an identifier that names the root.
    ASSERT_TRUE(loader_.cache().save(meta(".."), charactersRoot()).has_value());

    loader_.deleteAllCharacterAssets();
    for (int i = 0; i < 500 && indexIds(loader_) != std::vector<std::string>{".."}; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    EXPECT_THAT(indexIds(loader_), ElementsAre(".."));
    for (const char* id : {"one", "two/v1", "three"}) EXPECT_FALSE(fs::exists(charactersRoot() / id)) << id;
    EXPECT_TRUE(fs::is_directory(charactersRoot() / "unrecorded"));
    EXPECT_TRUE(fs::is_directory(charactersRoot()));
}

TEST_F(LoaderTest, DeleteAllWithoutAnIndexDoesNothing) {
    fs::create_directories(charactersRoot() / "unrecorded");
    loader_.deleteAllCharacterAssets();
    testsupport::writeFile(documents() / "MvCharacterCache.plist", "not a property list");
    loader_.deleteAllCharacterAssets();
    EXPECT_TRUE(fs::is_directory(charactersRoot() / "unrecorded"));
    EXPECT_TRUE(printed("加载缓存失败: property list: not a binary or XML property list"));
}

TEST_F(LoaderTest, StopTokenCancelsALoadDuringItsDownload) {
    serve("slow", meta("slow"));
    std::atomic<int> animationRequests{0};
    peer_.route(archivePath("slow", "animation"), [&](const testsupport::HttpsRequest&) {
        HttpsResponse r = HttpsResponse::ok(animationArchive());
        if (animationRequests++ > 0) {
            r.chunkSize = 16;
            r.chunkDelay = std::chrono::seconds(5);
        }
        return r;
    });
    std::stop_source stop;
    Recorder recorder;
    auto future = loader_.loadCharacter("slow", recorder.handler(), stop.get_token());
    while (animationRequests.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop.request_stop();

    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(future.get().has_value());
    EXPECT_THAT(recorder.names(), ElementsAre("preparing", "failed(downloadAssetsFailed)"));
    EXPECT_TRUE(printed("error The task was cancelled."));
}

} // namespace
