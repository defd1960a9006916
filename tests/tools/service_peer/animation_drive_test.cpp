// The animation drive end to end: the kit's animation service sends the user's utterance and
// receives keyframes for that very audio, and nothing else.

#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/proto/driven_ingress.pb.h"
#include "tests/tools/service_peer/peer_session.hpp"

#include <numeric>

using namespace MivoKit;

using namespace peertest;
using Event = MvCharacterServiceEvent;
namespace ingress = api::driven_ingress::v1;

namespace {

class AnimationDriveTest : public PeerTest {};

double meanJaw(const std::vector<FlameFrameData>& frames, std::size_t first, std::size_t last) {
    double sum = 0;
    for (std::size_t k = first; k < last; ++k) sum += frames[k].jaw_pose[0];
    return sum / double(last - first);
}

TEST_F(AnimationDriveTest, TheUsersAudioGetsKeyframesForItsLengthWithTheJawFollowingIt) {
    auto& peer = start(peerOptions());
    auto service = open<MvCharacterAnimationService>(withId(peer.animationUrl()));
    // 0.6 s quiet, 0.6 s loud, 0.3 s silent, and a last partial keyframe.
    auto audio = toneBytes({0.1, 0.1, 0.8, 0.8, 0.0}, 0.3);
    audio.resize(audio.size() + 2 * 100, 0);
    const std::size_t expected = (audio.size() / 2 * 25 + kRate - 1) / kRate;
    send(*service, "drive-1", audio);
    ASSERT_TRUE(pumpUntil([&] { return delegate_->frames().size() >= expected; }));
    ASSERT_TRUE(peer.record().waitUntil([](const auto& history) { return history.replies.at(0).finished; }));

    const auto frames = delegate_->frames();
    EXPECT_EQ(frames.size(), expected);
    const auto pieces = delegate_->eventsOf<Event::AnimationFrames>();
    EXPECT_EQ(pieces.size(), (expected + 4) / 5) << "keyframes come 200 ms at a time";
    for (const auto& piece : pieces) EXPECT_EQ(piece.reqId, "drive-1");
    EXPECT_EQ(delegate_->events().size(), pieces.size()) << "no audio, no start, no end";

    // Keyframes 0-14 quiet, 15-29 loud, 30-37 silent; the edges are left out (smoothing).
    const double quiet = meanJaw(frames, 1, 14), loud = meanJaw(frames, 16, 29), silent = meanJaw(frames, 31, 37);
    EXPECT_GT(loud, 2 * quiet);
    EXPECT_GT(quiet, silent);
    EXPECT_NEAR(silent, 0.0, 1e-6);
    EXPECT_EQ(frames[0].eyes_pose, std::vector<float>(6, 0.0f)) << "keyframes of the neutral frame";
    EXPECT_EQ(frames[0].expr, std::vector<float>(100, 0.0f));

    const auto received = peer.record().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].protocol, service_peer::WireProtocol::drivenIngress);
    EXPECT_EQ(received[0].type, ingress::MESSAGE_CLIENT_AUDIO_INPUT);
    EXPECT_EQ(received[0].audioBytes, audio.size());
    const auto reply = *peer.record().reply("drive-1");
    EXPECT_EQ(reply.audioBytes(), 0u);
    EXPECT_EQ(reply.keyframes.size(), expected);
    EXPECT_EQ(reply.types(), std::vector<int>(pieces.size(), ingress::MESSAGE_SERVER_RESPONSE_ANIMATION));
}

} // namespace
