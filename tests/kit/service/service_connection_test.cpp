// The service client over real TLS WebSockets against the in-process peer: every road of the
// connection's life, the request timer and the receive loop.

#include "kit/model/mivo_sdk.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/proto/realtime.pb.h"
#include "kit/service/wire_format.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "platform/net/trust_store.hpp"
#include "tests/kit/service/recorders.hpp"
#include "tools/local_tls/local_certificate.hpp"
#include "tests/support/websocket/websocket_peer.hpp"

#include "tests/support/ends_idle.hpp"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <thread>

using namespace MivoKit;

namespace ingress = api::driven_ingress::v1;
namespace realtime = api::realtime::v1;
using Event = MvCharacterServiceEvent;
using testsupport::WebSocketPeer;

namespace {

std::string wireBytes(const google::protobuf::MessageLite& message) {
    const auto bytes = encodeMessage(message);
    return std::string(bytes.begin(), bytes.end());
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string animationEnvelope(const std::string& reqId) {
    ingress::Message message;
    message.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    auto* keyframe = message.mutable_server_response_animation()->mutable_animation()->add_keyframes();
    keyframe->add_translation(1);
    message.mutable_server_response_animation()->set_req_id(reqId);
    return wireBytes(message);
}

std::string errorEnvelope(const std::string& reason) {
    ingress::Message message;
    message.set_type(ingress::MESSAGE_ERROR);
    message.mutable_error()->set_reason(reason);
    return wireBytes(message);
}

MivoSDK::Configuration withRequestTimeout(std::optional<double> seconds) {
    return MivoSDK::Configuration(MivoSDK::DowngradePlan::none, seconds, "");
}

class ServiceConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        MivoSDK::shared().resetToInitialValues();
        MivoSDK::shared().setup("token", withRequestTimeout(std::nullopt), std::nullopt, sdkDelegate);
        platform::net::addTrustedCertificate(local_tls::localhostCertificate().certificatePem);
        service->delegate = delegate;
    }
    void TearDown() override {
        if (service) service->disconnect();
        EXPECT_TRUE(testsupport::finishWork());
        platform::net::clearTrustedCertificates();
        MivoSDK::shared().resetToInitialValues();
    }

    // The URL as the manager builds it for the animation service.
    std::string serviceURL() const { return "wss://" + peer.domain() + "/v1/driveningress/websocket" + "?id=" + "character-1"; }

    bool pumpUntil(const std::function<bool()>& done) { return platform::dispatch::pumpMainUntil(done); }
    // Runs the main queue for a while, to show that nothing more arrives.
    void pumpFor(double seconds) { platform::dispatch::pumpMainUntil([] { return false; }, platform::dispatch::Seconds(seconds)); }

    void connectAndOpen(MvCharacterService& target) {
        target.connect(serviceURL(), "token", std::nullopt);
        ASSERT_TRUE(pumpUntil([&] { return target.isConnected(); }));
    }

    WebSocketPeer peer{"token"};
    std::shared_ptr<RecordingSDKDelegate> sdkDelegate = std::make_shared<RecordingSDKDelegate>();
    std::shared_ptr<RecordingServiceDelegate> delegate = std::make_shared<RecordingServiceDelegate>();
    std::shared_ptr<MvCharacterAnimationService> service = std::make_shared<MvCharacterAnimationService>();
};

TEST_F(ServiceConnectionTest, RefusesURLsThatDoNotBeginWithWss) {
    platform::log::Capture capture;
    const std::string rest = "://" + peer.domain() + "/v1/driveningress/websocket?id=character-1";
    for (const std::string& url : {"ws" + rest, "https" + rest, "WSS" + rest, std::string()}) {
        service->connect(url, "token", std::nullopt);
        EXPECT_EQ(service->webSocketTask(), nullptr) << url;
    }
    EXPECT_EQ(delegate->errors(), std::vector<std::string>(4, "URL错误"));
    EXPECT_TRUE(capture.printed().empty());

    // The test is a plain prefix test: "wssx" passes it and fails in the connection instead.
    service->connect("wssx" + rest, "token", std::nullopt);
    ASSERT_NE(service->webSocketTask(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return delegate->errors().size() == 5; }));
    EXPECT_EQ(delegate->errors().back().rfind("unsupported URL", 0), 0u);
    EXPECT_TRUE(delegate->connectionChanges().empty());
    EXPECT_TRUE(peer.upgrades().empty());
}

TEST_F(ServiceConnectionTest, OpensWithTheSessionKeyAndReportsTheStart) {
    platform::log::Capture capture;
    // A header entry named X-Session-Key replaces the key; other entries are sent as they are.
    service->connect(serviceURL(), "stale", MivoSDK::Headers{{"X-Session-Key", "token"}, {"X-Trace", "t-1"}});
    ASSERT_NE(service->webSocketTask(), nullptr);
    EXPECT_EQ(service->webSocketTask()->originalRequest().timeoutInterval, 60.0);
    EXPECT_FALSE(service->isConnected());
    ASSERT_TRUE(pumpUntil([&] { return service->isConnected(); }));

    EXPECT_TRUE(capture.printedLine("wss url " + serviceURL()));
    EXPECT_EQ(delegate->connectionChanges(), std::vector<bool>{true});
    EXPECT_TRUE(MivoSDK::shared().isVerified());
    EXPECT_EQ(sdkDelegate->started, 1);
    const auto upgrades = peer.upgrades();
    ASSERT_EQ(upgrades.size(), 1u);
    EXPECT_TRUE(upgrades[0].accepted);
    EXPECT_EQ(upgrades[0].target, "/v1/driveningress/websocket?id=character-1");
    EXPECT_EQ(upgrades[0].headers.at("X-Session-Key"), "token");
    EXPECT_EQ(upgrades[0].headers.at("X-Trace"), "t-1");
    EXPECT_TRUE(delegate->events().empty());
}

TEST_F(ServiceConnectionTest, RefusedSessionReportsOneErrorAndWithdrawsAcceptance) {
    MivoSDK::shared().setIsVerified(true);
    service->connect(serviceURL(), "wrong", std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return sdkDelegate->failedToStart == 1; }));
    pumpFor(0.2);
    // The failed receive and the failed task are one failure.
    ASSERT_EQ(delegate->errors().size(), 1u);
    EXPECT_NE(delegate->errors()[0].find("401"), std::string::npos);
    EXPECT_TRUE(delegate->connectionChanges().empty());
    EXPECT_FALSE(MivoSDK::shared().isVerified());
    EXPECT_EQ(sdkDelegate->failedToStart, 1);
    EXPECT_EQ(sdkDelegate->started, 0);
}

TEST_F(ServiceConnectionTest, ServerCloseAndNetworkDropEachEndTheConnectionOnce) {
    connectAndOpen(*service);
    peer.close(1000, "bye");
    ASSERT_TRUE(pumpUntil([&] { return delegate->connectionChanges().size() == 2; }));
    pumpFor(0.2);
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false}));
    ASSERT_EQ(delegate->errors().size(), 1u);
    EXPECT_EQ(service->webSocketTask(), nullptr); // the failed receive disconnected

    delegate->log.clear();
    connectAndOpen(*service);
    peer.drop();
    ASSERT_TRUE(pumpUntil([&] { return delegate->connectionChanges().size() == 2; }));
    pumpFor(0.2);
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false}));
    ASSERT_EQ(delegate->errors().size(), 1u);
    EXPECT_EQ(delegate->errors()[0].rfind("The network connection was lost.", 0), 0u);
    EXPECT_EQ(sdkDelegate->started, 2);
}

TEST_F(ServiceConnectionTest, DisconnectEndsTheConnectionWithoutAnError) {
    service->disconnect(); // nothing to end
    EXPECT_TRUE(delegate->log.empty());

    connectAndOpen(*service);
    service->disconnect();
    EXPECT_EQ(service->webSocketTask(), nullptr);
    EXPECT_TRUE(service->isConnected()); // until the connection reports its end
    ASSERT_TRUE(pumpUntil([&] { return !service->isConnected(); }));
    ASSERT_TRUE(pumpUntil([&] { return !peer.closeCodes().empty(); }));
    pumpFor(0.2);
    EXPECT_EQ(peer.closeCodes(), std::vector<std::uint16_t>{1000});
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false}));
    EXPECT_TRUE(delegate->errors().empty());

    // A second disconnect while still counted as connected ends it at once.
    delegate->log.clear();
    connectAndOpen(*service);
    service->disconnect();
    service->disconnect();
    EXPECT_FALSE(service->isConnected());
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false}));
    pumpFor(0.3);
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false}));
    EXPECT_TRUE(delegate->errors().empty());
}

TEST_F(ServiceConnectionTest, AnOpenThatArrivesAfterDisconnectIsIgnored) {
    service->connect(serviceURL(), "token", std::nullopt);
    // Let the connection open without running the main queue, so its open notice waits there.
    for (int i = 0; i < 1000 && peer.openConnections() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(peer.openConnections(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    service->disconnect();
    ASSERT_TRUE(pumpUntil([&] { return peer.openConnections() == 0; }));
    pumpFor(0.2);
    EXPECT_TRUE(delegate->log.empty());
    EXPECT_FALSE(service->isConnected());
    EXPECT_EQ(sdkDelegate->started, 0);
}

TEST_F(ServiceConnectionTest, AReconnectReplacesTheConnectionAndIgnoresTheOldOne) {
    connectAndOpen(*service);
    service->connect(serviceURL(), "token", std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return sdkDelegate->started == 2 && peer.closeCodes().size() == 1; }));
    pumpFor(0.2);
    // The old connection was closed by the kit; its end neither disconnects the new one nor
    // reports an error, and the second open is told like the first.
    EXPECT_EQ(peer.closeCodes(), std::vector<std::uint16_t>{1000});
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, true}));
    EXPECT_TRUE(delegate->errors().empty());
    EXPECT_TRUE(service->isConnected());
    ASSERT_NE(service->webSocketTask(), nullptr);

    peer.sendBinary(animationEnvelope("after-reconnect"));
    ASSERT_TRUE(pumpUntil([&] { return !delegate->events().empty(); }));
    EXPECT_EQ(delegate->eventsOf<Event::AnimationFrames>().at(0).reqId, "after-reconnect");
    EXPECT_EQ(peer.openConnections(), 1);
}

TEST_F(ServiceConnectionTest, DisconnectThenConnectReportsTheEndBeforeTheNewOpen) {
    // The old connection's peer is held busy, so its closing handshake ends only after the new
    // connection, to the other peer, has opened: the end is still told first, and told once.
    std::atomic<bool> stalled{false}, released{false};
    WebSocketPeer stalledPeer{"token"};
    stalledPeer.setResponder([&](const WebSocketPeer::Received&) {
        stalled = true;
        while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::vector<WebSocketPeer::Action>{};
    });
    struct ReleaseOnExit {
        std::atomic<bool>& released;
        ~ReleaseOnExit() { released = true; } // before the peer's thread is joined
    } releaseOnExit{released};

    service->connect("wss://" + stalledPeer.domain() + "/v1/driveningress/websocket?id=character-1", "token", std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return service->isConnected(); }));
    service->sendAudio("r", {1}, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return stalled.load(); }));

    service->disconnect();
    service->connect(serviceURL(), "token", std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return sdkDelegate->started == 2; }));
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(stalledPeer.closeCodes().empty()); // the old end had not arrived yet

    released = true;
    ASSERT_TRUE(pumpUntil([&] { return !stalledPeer.closeCodes().empty(); }));
    pumpFor(0.2);
    EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(delegate->errors().empty());
    EXPECT_TRUE(service->isConnected());
}

TEST_F(ServiceConnectionTest, MessagesAreHandledInArrivalOrderBinaryOrBase64Text) {
    connectAndOpen(*service);
    peer.sendBinary(animationEnvelope("first"));
    peer.sendText(base64(animationEnvelope("second")));
    peer.sendText("not Base64!");                          // dropped
    peer.sendText(base64(animationEnvelope("x")) + "\n");  // line break: dropped
    peer.sendBinary(std::string("\x12\x05", 2));           // undecodable: dropped
    peer.sendBinary(errorEnvelope("late"));
    ASSERT_TRUE(pumpUntil([&] { return delegate->events().size() == 3; }));
    pumpFor(0.1);
    const auto events = delegate->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[0]).reqId, "first");
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[1]).reqId, "second");
    EXPECT_EQ(std::get<Event::Error>(events[2]).message, "late");
    EXPECT_TRUE(service->isConnected());
}

TEST_F(ServiceConnectionTest, EachServiceSendsOneBinaryEnvelopePerUtterance) {
    connectAndOpen(*service);
    auto audiovisual = std::make_shared<MvCharacterAudiovisualService>();
    audiovisual->delegate = delegate;
    connectAndOpen(*audiovisual);

    std::vector<bool> completions;
    const std::vector<std::uint8_t> audio{0x01, 0x02, 0xFE};
    service->sendAudio("req-1", audio, [&](bool sent) { completions.push_back(sent); });
    ASSERT_TRUE(pumpUntil([&] { return completions.size() == 1 && peer.receivedCount() == 1; }));
    audiovisual->sendAudio("req-2", audio, [&](bool sent) { completions.push_back(sent); });
    ASSERT_TRUE(pumpUntil([&] { return completions.size() == 2 && peer.receivedCount() == 2; }));
    EXPECT_EQ(completions, (std::vector<bool>{true, true}));

    const auto received = peer.received();
    EXPECT_TRUE(received[0].binary);
    ingress::Message input;
    ASSERT_TRUE(input.ParseFromString(received[0].payload));
    EXPECT_EQ(input.type(), ingress::MESSAGE_CLIENT_AUDIO_INPUT);
    EXPECT_EQ(input.client_audio_input().req_id(), "req-1");
    EXPECT_EQ(input.client_audio_input().audio(), std::string("\x01\x02\xFE", 3));
    EXPECT_TRUE(input.client_audio_input().end());

    EXPECT_TRUE(received[1].binary);
    realtime::Message speech;
    ASSERT_TRUE(speech.ParseFromString(received[1].payload));
    EXPECT_EQ(speech.type(), realtime::MESSAGE_CLIENT_USER_SPEECH_END);
    EXPECT_EQ(speech.client_speech_end().req_id(), "req-2");
    EXPECT_EQ(speech.client_speech_end().audio(), std::string("\x01\x02\xFE", 3));
    audiovisual->disconnect();
}

TEST_F(ServiceConnectionTest, TheRequestTimerReportsAMissingAnswer) {
    // Without a configured timeout there is no timer.
    connectAndOpen(*service);
    service->sendAudio("r0", {1, 2}, nullptr);
    EXPECT_EQ(service->requestTimeoutTimer(), nullptr);

    MivoSDK::shared().update(withRequestTimeout(0.2));
    service->sendAudio("r1", {1, 2}, nullptr);
    ASSERT_NE(service->requestTimeoutTimer(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !delegate->eventsOf<Event::RequestTimeout>().empty(); }));
    pumpFor(0.3);
    EXPECT_EQ(delegate->eventsOf<Event::RequestTimeout>().size(), 1u);
    EXPECT_TRUE(service->isConnected()); // the connection is left as it is
    EXPECT_NE(service->requestTimeoutTimer(), nullptr); // the fired timer stays until replaced
}

TEST_F(ServiceConnectionTest, AnyReceivedMessageStopsTheRequestTimer) {
    MivoSDK::shared().update(withRequestTimeout(0.3));
    // Answers that produce no event: an ignored type, undecodable bytes, text that is not Base64.
    ingress::Message ignored;
    ignored.set_type(ingress::MESSAGE_CLIENT_AUDIO_INPUT);
    const std::vector<WebSocketPeer::Action> answers{WebSocketPeer::Action::binary(wireBytes(ignored)),
                                                     WebSocketPeer::Action::binary(std::string("\x08", 1)),
                                                     WebSocketPeer::Action::text("%%%")};
    peer.setResponder([&](const WebSocketPeer::Received&) {
        return std::vector{answers.at(peer.receivedCount() - 1)};
    });
    connectAndOpen(*service);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        service->sendAudio("r", {1}, nullptr);
        ASSERT_NE(service->requestTimeoutTimer(), nullptr);
        ASSERT_TRUE(pumpUntil([&] { return service->requestTimeoutTimer() == nullptr; })) << i;
    }
    pumpFor(0.5);
    EXPECT_TRUE(delegate->events().empty());
}

TEST_F(ServiceConnectionTest, AnAudiovisualReplyThatStallsHalfWayTimesOutAndOneThatEndsDoesNot) {
    MivoSDK::shared().update(withRequestTimeout(0.3));
    auto audiovisual = std::make_shared<MvCharacterAudiovisualService>();
    audiovisual->delegate = delegate;
    realtime::Message start, audio, end;
    start.set_type(realtime::MESSAGE_SERVER_RESPONSE_START);
    start.mutable_server_response_start()->set_req_id("r");
    audio.set_type(realtime::MESSAGE_SERVER_RESPONSE_AUDIO);
    audio.mutable_server_response_audio()->set_req_id("r");
    audio.mutable_server_response_audio()->set_audio(std::string(640, '\0'));
    end.set_type(realtime::MESSAGE_SERVER_RESPONSE_END);
    end.mutable_server_response_end()->set_req_id("r");
    // The first utterance gets a start and one piece, then nothing; the second a whole reply.
    peer.setResponder([&](const WebSocketPeer::Received&) {
        std::vector answers{WebSocketPeer::Action::binary(wireBytes(start)), WebSocketPeer::Action::binary(wireBytes(audio))};
        if (peer.receivedCount() == 2) answers.push_back(WebSocketPeer::Action::binary(wireBytes(end)));
        return answers;
    });
    connectAndOpen(*audiovisual);
    const auto timeouts = [&] { return delegate->eventsOf<Event::RequestTimeout>().size(); };
    audiovisual->sendAudio("r", {1}, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return timeouts() == 1; }));
    EXPECT_EQ(delegate->eventsOf<Event::AudioData>().size(), 1u);

    audiovisual->sendAudio("r", {1}, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !delegate->eventsOf<Event::ResponseEnd>().empty(); }));
    EXPECT_EQ(audiovisual->requestTimeoutTimer(), nullptr);
    pumpFor(0.5);
    EXPECT_EQ(timeouts(), 1u);
    audiovisual->disconnect();
}

TEST_F(ServiceConnectionTest, SendingWithoutAConnectionAnswersFalseAndStillArmsTheTimer) {
    MivoSDK::shared().update(withRequestTimeout(0.1));
    std::optional<bool> sent;
    service->sendAudio("r1", {1, 2}, [&](bool result) { sent = result; });
    ASSERT_NE(service->requestTimeoutTimer(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return sent.has_value() && !delegate->events().empty(); }));
    EXPECT_FALSE(*sent);
    EXPECT_EQ(delegate->eventsOf<Event::RequestTimeout>().size(), 1u);
    EXPECT_EQ(peer.receivedCount(), 0u);
}

TEST_F(ServiceConnectionTest, AnOversizedMessageFailsLikeAnyReceive) {
    connectAndOpen(*service);
    peer.sendBinary(std::string(platform::net::WebSocketTask::maximumMessageSize + 1, '\0'));
    ASSERT_TRUE(pumpUntil([&] { return delegate->connectionChanges().size() == 2; }));
    pumpFor(0.1);
    ASSERT_EQ(delegate->errors().size(), 1u);
    EXPECT_EQ(delegate->errors()[0].rfind("The message exceeded the maximum message size.", 0), 0u);
    EXPECT_EQ(delegate->events().size(), 1u);
}

TEST_F(ServiceConnectionTest, EventsWithoutADelegateAreDroppedButStateStillChanges) {
    service->delegate.reset();
    connectAndOpen(*service);
    EXPECT_EQ(sdkDelegate->started, 1);
    peer.close();
    ASSERT_TRUE(pumpUntil([&] { return !service->isConnected(); }));
    EXPECT_TRUE(delegate->log.empty());
}

TEST_F(ServiceConnectionTest, ReleasingTheServiceClosesItsConnection) {
    connectAndOpen(*service);
    service.reset();
    ASSERT_TRUE(pumpUntil([&] { return peer.closeCodes().size() == 1; }));
    EXPECT_EQ(peer.closeCodes(), std::vector<std::uint16_t>{1000});
    pumpFor(0.1);
    EXPECT_EQ(delegate->connectionChanges(), std::vector<bool>{true});
}

} // namespace
