#include "platform/files/directories.hpp"
#include "platform/net/http_task.hpp"
#include "platform/net/trust_store.hpp"
#include "tests/support/https/https_peer.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/local_tls/local_certificate.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <filesystem>
#include <thread>

using namespace MivoKit;

namespace fs = std::filesystem;
using namespace platform::net;
using testsupport::HttpsPeer;
using testsupport::HttpsResponse;

namespace {

class HttpTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        addTrustedCertificate(local_tls::localhostCertificate().certificatePem);
        platform::files::setTemporaryDirectory(temp.path());
    }
    void TearDown() override {
        clearTrustedCertificates();
        platform::files::setTemporaryDirectory(std::nullopt);
    }

    URLErrorCode failureOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const URLError& e) {
            return e.code();
        }
        ADD_FAILURE() << "no URLError thrown";
        return URLErrorCode::unknown;
    }

    std::size_t filesInTemporaryDirectory() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()));
    }

    testsupport::TempDir temp;
    HttpsPeer peer;
};

// A port on 127.0.0.1 that nothing listens on.
unsigned short closedPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

TEST_F(HttpTaskTest, DataSendsTheHeadersAndReturnsStatusHeadersAndBody) {
    HttpsResponse answer = HttpsResponse::ok("{\"a\":1}");
    answer.headers = {{"X-Answer", "forty-two"}};
    peer.route("/v1/thing", answer);

    const auto result = URLSession::data(URLRequest{peer.url("/v1/thing"), {{"Content-Type", "application/json"}}, 5});

    EXPECT_EQ(result.body, "{\"a\":1}");
    EXPECT_EQ(result.response.statusCode, 200);
    EXPECT_EQ(result.response.value("x-answer"), "forty-two");
    EXPECT_EQ(result.response.value("CONTENT-LENGTH"), "7");
    EXPECT_FALSE(result.response.value("X-Missing").has_value());
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(peer.requests()[0].method, "GET");
    EXPECT_EQ(peer.requests()[0].header("Content-Type"), "application/json");
}

TEST_F(HttpTaskTest, ErrorStatusesComeBackAsResponses) {
    peer.route("/broken", HttpsResponse::withStatus(500, "oops"));
    const auto broken = URLSession::data(URLRequest{peer.url("/broken"), {}, 5});
    EXPECT_EQ(broken.response.statusCode, 500);
    EXPECT_FALSE(broken.response.isSuccess());
    EXPECT_EQ(broken.body, "oops");

    const auto missing = URLSession::data(URLRequest{peer.url("/nowhere"), {}, 5});
    EXPECT_EQ(missing.response.statusCode, 404);
}

TEST_F(HttpTaskTest, BodyLongerThanTheLimitFails) {
    peer.route("/big", HttpsResponse::ok(std::string(5000, 'x')));
    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{peer.url("/big"), {}, 5}, {}, 4999);
              }),
              URLErrorCode::dataLengthExceedsMaximum);
    EXPECT_EQ(URLSession::data(URLRequest{peer.url("/big"), {}, 5}, {}, 5000).body.size(), 5000u);
}

TEST_F(HttpTaskTest, ResponseHeadReturnsWithoutReadingTheBody) {
    // The body never arrives in full: reading it would fail.
    HttpsResponse answer = HttpsResponse::ok(std::string(1000, 'z'));
    answer.truncateBodyAt = 10;
    peer.route("/archive.zip", answer);

    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{peer.url("/archive.zip"), {}, 5});
              }),
              URLErrorCode::networkConnectionLost);
    const auto head = URLSession::responseHead(URLRequest{peer.url("/archive.zip"), {}, 5});
    EXPECT_EQ(head.statusCode, 200);
    EXPECT_EQ(head.value("Content-Length"), "1000");
}

TEST_F(HttpTaskTest, RedirectsAreFollowedOnlyToHttpAndHttps) {
    HttpsResponse moved = HttpsResponse::withStatus(302, "");
    moved.headers = {{"Location", peer.url("/target")}};
    peer.route("/moved", moved);
    peer.route("/target", HttpsResponse::ok("here"));

    const auto result = URLSession::data(URLRequest{peer.url("/moved"), {}, 5});
    EXPECT_EQ(result.body, "here");
    EXPECT_EQ(result.response.statusCode, 200);
    EXPECT_EQ(result.response.url, peer.url("/target"));
    EXPECT_EQ(result.response.value("Location"), std::nullopt) << "headers of the redirect are not kept";

    HttpsResponse toFile = HttpsResponse::withStatus(302, "");
    toFile.headers = {{"Location", "file:///etc/passwd"}};
    peer.route("/to-file", toFile);
    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{peer.url("/to-file"), {}, 5});
              }),
              URLErrorCode::unsupportedURL);
    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{"file:///etc/passwd", {}, 5});
              }),
              URLErrorCode::unsupportedURL);
}

TEST_F(HttpTaskTest, TransportFailuresHaveTheirCodes) {
    const std::string refused = "https://127.0.0.1:" + std::to_string(closedPort()) + "/x";
    EXPECT_EQ(failureOf([&] { URLSession::data(URLRequest{refused, {}, 5}); }), URLErrorCode::cannotConnectToHost);

    HttpsResponse cut = HttpsResponse::ok(std::string(100, 'a'));
    cut.truncateBodyAt = 40;
    peer.route("/cut", cut);
    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{peer.url("/cut"), {}, 5});
              }),
              URLErrorCode::networkConnectionLost);

    clearTrustedCertificates();
    peer.route("/ok", HttpsResponse::ok("fine"));
    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{peer.url("/ok"), {}, 5});
              }),
              URLErrorCode::secureConnectionFailed);
}

TEST_F(HttpTaskTest, SlowBodiesArriveWhileBytesKeepComing) {
    HttpsResponse slow = HttpsResponse::ok(std::string(600, 's'));
    slow.chunkSize = 100;
    slow.chunkDelay = std::chrono::milliseconds(150);
    peer.route("/slow", slow);
    EXPECT_EQ(URLSession::data(URLRequest{peer.url("/slow"), {}, 2}).body.size(), 600u);
}

TEST_F(HttpTaskTest, SilenceLongerThanTheTimeoutFails) {
    HttpsResponse stalled = HttpsResponse::ok(std::string(200, 's'));
    stalled.chunkSize = 100;
    stalled.chunkDelay = std::chrono::seconds(20);
    peer.route("/stalled", stalled);
    EXPECT_EQ(failureOf([&] { URLSession::data(URLRequest{peer.url("/stalled"), {}, 1}); }), URLErrorCode::timedOut);
}

TEST_F(HttpTaskTest, StopTokenCancelsATransfer) {
    HttpsResponse stalled = HttpsResponse::ok(std::string(200, 's'));
    stalled.chunkSize = 100;
    stalled.chunkDelay = std::chrono::seconds(20);
    peer.route("/stalled", stalled);

    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    EXPECT_EQ(failureOf([&] {
                  URLSession::download(URLRequest{peer.url("/stalled"), {}, 30}, stop.get_token());
              }),
              URLErrorCode::cancelled);
    EXPECT_EQ(filesInTemporaryDirectory(), 0u) << "the partial download is removed";
    EXPECT_EQ(failureOf([&] {
                  URLSession::data(URLRequest{peer.url("/stalled"), {}, 30}, stop.get_token());
              }),
              URLErrorCode::cancelled);
}

TEST_F(HttpTaskTest, DownloadWritesTheBodyToAPrivateTemporaryFile) {
    const std::string body(70000, 'q');
    peer.route("/file.zip", HttpsResponse::ok(body));

    const auto result = URLSession::download(URLRequest{peer.url("/file.zip"), {}, 5});
    ASSERT_FALSE(result.location.empty());
    EXPECT_EQ(result.location.parent_path(), temp.path());
    EXPECT_EQ(testsupport::readFile(result.location), body);
    EXPECT_EQ(result.bytesReceived, body.size());
    EXPECT_FALSE(result.exceededLimit);
    EXPECT_EQ(fs::status(result.location).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
}

TEST_F(HttpTaskTest, DownloadStopsAtTheByteLimitAndRemovesWhatItGot) {
    peer.route("/file.zip", HttpsResponse::ok(std::string(70000, 'q')));

    const auto over = URLSession::download(URLRequest{peer.url("/file.zip"), {}, 5}, {}, 1000);
    EXPECT_TRUE(over.exceededLimit);
    EXPECT_TRUE(over.location.empty());
    EXPECT_GT(over.bytesReceived, 1000u);
    EXPECT_EQ(filesInTemporaryDirectory(), 0u);

    const auto exact = URLSession::download(URLRequest{peer.url("/file.zip"), {}, 5}, {}, 70000);
    EXPECT_FALSE(exact.exceededLimit);
    EXPECT_EQ(fs::file_size(exact.location), 70000u);
}

TEST_F(HttpTaskTest, FailedDownloadLeavesNoFile) {
    HttpsResponse cut = HttpsResponse::ok(std::string(5000, 'a'));
    cut.truncateBodyAt = 1000;
    peer.route("/cut.zip", cut);
    EXPECT_EQ(failureOf([&] {
                  URLSession::download(URLRequest{peer.url("/cut.zip"), {}, 5});
              }),
              URLErrorCode::networkConnectionLost);
    EXPECT_EQ(filesInTemporaryDirectory(), 0u);
}

TEST(URLValidity, AbsoluteURLsWithAHostAreValid) {
    EXPECT_TRUE(isValidURL("https://api.example.com/v1/character/name/v1"));
    EXPECT_TRUE(isValidURL("https://localhost:8443/x"));
    EXPECT_FALSE(isValidURL(""));
    EXPECT_FALSE(isValidURL("https:///v1/character/x")) << "no host";
    EXPECT_FALSE(isValidURL("https://host/v1/character/a b")) << "a space";
    EXPECT_FALSE(isValidURL("not a url"));
    EXPECT_FALSE(isValidURL(std::string_view("https://host/a\0b", 16)));
    EXPECT_TRUE(isValidURL("file:///etc/passwd")) << "valid, though never fetched";
}

} // namespace
