// The peer's failure modes as the kit's services meet them: an error answer, no answer, a dropped
// connection, a reply that stops partway and a reply slower than real time.

#include "kit/model/mivo_sdk.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "kit/service/proto/realtime.pb.h"
#include "tests/tools/service_peer/peer_session.hpp"

using namespace MivoKit;

using namespace peertest;
using service_peer::PeerMode;
using Event = MvCharacterServiceEvent;
namespace realtime = api::realtime::v1;

namespace {

class PeerModesTest : public PeerTest {};

TEST_F(PeerModesTest, ErrorModeAnswersEveryUtteranceOfBothDrivesWithAnError) {
    auto& peer = start(peerOptions(PeerMode::error));
    auto audiovisual = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    auto animation = open<MvCharacterAnimationService>(withId(peer.animationUrl()));
    send(*audiovisual, "a-1", toneBytes({0.5}, 0.5));
    send(*animation, "b-1", toneBytes({0.5}, 0.5));
    // The peer notes what it sent once the write is done, which may come after the kit read it.
    const auto answered = [&](const char* reqId) {
        const auto reply = peer.record().reply(reqId);
        return reply && !reply->types().empty();
    };
    ASSERT_TRUE(pumpUntil([&] { return delegate_->errors().size() == 2 && answered("a-1") && answered("b-1"); }));

    for (const auto& message : delegate_->errors()) EXPECT_NE(message.find("error"), std::string::npos) << message;
    EXPECT_TRUE(delegate_->eventsOf<Event::ResponseStart>().empty());
    EXPECT_TRUE(delegate_->audio().empty());
    EXPECT_TRUE(delegate_->frames().empty());
    EXPECT_TRUE(audiovisual->isConnected() && animation->isConnected()) << "an error answer keeps the connection";
    EXPECT_EQ(peer.record().reply("a-1")->types(), std::vector<int>{realtime::MESSAGE_ERROR});
    EXPECT_EQ(peer.record().reply("b-1")->types(), std::vector<int>{realtime::MESSAGE_ERROR});
}

TEST_F(PeerModesTest, SilentModeAnswersNothingSoTheRequestTimesOut) {
    MivoSDK::shared().update(MivoSDK::Configuration(MivoSDK::DowngradePlan::none, 0.3, ""));
    auto& peer = start(peerOptions(PeerMode::silent));
    auto service = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    send(*service, "quiet-1", toneBytes({0.5}, 0.5));
    ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOf<Event::RequestTimeout>().empty(); }));

    EXPECT_EQ(delegate_->events().size(), 1u) << "the time-out is all the kit hears";
    const auto received = peer.record().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].reqId, "quiet-1");
    EXPECT_TRUE(peer.record().replies().empty());
}

TEST_F(PeerModesTest, DropModeCutsTheConnectionAfterTheReplysFirstSecond) {
    auto& peer = start(peerOptions(PeerMode::drop));
    auto service = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    send(*service, "cut-1", toneBytes({0.5}, 0.5));
    ASSERT_TRUE(pumpUntil([&] { return delegate_->connectionChanges() == std::vector<bool>{true, false}; }));
    pumpUntil([&] { return !delegate_->errors().empty(); }, 5);

    ASSERT_GT(peer.replyAudio().seconds(), 1.0);
    EXPECT_EQ(delegate_->eventsOf<Event::ResponseStart>().size(), 1u);
    EXPECT_FALSE(delegate_->hasResponseEnd());
    EXPECT_EQ(delegate_->audio().size(), std::size_t(2 * kRate)) << "one second of 16-bit audio";
    EXPECT_EQ(delegate_->frames().size(), 25u);
    EXPECT_EQ(delegate_->errors().size(), 1u) << "the kit reports the broken connection";
    // The peer notes the drop after closing the socket: the kit may see the close first.
    ASSERT_TRUE(peer.record().waitUntil([](const auto& h) { return h.reply("cut-1") && h.reply("cut-1")->dropped; }));
    const auto reply = *peer.record().reply("cut-1");
    EXPECT_FALSE(reply.finished);
    EXPECT_EQ(reply.audioBytes(), delegate_->audio().size());

    // The animation drive is cut the same way, after the first second of the user's audio.
    auto animation = open<MvCharacterAnimationService>(withId(peer.animationUrl()));
    send(*animation, "cut-2", toneBytes({0.5}, 2.0));
    ASSERT_TRUE(peer.record().waitUntil([](const auto& h) { return h.reply("cut-2") && h.reply("cut-2")->dropped; }));
    EXPECT_EQ(peer.record().reply("cut-2")->keyframes.size(), 25u);
}

TEST_F(PeerModesTest, StallModeSendsTheReplysFirstSecondThenNothingOnTheOpenConnection) {
    auto& peer = start(peerOptions(PeerMode::stall));
    auto service = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    send(*service, "stall-1", toneBytes({0.5}, 0.5));
    ASSERT_TRUE(peer.record().waitUntil([](const auto& h) { return h.reply("stall-1") && h.reply("stall-1")->finished; }));
    const auto reply = *peer.record().reply("stall-1");
    ASSERT_TRUE(pumpUntil([&] { return delegate_->events().size() == reply.messages.size(); }));

    ASSERT_GT(peer.replyAudio().seconds(), 1.0);
    EXPECT_EQ(delegate_->eventsOf<Event::ResponseStart>().size(), 1u);
    EXPECT_EQ(delegate_->audio().size(), std::size_t(2 * kRate)) << "one second of 16-bit audio";
    EXPECT_EQ(delegate_->frames().size(), 25u);
    EXPECT_FALSE(delegate_->hasResponseEnd()) << "the reply never ends";
    EXPECT_FALSE(reply.dropped);
    EXPECT_TRUE(service->isConnected());
    EXPECT_TRUE(delegate_->errors().empty());
}

TEST_F(PeerModesTest, SlowModeSendsTheReplyAtHalfSpeed) {
    const double pace = 0.1;
    auto& peer = start(peerOptions(PeerMode::slow, pace));
    auto service = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    send(*service, "slow-1", toneBytes({0.5}, 0.5));
    ASSERT_TRUE(pumpUntil([&] { return delegate_->hasResponseEnd(); }));

    // All of it arrives, but each 200 ms of audio goes out 400 ms (times the pace) after the
    // previous one, and none before it is due: the kit's playback runs dry between them.
    EXPECT_EQ(delegate_->audio(), peer.replyAudio().bytes(0, peer.replyAudio().samples.size()));
    const auto reply = *peer.record().reply("slow-1");
    std::size_t piece = 0;
    for (const auto& message : reply.messages) {
        if (message.type == realtime::MESSAGE_SERVER_RESPONSE_AUDIO) {
            EXPECT_NEAR(message.due, 2 * 0.2 * double(piece++) * pace, 1e-9);
        }
        EXPECT_GE(message.sentAt, message.due);
    }
    EXPECT_GT(reply.messages.back().sentAt, 2 * pace * (peer.replyAudio().seconds() - 0.2));
}

} // namespace
