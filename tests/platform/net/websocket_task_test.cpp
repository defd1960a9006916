#include "platform/dispatch/work_census.hpp"
#include "platform/net/trust_store.hpp"
#include "platform/net/websocket_task.hpp"
#include "tools/local_tls/local_certificate.hpp"
#include "tests/support/websocket/websocket_peer.hpp"
#include "tests/support/ends_idle.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <mutex>

using namespace MivoKit;

using namespace platform::net;
using testsupport::WebSocketPeer;
using Code = WebSocketError::Code;

namespace {

// Records what a task reports, from the network thread, and lets the test wait for it.
struct Recorder : WebSocketTaskDelegate {
    std::mutex mutex;
    std::condition_variable changed;
    int opened = 0;
    std::vector<std::pair<std::uint16_t, std::string>> closes;
    std::vector<std::optional<WebSocketError>> completions;
    std::vector<WebSocketReceiveResult> received;
    std::vector<std::optional<WebSocketError>> sent;

    template <class F>
    void record(F&& change) {
        std::lock_guard lock(mutex);
        change();
        changed.notify_all();
    }
    void webSocketTaskDidOpen(WebSocketTask&, const std::string&) override { record([&] { ++opened; }); }
    void webSocketTaskDidClose(WebSocketTask&, std::uint16_t code, const std::string& reason) override {
        record([&] { closes.emplace_back(code, reason); });
    }
    void taskDidComplete(WebSocketTask&, const std::optional<WebSocketError>& error) override {
        record([&] { completions.push_back(error); });
    }
    std::function<void(WebSocketReceiveResult)> onReceive() {
        return [this](WebSocketReceiveResult result) { record([&] { received.push_back(std::move(result)); }); };
    }
    std::function<void(std::optional<WebSocketError>)> onSend() {
        return [this](std::optional<WebSocketError> error) { record([&] { sent.push_back(std::move(error)); }); };
    }
    // A safety bound only: under sanitizers on a loaded machine 32 MiB through TLS takes seconds.
    bool waitFor(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, bound, done);
    }
    bool waitForCompletion() {
        return waitFor([&] { return !completions.empty(); });
    }
    Code receivedError(std::size_t i) {
        std::lock_guard lock(mutex);
        return std::get<WebSocketError>(received.at(i)).code;
    }
};

WebSocketData bytes(std::string_view text) { return WebSocketData(text.begin(), text.end()); }

class WebSocketTaskTest : public ::testing::Test {
protected:
    void SetUp() override { addTrustedCertificate(local_tls::localhostCertificate().certificatePem); }
    void TearDown() override {
        // Every task the test made ends before the next test starts.
        for (const auto& task : made) task->cancel(kWebSocketNormalClosure, "");
        EXPECT_TRUE(testsupport::finishWork());
        clearTrustedCertificates();
    }

    std::shared_ptr<WebSocketTask> makeTask(const std::string& url, const std::string& key = "secret", double timeout = 60) {
        WebSocketRequest request{url, timeout, {}};
        request.setValue(key, "X-Session-Key");
        return made.emplace_back(makeWebSocketTask(std::move(request), recorder));
    }
    std::vector<std::shared_ptr<WebSocketTask>> made;
    std::string url(const std::string& path = "/socket?id=7") { return "wss://" + peer.domain() + path; }

    WebSocketPeer peer{"secret"};
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(WebSocketTaskTest, ExchangesMessagesInOrderWithTheRequestHeaders) {
    // Echo every message back in its own kind.
    peer.setResponder([](const WebSocketPeer::Received& r) {
        return std::vector{r.binary ? WebSocketPeer::Action::binary(r.payload) : WebSocketPeer::Action::text(r.payload)};
    });
    WebSocketRequest request{url(), 60, {}};
    request.setValue("wrong", "X-Session-Key");
    request.setValue("secret", "x-session-key"); // replaces, whatever the case
    request.setValue("1", "X-Extra");
    auto task = made.emplace_back(makeWebSocketTask(request, recorder));
    EXPECT_EQ(task->originalRequest().headerFields.size(), 2u);

    // Sends queued before the connection opens go out once it is open, in order.
    task->send(bytes("one"), recorder->onSend());
    task->send(std::string("two"), recorder->onSend());
    task->send(WebSocketData{0x00, 0xFF}, recorder->onSend());
    for (int i = 0; i < 3; ++i) task->receive(recorder->onReceive());
    task->resume();

    ASSERT_TRUE(recorder->waitFor([&] { return recorder->received.size() == 3 && recorder->sent.size() == 3; }));
    EXPECT_EQ(recorder->opened, 1);
    EXPECT_EQ(std::get<WebSocketData>(std::get<WebSocketMessage>(recorder->received[0])), bytes("one"));
    EXPECT_EQ(std::get<std::string>(std::get<WebSocketMessage>(recorder->received[1])), "two");
    EXPECT_EQ(std::get<WebSocketData>(std::get<WebSocketMessage>(recorder->received[2])), (WebSocketData{0x00, 0xFF}));
    for (const auto& error : recorder->sent) EXPECT_FALSE(error.has_value());

    const auto upgrades = peer.upgrades();
    ASSERT_EQ(upgrades.size(), 1u);
    EXPECT_EQ(upgrades[0].target, "/socket?id=7");
    EXPECT_EQ(upgrades[0].headers.at("X-Session-Key"), "secret");
    EXPECT_EQ(upgrades[0].headers.at("X-Extra"), "1");
    EXPECT_EQ(upgrades[0].serverName, "localhost");
    EXPECT_EQ(task->response()->statusCode, 101);
    EXPECT_TRUE(recorder->completions.empty());
}

TEST_F(WebSocketTaskTest, AnAddressHostIsVerifiedWithoutServerName) {
    auto task = makeTask("wss://127.0.0.1:" + std::to_string(peer.port()) + "/");
    task->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->opened == 1; }));
    EXPECT_EQ(peer.upgrades().at(0).serverName, "");
    EXPECT_EQ(peer.upgrades().at(0).target, "/");
    task->cancel(kWebSocketNormalClosure, "");
    ASSERT_TRUE(recorder->waitForCompletion());
}

TEST_F(WebSocketTaskTest, DeclinedUpgradeEndsAtOnceWithTheHTTPStatus) {
    auto task = makeTask(url(), "wrong");
    task->receive(recorder->onReceive());
    task->resume();
    // Ends well before Beast's 30-second handshake timer would have.
    ASSERT_TRUE(recorder->waitFor([&] { return !recorder->completions.empty() && !recorder->received.empty(); }));
    EXPECT_EQ(recorder->opened, 0);
    ASSERT_TRUE(recorder->completions[0].has_value());
    EXPECT_EQ(recorder->completions[0]->code, Code::badServerResponse);
    EXPECT_NE(recorder->completions[0]->localizedDescription.find("401"), std::string::npos);
    EXPECT_EQ(recorder->receivedError(0), Code::badServerResponse);
    ASSERT_TRUE(task->response().has_value());
    EXPECT_EQ(task->response()->statusCode, 401);
}

TEST_F(WebSocketTaskTest, ServerCloseFailsTheReceiveAndCompletesWithoutError) {
    auto task = makeTask(url());
    task->receive(recorder->onReceive());
    task->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->opened == 1; }));
    peer.close(4000, "bye");
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_FALSE(recorder->completions[0].has_value());
    ASSERT_EQ(recorder->closes.size(), 1u);
    EXPECT_EQ(recorder->closes[0], (std::pair<std::uint16_t, std::string>{4000, "bye"}));
    EXPECT_EQ(recorder->receivedError(0), Code::closedByServer);

    // Requests after the end fail with the same error.
    task->receive(recorder->onReceive());
    task->send(bytes("late"), recorder->onSend());
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->received.size() == 2 && recorder->sent.size() == 1; }));
    EXPECT_EQ(recorder->receivedError(1), Code::closedByServer);
    EXPECT_EQ(recorder->sent[0]->code, Code::closedByServer);
    EXPECT_EQ(recorder->completions.size(), 1u);
}

TEST_F(WebSocketTaskTest, DroppedConnectionIsALostConnection) {
    auto task = makeTask(url());
    task->receive(recorder->onReceive());
    task->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->opened == 1; }));
    peer.drop();
    ASSERT_TRUE(recorder->waitForCompletion());
    ASSERT_TRUE(recorder->completions[0].has_value());
    EXPECT_EQ(recorder->completions[0]->code, Code::networkConnectionLost);
    EXPECT_EQ(recorder->receivedError(0), Code::networkConnectionLost);
    EXPECT_TRUE(recorder->closes.empty());
}

TEST_F(WebSocketTaskTest, CancelClosesWithTheGivenCode) {
    auto task = makeTask(url());
    task->receive(recorder->onReceive());
    task->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->opened == 1; }));
    task->cancel(kWebSocketNormalClosure, "done");
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_EQ(recorder->completions[0]->code, Code::cancelled);
    EXPECT_EQ(recorder->receivedError(0), Code::cancelled);
    EXPECT_TRUE(recorder->closes.empty());
    // The peer records the close on its own thread, which does not wake the recorder: poll.
    for (int i = 0; i < 6000 && peer.closeCodes().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(peer.closeCodes(), std::vector<std::uint16_t>{1000});
}

TEST_F(WebSocketTaskTest, CancelBeforeOrWhileOpeningEndsTheTask) {
    auto idle = makeTask(url());
    idle->cancel(kWebSocketNormalClosure, "");
    idle->resume(); // too late: the task has ended
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_EQ(recorder->completions[0]->code, Code::cancelled);

    // A listener that never accepts: the TLS handshake waits until cancelled. Opening takes several
    // steps (resolve, connect, TLS rounds); cancels after a growing delay land in each of them, also
    // between two steps, and each ends the task well before its 60-second deadline.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    for (std::size_t step = 0; step < 40; ++step) {
        auto opening = makeTask("wss://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/");
        opening->resume();
        std::this_thread::sleep_for(std::chrono::microseconds(50 * step));
        opening->cancel(kWebSocketNormalClosure, "");
        ASSERT_TRUE(recorder->waitFor([&] { return recorder->completions.size() == step + 2; }, std::chrono::seconds(20)))
            << "cancelled " << 50 * step << " us after resuming";
        EXPECT_EQ(recorder->completions.back()->code, Code::cancelled);
    }
    EXPECT_EQ(recorder->opened, 0);
}

// A call on a finished task still answers its completion on the network thread, and the caller may
// hand that on to its main queue: until the call has run it is work in progress, or a test that
// waits for an idle census ends before the hand-over and finds it afterwards.
TEST_F(WebSocketTaskTest, CallsCountAsWorkUntilTheyHaveRun) {
    const auto pendingCalls = [] {
        for (const auto& work : platform::dispatch::workInProgress())
            if (work.what == "WebSocket calls") return work.count;
        return std::size_t(0);
    };
    auto task = makeTask("wss:///no-host");
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletion());

    // The first completion holds the network thread, so the second call waits behind it.
    std::promise<void> release;
    std::promise<void> entered;
    task->receive([&, releaseFuture = release.get_future().share()](WebSocketReceiveResult) {
        entered.set_value();
        releaseFuture.wait();
    });
    entered.get_future().wait();
    task->receive(recorder->onReceive());
    EXPECT_EQ(pendingCalls(), 2u); // the one running and the one waiting
    release.set_value();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->received.size() == 1; }));
    for (int i = 0; i < 2000 && pendingCalls() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(pendingCalls(), 0u);
}

TEST_F(WebSocketTaskTest, OpeningIsBoundedByTheRequestTimeout) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    auto task = makeTask("wss://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/", "secret", 0.2);
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_EQ(recorder->completions[0]->code, Code::timedOut);
}

TEST_F(WebSocketTaskTest, ConnectionFailuresBeforeTheUpgrade) {
    // An untrusted certificate.
    clearTrustedCertificates();
    makeTask(url())->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->completions.size() == 1; }));
    EXPECT_EQ(recorder->completions[0]->code, Code::secureConnectionFailed);
    EXPECT_TRUE(peer.upgrades().empty());

    // A trusted certificate for another host name.
    const auto otherName = local_tls::makeCertificate("example.test", "DNS:example.test");
    addTrustedCertificate(otherName.certificatePem);
    WebSocketPeer impostor("secret", otherName);
    makeTask("wss://" + impostor.domain() + "/")->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->completions.size() == 2; }));
    EXPECT_EQ(recorder->completions[1]->code, Code::secureConnectionFailed);
    EXPECT_TRUE(impostor.upgrades().empty());

    // Nothing listens on a port that was just released.
    unsigned short freePort;
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        freePort = probe.local_endpoint().port();
    }
    makeTask("wss://127.0.0.1:" + std::to_string(freePort) + "/")->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->completions.size() == 3; }));
    EXPECT_EQ(recorder->completions[2]->code, Code::cannotConnectToHost);

    // URLs that are not wss URLs with a host and a valid port.
    for (const char* bad : {"ws://localhost/", "https://localhost/", "wss:///path", "wss://host:99999/", "wss://[::1/", "wss://u@host/"}) {
        const auto before = recorder->completions.size();
        makeTask(bad)->resume();
        ASSERT_TRUE(recorder->waitFor([&] { return recorder->completions.size() == before + 1; })) << bad;
        EXPECT_EQ(recorder->completions.back()->code, Code::badURL) << bad;
    }
    EXPECT_EQ(recorder->opened, 0);
}

TEST_F(WebSocketTaskTest, IncomingMessagesAreLimitedTo16MiB) {
    auto task = makeTask(url());
    task->receive(recorder->onReceive());
    task->receive(recorder->onReceive());
    task->resume();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->opened == 1; }));
    peer.sendBinary(std::string(WebSocketTask::maximumMessageSize, 'a'));
    peer.sendBinary(std::string(WebSocketTask::maximumMessageSize + 1, 'b'));
    ASSERT_TRUE(recorder->waitForCompletion());
    ASSERT_EQ(recorder->received.size(), 2u);
    EXPECT_EQ(std::get<WebSocketData>(std::get<WebSocketMessage>(recorder->received[0])).size(), WebSocketTask::maximumMessageSize);
    EXPECT_EQ(recorder->receivedError(1), Code::messageTooLarge);
    EXPECT_EQ(recorder->completions[0]->code, Code::messageTooLarge) << recorder->completions[0]->localizedDescription;
}

// A task released on the network thread while the process exits must be gone before OpenSSL frees
// its global state, so exit waits for the network callback that is running.
TEST(WebSocketTaskExitTest, ExitWaitsForTheRunningNetworkCallback) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string marker = ::testing::TempDir() + "mivo-network-exit-marker";
    std::remove(marker.c_str());

    struct SlowDelegate : WebSocketTaskDelegate {
        std::promise<void> entered;
        std::string marker;
        void webSocketTaskDidOpen(WebSocketTask&, const std::string&) override {}
        void webSocketTaskDidClose(WebSocketTask&, std::uint16_t, const std::string&) override {}
        void taskDidComplete(WebSocketTask&, const std::optional<WebSocketError>&) override {
            entered.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::ofstream(marker) << "finished";
        }
    };
    EXPECT_EXIT(
        {
            auto delegate = std::make_shared<SlowDelegate>();
            delegate->marker = marker;
            auto entered = delegate->entered.get_future();
            auto task = makeWebSocketTask(WebSocketRequest{"wss:///no-host", 60, {}}, delegate);
            task->resume();
            entered.wait();
            task.reset(); // the network thread now holds the last reference, with its TLS context
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    std::ifstream in(marker);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "finished");
    std::remove(marker.c_str());
}

} // namespace
