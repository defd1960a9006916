#include "tests/kit/conversation/manager_fixture.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "platform/log/log.hpp"
#include "platform/net/trust_store.hpp"
#include "tests/support/websocket/websocket_peer.hpp"
#include "tools/local_tls/local_certificate.hpp"

using namespace MivoKit;

using namespace conversationtest;
using namespace std::chrono_literals;
using service_peer::PeerMode;

namespace {

bool logged(const platform::log::Capture& capture, const std::string& message) {
    for (const auto& e : capture.entries())
        if (e.category == "MivoKit" && e.message == message) return true;
    return false;
}

void setRequestTimeout(std::optional<double> seconds) {
    auto configuration = MivoSDK::shared().configuration();
    configuration.requestTimeout = seconds;
    MivoSDK::shared().update(configuration);
}

void setAudiovisualUrl(const std::string& url) {
    auto configuration = MivoSDK::shared().configuration();
    configuration.audiovisualServiceUrl = url;
    MivoSDK::shared().update(configuration);
}

} // namespace

TEST_F(ManagerTest, AnAudiovisualReplyPlaysWholeAndInOrderBetweenMicrophoneTurns) {
    platform::log::Capture capture;
    startPeer();
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    std::atomic<int> recorded{0};
    manager->setRecordedAudioBuffer([&](const auto& buffer, const auto&) {
        if (buffer && buffer->frameLength() == 1024) ++recorded;
    });
    connect(manager);
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"conversation:starting", "connection:connecting",
                                                                "connection:connected", "conversation:active"}));
    EXPECT_TRUE(logged(capture, "服务器已连接"));
    EXPECT_EQ(peer->record().upgrades().at(0).target, "/v1/realtime/websocket?id=synthetic");
    time.advance(200ms);
    EXPECT_TRUE(device->isInputRunning()); // the socket opened: the microphone listens
    EXPECT_GE(recorded.load(), 2);

    const auto utterance = speech(0.5);
    manager->sendAudioData(utterance);
    const std::string id = *manager->currentConversationId();
    ASSERT_TRUE(waitFor([&] { return !manager->currentConversationId(); })); // the response ended
    const auto received = peer->record().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].reqId, id);
    EXPECT_EQ(received[0].audioBytes, utterance.size());
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    EXPECT_FALSE(device->isInputRunning()); // playback stopped the microphone

    const auto& reply = peer->replyAudio();
    const auto replyBytes = reply.bytes(0, reply.samples.size());
    EXPECT_EQ(managerEvents->receivedAudio, replyBytes);
    EXPECT_GE(managerEvents->receivedFrames.size(), std::size_t(reply.seconds() * 25));
    EXPECT_TRUE(logged(capture, "服务器响应开始 reqId: " + id));
    EXPECT_TRUE(logged(capture, "服务器响应结束 reqId: " + id));

    const auto outputStart = device->renderedSamples().size();
    ASSERT_TRUE(time.advanceUntil([&] { return manager->playerState() == Mivo::PlayerState::idle; }, 10ms, 10s));
    EXPECT_FALSE(manager->displayCurrentConversationId());
    const auto played = device->renderedSamples();
    const auto expected = expectedSamples(replyBytes);
    ASSERT_GE(played.size(), outputStart + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
    // Back at rest, the microphone listens again.
    ASSERT_TRUE(time.advanceUntil([&] { return device->isInputRunning(); }, 10ms, 1s));
    EXPECT_EQ(managerEvents->named("player:"), (std::vector<std::string>{"player:playing", "player:idle"}));
    finish(manager);
    EXPECT_EQ(managerEvents->notices.back(), "conversation:idle");
}

TEST_F(ManagerTest, TheAnimationDrivePlaysTheUsersOwnSpeechWithTheReturnedKeyframes) {
    startPeer();
    auto manager = makeManager(Mivo::DriveServiceType::animation);
    connect(manager);
    EXPECT_EQ(peer->record().upgrades().at(0).target, "/v1/driveningress/websocket?id=synthetic");
    time.advance(100ms);
    EXPECT_FALSE(device->isInputRunning()); // no microphone in this drive

    const auto utterance = speech(0.8);
    manager->sendAudioData(utterance);
    ASSERT_TRUE(manager->characterPlayer()->currentConversation);
    EXPECT_EQ(manager->characterPlayer()->currentConversation->audioData, utterance);
    ASSERT_TRUE(waitFor([&] { return managerEvents->receivedFrames.size() >= 20; }));
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::playing);
    ASSERT_TRUE(time.advanceUntil([&] { return manager->playerState() == Mivo::PlayerState::idle; }, 10ms, 3s));
    const auto played = device->renderedSamples();
    const auto expected = expectedSamples(utterance);
    ASSERT_GE(played.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
    EXPECT_FALSE(managerEvents->has("audio:" + std::to_string(utterance.size()))); // no audio comes back
    finish(manager);
}

TEST_F(ManagerTest, ARequestWithoutAnswerTimesOutOnTheConfiguredTimeAndLeavesTheSessionAsItIs) {
    platform::log::Capture capture;
    startPeer(PeerMode::silent);
    setRequestTimeout(2.0);
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    connect(manager);
    manager->sendAudioData(speech(0.3));
    const auto id = manager->currentConversationId();
    ASSERT_TRUE(waitFor([&] { return peer->record().received().size() == 1; }));
    time.advance(1990ms);
    EXPECT_FALSE(managerEvents->has("error:1009"));
    time.advance(10ms);
    EXPECT_EQ(managerEvents->named("error:"), (std::vector<std::string>{"error:1009"}));
    EXPECT_TRUE(logged(capture, "请求超时"));
    EXPECT_EQ(manager->currentConversationId(), id);
    EXPECT_EQ(manager->connectionState(), Mivo::ConnectionState::connected);
    finish(manager);
}

TEST_F(ManagerTest, AServerErrorIsLoggedWithItsTextAndReportedWithTheFixedReason) {
    platform::log::Capture capture;
    startPeer(PeerMode::error);
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    connect(manager);
    manager->sendAudioData(speech(0.3));
    ASSERT_TRUE(waitFor([&] { return managerEvents->has("error:1005"); }));
    EXPECT_FALSE(manager->currentConversationId());
    EXPECT_FALSE(manager->characterPlayer()->currentConversation);
    bool loggedText = false;
    for (const auto& e : capture.entries())
        loggedText = loggedText || (e.level == platform::log::Level::error && e.message.starts_with("webscoket收到错误 ") &&
                                    e.message.size() > std::string("webscoket收到错误 ").size());
    EXPECT_TRUE(loggedText);
    EXPECT_EQ(manager->connectionState(), Mivo::ConnectionState::connected);
    finish(manager);
}

TEST_F(ManagerTest, URLsThatTheServiceRefusesOrThatDoNotParse) {
    startPeer();
    // An https URL parses, so the connection is tried and the service refuses it.
    setAudiovisualUrl("https://" + peer->domain() + "/v1/realtime/websocket");
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    manager->start();
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"conversation:starting", "connection:connecting", "error:1005"}));
    EXPECT_EQ(manager->connectionState(), Mivo::ConnectionState::connecting);
    EXPECT_EQ(manager->conversationState(), Mivo::ConversationState::starting);
    finish(manager);

    // A URL that does not parse stops silently in starting.
    managerEvents->notices.clear();
    setAudiovisualUrl("wss://local host/v1/realtime/websocket");
    auto other = makeManager(Mivo::DriveServiceType::audiovisual);
    other->start();
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"conversation:starting"}));
    EXPECT_EQ(other->connectionState(), Mivo::ConnectionState::disconnected);
    finish(other);
}

TEST_F(ManagerTest, CloseWithAndWithoutCleanUp) {
    platform::log::Capture capture;
    startPeer();
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    connect(manager);
    managerEvents->notices.clear();
    manager->close(false);
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"conversation:closing"}));
    ASSERT_TRUE(waitFor([&] { return manager->connectionState() == Mivo::ConnectionState::disconnected; }));
    EXPECT_EQ(managerEvents->notices,
              (std::vector<std::string>{"conversation:closing", "connection:disconnected", "conversation:idle"}));
    EXPECT_TRUE(logged(capture, "服务器断开连接"));
    // The render loop goes on.
    const auto idleIndex = character.idleAnimation()->currentIndex;
    time.advance(200ms);
    EXPECT_GT(character.idleAnimation()->currentIndex, idleIndex);

    // With clean-up the loop ends: no more frames.
    manager->close(true);
    time.advance(100ms);
    const auto stoppedAt = character.idleAnimation()->currentIndex;
    time.advance(200ms);
    EXPECT_EQ(character.idleAnimation()->currentIndex, stoppedAt);
    EXPECT_FALSE(manager->characterPlayer()->renderLoopTask);

    // Closing while still connecting: idle at once, and the socket being opened goes too, so it
    // never opens a session that was closed.
    managerEvents->notices.clear();
    auto connecting = makeManager(Mivo::DriveServiceType::audiovisual);
    connecting->start();
    connecting->close(false);
    EXPECT_EQ(managerEvents->notices,
              (std::vector<std::string>{"conversation:starting", "connection:connecting", "conversation:closing",
                                        "conversation:idle", "connection:disconnected"}));
    EXPECT_FALSE(connecting->characterService()->webSocketTask());
    waitFor([] { return false; }, 0.5);
    EXPECT_EQ(connecting->connectionState(), Mivo::ConnectionState::disconnected);
    EXPECT_EQ(connecting->conversationState(), Mivo::ConversationState::idle);
    finish(connecting);
}

TEST_F(ManagerTest, AStartWhileConnectedReachesConnectedAgainAndCloseEndsWhicheverSocketIsHeld) {
    testsupport::WebSocketPeer socketPeer("session-key");
    platform::net::addTrustedCertificate(local_tls::localhostCertificate().certificatePem);
    auto& sdk = MivoSDK::shared();
    sdk.setup("session-key", MivoSDK::Configuration(MivoSDK::DowngradePlan::none, std::nullopt, ""), std::nullopt,
              nullptr);
    sdk.set(socketPeer.domain(), MivoSDK::Environment::release);
    auto manager = makeManager(Mivo::DriveServiceType::animation);
    connect(manager);

    // The new socket replaces the open one and its opening is told like a first one.
    managerEvents->notices.clear();
    manager->start();
    ASSERT_TRUE(waitFor([&] { return manager->connectionState() == Mivo::ConnectionState::connected; }, 5));
    ASSERT_TRUE(waitFor([&] { return socketPeer.acceptedConnections() == 2 && socketPeer.openConnections() == 1; }));
    EXPECT_EQ(managerEvents->notices, (std::vector<std::string>{"conversation:starting", "connection:connecting",
                                                                "connection:connected", "conversation:active"}));

    // Closed while the next replacement is still opening: no socket stays open, none opens later.
    manager->start();
    manager->close(false);
    ASSERT_TRUE(waitFor([&] {
        return manager->connectionState() == Mivo::ConnectionState::disconnected && socketPeer.openConnections() == 0;
    }));
    waitFor([] { return false; }, 0.5);
    EXPECT_EQ(socketPeer.openConnections(), 0);
    EXPECT_EQ(manager->connectionState(), Mivo::ConnectionState::disconnected);
    EXPECT_EQ(manager->conversationState(), Mivo::ConversationState::idle);

    // And the session can be opened again.
    connect(manager);
    finish(manager);
    EXPECT_TRUE(waitFor([&] { return socketPeer.openConnections() == 0; }));
}

TEST_F(ManagerTest, ASocketThatEndsMidReplyStopsTheAudioAndTheMicrophoneWaitsForTheNextOpening) {
    startPeer(PeerMode::drop);
    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    connect(manager);
    time.advance(100ms);
    ASSERT_TRUE(device->isInputRunning());
    manager->sendAudioData(speech(0.3));
    ASSERT_TRUE(waitFor([&] { return manager->connectionState() == Mivo::ConnectionState::disconnected; }));
    EXPECT_EQ(manager->conversationState(), Mivo::ConversationState::idle);
    EXPECT_FALSE(device->isOutputRunning());
    EXPECT_FALSE(device->isInputRunning());
    // The face goes back to rest; the session has ended, so the microphone stays off.
    time.advance(1s);
    EXPECT_FALSE(device->isInputRunning());
    EXPECT_FALSE(device->isOutputRunning());
    EXPECT_EQ(manager->playerState(), Mivo::PlayerState::idle);

    // Acceptance outlives the connection: an utterance is still taken, reaches nobody and times out.
    setRequestTimeout(0.5);
    const auto errorsBefore = managerEvents->named("error:").size();
    manager->sendAudioData(speech(0.2));
    EXPECT_TRUE(manager->currentConversationId());
    ASSERT_TRUE(manager->characterPlayer()->currentConversation);
    time.advance(500ms);
    auto errors = managerEvents->named("error:");
    ASSERT_EQ(errors.size(), errorsBefore + 1);
    EXPECT_EQ(errors.back(), "error:1009");

    // The next opening turns the microphone on again.
    setRequestTimeout(std::nullopt);
    startPeer(PeerMode::normal);
    connect(manager);
    time.advance(100ms);
    EXPECT_TRUE(device->isInputRunning());
    finish(manager);
}
