// How each drive service turns received bytes into events, without a connection.

#include "kit/service/base64.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/proto/realtime.pb.h"
#include "kit/service/wire_format.hpp"
#include "tests/kit/service/recorders.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace realtime = api::realtime::v1;
namespace ingress = api::driven_ingress::v1;
using Event = MvCharacterServiceEvent;

namespace {

realtime::Flame keyframe(std::vector<float> translation, float marker) {
    realtime::Flame flame;
    for (float t : translation) flame.add_translation(t);
    flame.add_rotation(marker + 1);
    flame.add_neck_pose(marker + 2);
    flame.add_jaw_pose(marker + 3);
    flame.add_eye_pose(marker + 4);
    flame.add_eye_pose(marker + 5);
    flame.add_expression(marker + 6);
    return flame;
}

template <class Service>
struct Harness {
    std::shared_ptr<Service> service = std::make_shared<Service>();
    std::shared_ptr<RecordingServiceDelegate> delegate = std::make_shared<RecordingServiceDelegate>();
    Harness() { service->delegate = delegate; }
    void receive(const google::protobuf::MessageLite& message) { service->handleMessageData(encodeMessage(message)); }
};

TEST(KeyframeConversion, FillsEveryFieldButShapeAndStaticOffset) {
    google::protobuf::RepeatedPtrField<realtime::Flame> keyframes;
    *keyframes.Add() = keyframe({0.5f}, 10);
    *keyframes.Add() = keyframe({1, 2, 3, 4}, 20);
    keyframes.Mutable(1)->add_eye_lid(0.25f);
    keyframes.Mutable(1)->add_eye_lid(0.75f);
    *keyframes.Add() = realtime::Flame();

    const auto frames = convertKeyframes(keyframes);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].translation.x, 0.5f); // a missing value is 0
    EXPECT_EQ(frames[0].translation.y, 0.0f);
    EXPECT_EQ(frames[0].translation.z, 0.0f);
    EXPECT_EQ(frames[1].translation.x, 1.0f); // values past the third are ignored
    EXPECT_EQ(frames[1].translation.z, 3.0f);
    EXPECT_EQ(frames[1].rotation, std::vector<float>{21});
    EXPECT_EQ(frames[1].neck_pose, std::vector<float>{22});
    EXPECT_EQ(frames[1].jaw_pose, std::vector<float>{23});
    EXPECT_EQ(frames[1].eyes_pose, (std::vector<float>{24, 25}));
    EXPECT_EQ(frames[1].expr, std::vector<float>{26});
    EXPECT_EQ(frames[1].eyelid, (std::vector<float>{0.25f, 0.75f}));
    // Eyelid is always present, empty when the keyframe has none.
    ASSERT_TRUE(frames[0].eyelid.has_value());
    EXPECT_TRUE(frames[0].eyelid->empty());
    for (const auto& frame : frames) {
        EXPECT_FALSE(frame.shape.has_value());
        EXPECT_FALSE(frame.static_offset.has_value());
    }
    EXPECT_TRUE(frames[2].rotation.empty());
}

TEST(AudiovisualService, EachServerTypeBecomesItsEvent) {
    Harness<MvCharacterAudiovisualService> h;
    realtime::Message start;
    start.set_type(realtime::MESSAGE_SERVER_RESPONSE_START);
    start.mutable_server_response_start()->set_req_id("r1");
    start.mutable_server_response_start()->set_text("ignored");
    h.receive(start);

    realtime::Message audio;
    audio.set_type(realtime::MESSAGE_SERVER_RESPONSE_AUDIO);
    audio.mutable_server_response_audio()->set_req_id("r1");
    audio.mutable_server_response_audio()->set_audio(std::string("\x00\x7F\xFF", 3));
    h.receive(audio);

    realtime::Message animation;
    animation.set_type(realtime::MESSAGE_SERVER_RESPONSE_ANIMATION);
    animation.mutable_server_response_animation()->set_req_id("r1");
    *animation.mutable_server_response_animation()->mutable_animation()->add_keyframes() = keyframe({1, 2, 3}, 0);
    *animation.mutable_server_response_animation()->mutable_animation()->add_keyframes() = keyframe({4, 5, 6}, 0);
    h.receive(animation);

    realtime::Message end;
    end.set_type(realtime::MESSAGE_SERVER_RESPONSE_END);
    end.mutable_server_response_end()->set_req_id("r1");
    h.receive(end);

    realtime::Message error;
    error.set_type(realtime::MESSAGE_ERROR);
    error.mutable_error()->set_reason("busy");
    error.mutable_error()->set_code(7);
    error.mutable_error()->set_req_id("other");
    h.receive(error);

    const auto events = h.delegate->events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(std::get<Event::ResponseStart>(events[0]).reqId, "r1");
    EXPECT_EQ(std::get<Event::AudioData>(events[1]).data, (std::vector<std::uint8_t>{0x00, 0x7F, 0xFF}));
    EXPECT_EQ(std::get<Event::AudioData>(events[1]).reqId, "r1");
    const auto& frames = std::get<Event::AnimationFrames>(events[2]);
    EXPECT_EQ(frames.reqId, "r1");
    ASSERT_EQ(frames.frames.size(), 2u);
    EXPECT_EQ(frames.frames[1].translation.y, 5.0f);
    EXPECT_EQ(std::get<Event::ResponseEnd>(events[3]).reqId, "r1");
    EXPECT_EQ(std::get<Event::Error>(events[4]).message, "busy");
}

TEST(AudiovisualService, TheTypeDecidesNotTheHeldMember) {
    Harness<MvCharacterAudiovisualService> h;
    // An animation type holding an error: no frames, no identifier.
    realtime::Message mismatched;
    mismatched.set_type(realtime::MESSAGE_SERVER_RESPONSE_ANIMATION);
    mismatched.mutable_error()->set_reason("x");
    h.receive(mismatched);
    // An error type without its record: an empty text.
    realtime::Message bareError;
    bareError.set_type(realtime::MESSAGE_ERROR);
    h.receive(bareError);

    const auto events = h.delegate->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(std::get<Event::AnimationFrames>(events[0]).frames.empty());
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[0]).reqId, "");
    EXPECT_EQ(std::get<Event::Error>(events[1]).message, "");
}

TEST(AudiovisualService, OtherTypesAndUndecodableBytesAreDroppedSilently) {
    Harness<MvCharacterAudiovisualService> h;
    for (int type : {0, 1, 1002, 2000, 2001, 7, 1005}) {
        realtime::Message message;
        message.set_type(static_cast<realtime::MessageType>(type));
        message.mutable_server_response_text()->set_req_id("r1");
        h.receive(message);
    }
    testing::internal::CaptureStderr();
    h.service->handleMessageData(std::vector<std::uint8_t>{0x08});                                     // truncated
    h.service->handleMessageData(std::vector<std::uint8_t>{0x08, 0x02, 0xB2, 0x06, 0x03, 0x1A, 0x01, 0xC3}); // bad UTF-8
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(h.delegate->log.empty());
}

TEST(AnimationService, KeyframesAndErrorsOnly) {
    Harness<MvCharacterAnimationService> h;
    ingress::Message animation;
    animation.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    animation.mutable_server_response_animation()->set_req_id("u1");
    *animation.mutable_server_response_animation()->mutable_animation()->add_keyframes() = keyframe({1, 2, 3}, 0);
    h.receive(animation);

    ingress::Message noAnimation; // an absent animation counts as no keyframes
    noAnimation.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    noAnimation.mutable_server_response_animation()->set_req_id("u2");
    h.receive(noAnimation);

    ingress::Message mismatched;
    mismatched.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    mismatched.mutable_error()->set_reason("x");
    h.receive(mismatched);

    ingress::Message error;
    error.set_type(ingress::MESSAGE_ERROR);
    error.mutable_error()->set_reason("overloaded");
    h.receive(error);

    // Ignored: unspecified, the client's own type, and 1000, which this schema does not assign.
    for (int type : {0, 2003, 1000, 1}) {
        ingress::Message other;
        other.set_type(static_cast<ingress::MessageType>(type));
        h.receive(other);
    }
    h.service->handleMessageData(std::vector<std::uint8_t>{0x12, 0x05}); // undecodable

    const auto events = h.delegate->events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[0]).reqId, "u1");
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[0]).frames.size(), 1u);
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[1]).reqId, "u2");
    EXPECT_TRUE(std::get<Event::AnimationFrames>(events[1]).frames.empty());
    EXPECT_EQ(std::get<Event::AnimationFrames>(events[2]).reqId, "");
    EXPECT_TRUE(std::get<Event::AnimationFrames>(events[2]).frames.empty());
    EXPECT_EQ(std::get<Event::Error>(events[3]).message, "overloaded");
}

TEST(Base64, StandardAlphabetWithPaddingOnly) {
    EXPECT_EQ(decodeBase64(""), std::vector<std::uint8_t>{});
    EXPECT_EQ(decodeBase64("CNEPQgA="), (std::vector<std::uint8_t>{0x08, 0xD1, 0x0F, 0x42, 0x00}));
    EXPECT_EQ(decodeBase64("+/8="), (std::vector<std::uint8_t>{0xFB, 0xFF}));
    EXPECT_EQ(decodeBase64("QQ=="), std::vector<std::uint8_t>{'A'});
    EXPECT_EQ(decodeBase64("QUJD"), (std::vector<std::uint8_t>{'A', 'B', 'C'}));
    for (const char* bad : {"QQ", "QQ=", "Q===", "====", "QQ==QUJD", "QU\nJD", "QUJD ", "-_8=", "QU=D"}) {
        EXPECT_FALSE(decodeBase64(bad).has_value()) << bad;
    }
}

} // namespace
