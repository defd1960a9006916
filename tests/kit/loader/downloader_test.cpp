#include "kit/loader/cancellation.hpp"
#include "platform/net/http_task.hpp"
#include "tests/kit/loader/loader_environment.hpp"

#include <gmock/gmock.h>

#include <limits>
#include <thread>

using namespace MivoKit;

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using namespace character_loader;
using namespace loadertest;
using testsupport::HttpsResponse;

namespace {

class DownloaderTest : public LoaderEnvironment {
protected:
    // The loader's attempt count with a short wait, so retries are quick.
    Downloader quick{3, 0.01};

    HttpsResponse withLength(std::string body, std::optional<std::string> contentLength) {
        HttpsResponse r = HttpsResponse::ok(std::move(body));
        r.contentLength = std::move(contentLength);
        return r;
    }

    template <class Call>
    std::optional<DownloadErrorCode> downloadErrorOf(Call call) {
        try {
            call();
        } catch (const DownloadError& e) {
            return e.code();
        } catch (...) {
        }
        return std::nullopt;
    }

    std::int64_t contentLength(const std::string& path) { return quick.fetchContentLength(peer_.url(path)); }
};

TEST(ContentLength, ParsesSignedDecimalNumbersOnly) {
    EXPECT_EQ(parseContentLength("0"), 0);
    EXPECT_EQ(parseContentLength("42"), 42);
    EXPECT_EQ(parseContentLength("+42"), 42);
    EXPECT_EQ(parseContentLength("-5"), -5);
    EXPECT_EQ(parseContentLength("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parseContentLength("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    for (const char* bad : {"", "+", "-", "4x2", " 42", "42 ", "++4", "0x10", "9223372036854775808",
                            "-9223372036854775809", "99999999999999999999"})
        EXPECT_EQ(parseContentLength(bad), std::nullopt) << bad;
}

TEST_F(DownloaderTest, SizeRequestReadsTheAnnouncedLength) {
    peer_.route("/exact", HttpsResponse::ok(std::string(1234, 'e')));
    peer_.route("/plus", withLength(std::string(42, 'p'), "+42"));
    EXPECT_EQ(contentLength("/exact"), 1234);
    EXPECT_EQ(contentLength("/plus"), 42);

    // Announced sizes need not match what a size request would deliver: only the header counts.
    HttpsResponse truncated = withLength(std::string(100, 't'), "5000");
    truncated.truncateBodyAt = 10;
    peer_.route("/truncated", truncated);
    EXPECT_EQ(contentLength("/truncated"), 5000);
}

TEST_F(DownloaderTest, UnusableSizeAnswersAreInvalidResponses) {
    peer_.route("/negative", withLength("", "-5"));
    peer_.route("/letters", withLength("", "4x2"));
    peer_.route("/empty", withLength("", ""));
    peer_.route("/huge", withLength("", "99999999999999999999"));
    HttpsResponse none = HttpsResponse::ok("body ends with the connection");
    none.omitContentLength = true;
    peer_.route("/none", none);
    peer_.route("/error-page", HttpsResponse::withStatus(500, "<html>server error</html>"));
    for (const char* path : {"/negative", "/letters", "/empty", "/huge", "/none", "/error-page", "/missing"})
        EXPECT_EQ(downloadErrorOf([&] { contentLength(path); }), DownloadErrorCode::invalidResponse) << path;
}

TEST_F(DownloaderTest, SizeRequestTransportErrorsPassThroughUnchanged) {
    EXPECT_THROW(quick.fetchContentLength("https://127.0.0.1:1/archive.zip"), platform::net::URLError);
}

TEST_F(DownloaderTest, ExpectedSizesCoverTheArchivesTheDescriptionNames) {
    peer_.route(archivePath("c", "animation"), HttpsResponse::ok(std::string(10, 'a')));
    peer_.route(archivePath("c", "model"), HttpsResponse::ok(std::string(20, 'm')));
    EXPECT_EQ(quick.fetchExpectedSizes(meta("c")), (ExpectedSizes{{"animation", 10}, {"model", 20}}));
    EXPECT_EQ(quick.fetchExpectedSizes(meta("c", "s", true, false)), (ExpectedSizes{{"animation", 10}}));

    const std::size_t before = requestCount();
    EXPECT_TRUE(quick.fetchExpectedSizes(meta("c", "s", false, false)).empty());
    auto invalid = meta("c", "s", false, false);
    invalid.assetGroups[0].assets.push_back({"x", "x", "ASSET_TYPE_COMPRESS_MODEL", "not a url", "x.zip", "s"});
    EXPECT_TRUE(quick.fetchExpectedSizes(invalid).empty());
    EXPECT_EQ(requestCount(), before);
}

TEST_F(DownloaderTest, SizesWhoseSumOverflowsAreRefused) {
    peer_.route(archivePath("o", "animation"), withLength("", "9223372036854775807"));
    peer_.route(archivePath("o", "model"), withLength("", "1"));
    EXPECT_EQ(downloadErrorOf([&] { quick.fetchExpectedSizes(meta("o")); }), DownloadErrorCode::invalidResponse);
    EXPECT_EQ(
        downloadErrorOf([&] {
            quick.downloadFiles(meta("o"), {{"animation", std::numeric_limits<std::int64_t>::max()}, {"model", 1}}, {});
        }),
        DownloadErrorCode::invalidResponse);
}

TEST_F(DownloaderTest, DownloadsBothArchivesWithProgressAfterEach) {
    peer_.route(archivePath("p", "animation"), HttpsResponse::ok(std::string(100, 'a')));
    peer_.route(archivePath("p", "model"), HttpsResponse::ok(std::string(300, 'm')));
    testsupport::writeFile(temporary() / "p" / "leftover.part", "from an earlier attempt");
    Recorder recorder;

    const auto archives = quick.downloadFiles(meta("p"), {{"animation", 100}, {"model", 300}}, recorder.handler());

    ASSERT_EQ(archives.size(), 2u);
    EXPECT_EQ(archives[0].file, temporary() / "p" / "animation.zip");
    EXPECT_EQ(archives[0].resourceType, "animation");
    EXPECT_EQ(archives[1].file, temporary() / "p" / "model.zip");
    EXPECT_EQ(fs::file_size(archives[1].file), 300u);
    EXPECT_FALSE(fs::exists(temporary() / "p" / "leftover.part")) << "the folder is emptied first";
    EXPECT_THAT(recorder.names(), ElementsAre("downloading(animation 100/400)", "downloading(model 400/400)"));
    EXPECT_FLOAT_EQ(recorder.progress()[0].progress, 0.25f);
    EXPECT_EQ(recorder.progress()[0].percentage(), 25);
    EXPECT_FLOAT_EQ(recorder.progress()[1].progress, 1.0f);
    EXPECT_EQ(recorder.progress()[1].characterId, "p");
}

TEST_F(DownloaderTest, OnlyTheAnimationArchive) {
    peer_.route(archivePath("a", "animation"), HttpsResponse::ok(std::string(64, 'a')));
    Recorder recorder;
    const auto archives = quick.downloadFiles(meta("a", "s", true, false), {{"animation", 64}}, recorder.handler());
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_THAT(recorder.names(), ElementsAre("downloading(animation 64/64)"));
    EXPECT_FLOAT_EQ(recorder.progress()[0].progress, 1.0f);
}

TEST_F(DownloaderTest, EmptyArchivesReportZeroProgress) {
    peer_.route(archivePath("z", "animation"), HttpsResponse::ok(""));
    peer_.route(archivePath("z", "model"), HttpsResponse::ok(""));
    Recorder recorder;
    const auto archives = quick.downloadFiles(meta("z"), {{"animation", 0}, {"model", 0}}, recorder.handler());
    EXPECT_EQ(archives.size(), 2u);
    EXPECT_THAT(recorder.names(), ElementsAre("downloading(animation 0/0)", "downloading(model 0/0)"));
    EXPECT_EQ(recorder.progress()[1].progress, 0.0f);
}

TEST_F(DownloaderTest, AlwaysWrongSizeFailsAfterEveryAttemptAndNeverTriesTheModel) {
    peer_.route(archivePath("w", "animation"), HttpsResponse::ok(std::string(90, 'a')));
    Recorder recorder;
    try {
        quick.downloadFiles(meta("w"), {{"animation", 100}, {"model", 5}}, recorder.handler());
        FAIL() << "no error";
    } catch (const DownloadError& e) {
        EXPECT_EQ(e.code(), DownloadErrorCode::fileSizeMismatch);
        EXPECT_EQ(e.expected(), 100);
        EXPECT_EQ(e.actual(), 90);
        EXPECT_EQ(e.resourceType(), "animation");
    }
    const std::string error = "animation 文件大小不匹配: 期望 100 字节，实际 90 字节";
    EXPECT_THAT(printedLines(), ElementsAre("下载 animation 失败，尝试次数: 1/3, 错误: " + error,
                                            "下载 animation 失败，尝试次数: 2/3, 错误: " + error,
                                            "下载 animation 失败，尝试次数: 3/3, 错误: " + error));
    EXPECT_EQ(peer_.requestCount(archivePath("w", "model")), 0u);
    EXPECT_TRUE(recorder.names().empty());
    EXPECT_FALSE(fs::exists(temporary() / "w" / "animation.zip"));
}

TEST_F(DownloaderTest, LongerBodyIsStoppedAtTheAnnouncedSize) {
    peer_.route(archivePath("l", "animation"), HttpsResponse::ok(std::string(200000, 'a')));
    Downloader once{1, 0};
    try {
        once.downloadFiles(meta("l", "s", true, false), {{"animation", 1000}}, {});
        FAIL() << "no error";
    } catch (const DownloadError& e) {
        EXPECT_EQ(e.code(), DownloadErrorCode::fileSizeMismatch);
        EXPECT_GT(e.actual(), 1000);
        EXPECT_LT(e.actual(), 200000) << "the body was not received in full";
    }
    // Neither the archive nor the transfer's temporary file is left.
    EXPECT_TRUE(fs::is_empty(temporary() / "l"));
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(temporary())) files += entry.is_regular_file();
    EXPECT_EQ(files, 0u);
}

TEST_F(DownloaderTest, FailedAttemptsAreRetried) {
    std::atomic<int> requests{0};
    peer_.route(archivePath("r", "animation"), [&](const testsupport::HttpsRequest&) {
        switch (requests++) {
        case 0: return HttpsResponse::withStatus(503, std::string(50, 'x')); // an error page of the right size
        case 1: {
            HttpsResponse cut = HttpsResponse::ok(std::string(50, 'a'));
            cut.truncateBodyAt = 20;
            return cut;
        }
        default: return HttpsResponse::ok(std::string(50, 'a'));
        }
    });
    Recorder recorder;
    const auto archives = quick.downloadFiles(meta("r", "s", true, false), {{"animation", 50}}, recorder.handler());
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_EQ(testsupport::readFile(archives[0].file), std::string(50, 'a'));
    const auto lines = printedLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "下载 animation 失败，尝试次数: 1/3, 错误: 无效的服务器响应");
    EXPECT_TRUE(lines[1].starts_with("下载 animation 失败，尝试次数: 2/3, 错误: The network connection was lost."));
    EXPECT_THAT(recorder.names(), ElementsAre("downloading(animation 50/50)"));
}

TEST_F(DownloaderTest, CancellingDuringTheWaitEndsAtOnce) {
    peer_.route(archivePath("k", "animation"), HttpsResponse::ok(std::string(10, 'a')));
    Downloader patient{3, 600};
    std::stop_source stop;
    std::jthread canceller([&] {
        while (printedLines().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.request_stop();
    });
    EXPECT_THROW(patient.downloadFiles(meta("k", "s", true, false), {{"animation", 11}}, {}, stop.get_token()),
                 CancellationError);
    EXPECT_EQ(printedLines().size(), 1u) << "no further attempt";
}

TEST(DownloaderValues, RefusesAttemptCountsAndDelaysOutOfRange) {
    EXPECT_NO_THROW(Downloader(1, 0));
    EXPECT_THROW(Downloader(0, 1), std::invalid_argument);
    EXPECT_THROW(Downloader(3, -1), std::invalid_argument);
    EXPECT_THROW(Downloader(3, std::numeric_limits<double>::infinity()), std::invalid_argument);
    EXPECT_THROW(Downloader(3, std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
    EXPECT_THROW(Downloader(3, 1e12), std::invalid_argument);
    EXPECT_EQ(MvCharacterLoader::shared().downloader().maxRetryCount(), 3);
    EXPECT_EQ(MvCharacterLoader::shared().downloader().retryDelay(), 2.0);
}

} // namespace
