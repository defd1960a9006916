// Who the peer lets in: the session key, the character id, and the protocol the path selects.

#include "kit/model/mivo_sdk.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "tests/tools/service_peer/peer_session.hpp"

using namespace MivoKit;

using namespace peertest;
using service_peer::WireProtocol;

namespace {

class PeerUpgradeTest : public PeerTest {
protected:
    // Connects and waits until the kit reports the failure; the service is kept, so that its
    // later callbacks still arrive.
    void expectRefused(const std::string& url, const std::string& key) {
        auto service = std::make_shared<MvCharacterAnimationService>();
        service->delegate = delegate_;
        const std::size_t errorsBefore = delegate_->errors().size();
        service->connect(url, key, std::nullopt);
        EXPECT_TRUE(pumpUntil([&] { return delegate_->errors().size() > errorsBefore; })) << url;
        EXPECT_FALSE(service->isConnected());
        refused_.push_back(service);
    }

    std::vector<std::shared_ptr<MvCharacterService>> refused_;
};

TEST_F(PeerUpgradeTest, AWrongKeyGets401AndAnUnknownCharacter404) {
    auto& peer = start(peerOptions());
    expectRefused(withId(peer.animationUrl()), "wrong-key");
    expectRefused(withId(peer.audiovisualUrl()), "");
    // The kit withdraws the session's acceptance on 401.
    EXPECT_TRUE(pumpUntil([&] { return sdkDelegate_->failedToStart == 2; }));
    EXPECT_FALSE(MivoSDK::shared().isVerified());
    expectRefused(withId(peer.audiovisualUrl(), "someone-else"), kSessionKey);
    expectRefused(peer.audiovisualUrl(), kSessionKey);

    const auto upgrades = peer.record().upgrades();
    ASSERT_EQ(upgrades.size(), 4u);
    std::vector<int> statuses;
    for (const auto& upgrade : upgrades) {
        EXPECT_FALSE(upgrade.accepted);
        statuses.push_back(upgrade.status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{401, 401, 404, 404}));
    EXPECT_EQ(upgrades[0].headers.at("X-Session-Key"), "wrong-key");
    EXPECT_EQ(upgrades[2].target, "/v1/realtime/websocket?id=someone-else");
}

TEST_F(PeerUpgradeTest, ServedCharactersAreLetInAndThePathSelectsTheProtocol) {
    auto options = peerOptions();
    options.characterIds = {"first", "second/v1"};
    auto& peer = start(options);
    auto animation = open<MvCharacterAnimationService>(withId(peer.animationUrl(), "first"));
    auto audiovisual = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl(), "second/v1"));
    auto otherPath = open<MvCharacterAudiovisualService>(withId("wss://" + peer.domain() + "/v2/chat", "first"));

    const auto upgrades = peer.record().upgrades();
    ASSERT_EQ(upgrades.size(), 3u);
    for (const auto& upgrade : upgrades) EXPECT_EQ(upgrade.status, 101) << upgrade.target;
    EXPECT_TRUE(upgrades[0].accepted && upgrades[1].accepted && upgrades[2].accepted);
    EXPECT_EQ(upgrades[0].protocol, WireProtocol::drivenIngress);
    EXPECT_EQ(upgrades[1].protocol, WireProtocol::realtime);
    EXPECT_EQ(upgrades[2].protocol, WireProtocol::realtime);
    EXPECT_TRUE(MivoSDK::shared().isVerified());
}

} // namespace
