// The audiovisual drive end to end: the kit's audiovisual service sends an utterance and receives
// the peer's reply speech with lip-synced keyframes.

#include "kit/model/animation.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "kit/service/proto/realtime.pb.h"
#include "tests/tools/service_peer/peer_session.hpp"

#include <algorithm>
#include <cmath>

using namespace MivoKit;

using namespace peertest;
using Event = MvCharacterServiceEvent;
namespace realtime = api::realtime::v1;

namespace {

class AudiovisualReplyTest : public PeerTest {};

std::size_t keyframesFor(std::size_t bytes) { return (bytes / 2 * 25 + kRate - 1) / kRate; }

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    double ma = 0, mb = 0, ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) ma += a[i] / double(a.size()), mb += b[i] / double(a.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ab += (a[i] - ma) * (b[i] - mb), aa += (a[i] - ma) * (a[i] - ma), bb += (b[i] - mb) * (b[i] - mb);
    return ab / std::sqrt(aa * bb);
}

TEST_F(AudiovisualReplyTest, AnUtteranceGetsTheReplySpeechWithLipSyncedKeyframesBetweenStartAndEnd) {
    auto options = peerOptions();
    options.characterDirectory = MIVO_TEST_CHARACTER_DIR;
    auto& peer = start(options);
    auto service = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    const auto question = toneBytes({0.3, 0.6}, 0.25);
    send(*service, "req-1", question);
    ASSERT_TRUE(pumpUntil([&] { return delegate_->hasResponseEnd(); }));

    // Start first, end last, pieces of audio each followed by the keyframes of its time, one req_id.
    const auto events = delegate_->events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(std::get<Event::ResponseStart>(events.front()).reqId, "req-1");
    EXPECT_EQ(std::get<Event::ResponseEnd>(events.back()).reqId, "req-1");
    for (std::size_t i = 1; i + 1 < events.size(); i += 2) {
        const auto& audio = std::get<Event::AudioData>(events[i]);
        const auto& frames = std::get<Event::AnimationFrames>(events[i + 1]);
        EXPECT_EQ(audio.reqId, "req-1");
        EXPECT_EQ(frames.reqId, "req-1");
        EXPECT_EQ(frames.frames.size(), keyframesFor(audio.data.size()));
    }

    // All of the reply speech, and 25 keyframes per second of it.
    const auto audio = delegate_->audio();
    EXPECT_EQ(audio, peer.replyAudio().bytes(0, peer.replyAudio().samples.size()));
    const auto frames = delegate_->frames();
    ASSERT_EQ(frames.size(), keyframesFor(audio.size()));

    // The jaw follows the loudness of its 40 ms; the rest is the character's first idle frame.
    const auto base = loadAnimationFrames(std::string(MIVO_TEST_CHARACTER_DIR) + "/animation/idle.json").at(0);
    const auto levels = keyframeLevels(audio);
    std::vector<double> jaw;
    for (const auto& frame : frames) {
        ASSERT_EQ(frame.jaw_pose.size(), 3u);
        EXPECT_EQ(frame.jaw_pose[1], base.jaw_pose[1]);
        EXPECT_EQ(frame.rotation, base.rotation);
        EXPECT_EQ(frame.neck_pose, base.neck_pose);
        EXPECT_EQ(frame.eyes_pose, base.eyes_pose);
        EXPECT_EQ(frame.expr, base.expr);
        EXPECT_EQ(frame.eyelid, (std::vector<float>{0, 0}));
        jaw.push_back(frame.jaw_pose[0]);
    }
    EXPECT_GT(correlation(levels, jaw), 0.9);
    EXPECT_FLOAT_EQ(*std::max_element(jaw.begin(), jaw.end()), 0.35f);
    EXPECT_GE(*std::min_element(jaw.begin(), jaw.end()), 0.0);
    const auto loudest = std::max_element(levels.begin(), levels.end()) - levels.begin();
    const auto quietest = std::min_element(levels.begin(), levels.end()) - levels.begin();
    EXPECT_GT(jaw[std::size_t(loudest)], jaw[std::size_t(quietest)] + 0.2);

    // The record agrees with what the kit sent and received.
    const auto received = peer.record().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].type, realtime::MESSAGE_CLIENT_USER_SPEECH_END);
    EXPECT_EQ(received[0].reqId, "req-1");
    EXPECT_EQ(received[0].audioBytes, question.size());
    ASSERT_TRUE(peer.record().waitUntil([](const auto& history) { return history.replies.at(0).finished; }));
    const auto record = *peer.record().reply("req-1");
    EXPECT_EQ(record.audioBytes(), audio.size());
    ASSERT_EQ(record.keyframes.size(), frames.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(record.keyframes[k].jaw, jaw[k]);
        EXPECT_DOUBLE_EQ(record.keyframes[k].offset, double(k) / 25);
    }
}

TEST_F(AudiovisualReplyTest, PiecesAreDueWithTheirAudioAndRepliesFollowOneAnother) {
    const double pace = 0.05;
    auto& peer = start(peerOptions(service_peer::PeerMode::normal, pace));
    auto service = open<MvCharacterAudiovisualService>(withId(peer.audiovisualUrl()));
    send(*service, "first", toneBytes({0.5}, 0.2));
    send(*service, "second", toneBytes({0.5}, 0.2));
    ASSERT_TRUE(pumpUntil([&] { return delegate_->eventsOf<Event::ResponseEnd>().size() == 2; }));

    // Each reply is whole before the next begins.
    std::vector<std::string> startsAndEnds;
    for (const auto& event : delegate_->events()) {
        if (const auto* start = std::get_if<Event::ResponseStart>(&event)) startsAndEnds.push_back("start " + start->reqId);
        if (const auto* end = std::get_if<Event::ResponseEnd>(&event)) startsAndEnds.push_back("end " + end->reqId);
    }
    EXPECT_EQ(startsAndEnds, (std::vector<std::string>{"start first", "end first", "start second", "end second"}));

    // Piece k (200 ms of audio) is due at 0.2 k seconds times the pace, and never goes out early.
    const auto reply = *peer.record().reply("second");
    std::size_t piece = 0;
    for (const auto& message : reply.messages) {
        if (message.type == realtime::MESSAGE_SERVER_RESPONSE_AUDIO) {
            EXPECT_NEAR(message.due, 0.2 * double(piece++) * pace, 1e-9);
        }
        EXPECT_GE(message.sentAt, message.due);
    }
    EXPECT_EQ(piece, (peer.replyAudio().samples.size() + kRate / 5 - 1) / (kRate / 5));
}

} // namespace
