// The two wire schemas, checked byte for byte against the encodings the services rely on.

#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/proto/realtime.pb.h"
#include "kit/service/wire_format.hpp"

#include <gtest/gtest.h>

#include <cstring>

using namespace MivoKit;

namespace realtime = api::realtime::v1;
namespace ingress = api::driven_ingress::v1;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes floatBytes(float value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4); // little-endian host
    return bytes;
}

template <class Message>
Message decoded(const Bytes& bytes) {
    Message message;
    EXPECT_TRUE(decodeMessage(message, bytes));
    return message;
}

TEST(RealtimeSchema, DefaultsAndTheUtteranceEnvelope) {
    realtime::Message empty;
    EXPECT_TRUE(encodeMessage(empty).empty());
    const auto fromNothing = decoded<realtime::Message>({});
    EXPECT_EQ(fromNothing.type(), realtime::MESSAGE_UNSPECIFIED);
    EXPECT_EQ(fromNothing.data_case(), realtime::Message::DATA_NOT_SET);

    realtime::Message speech;
    speech.set_type(realtime::MESSAGE_CLIENT_USER_SPEECH_END);
    speech.mutable_client_speech_end()->set_req_id("abc");
    speech.mutable_client_speech_end()->set_audio(std::string("\x01\x02", 2));
    EXPECT_EQ(encodeMessage(speech), (Bytes{0x08, 0xD1, 0x0F, 0x42, 0x09, 0x0A, 0x03, 0x61, 0x62, 0x63, 0x12, 0x02, 0x01, 0x02}));

    // The held member is written even when all its fields are default.
    realtime::Message bare;
    bare.set_type(realtime::MESSAGE_CLIENT_USER_SPEECH_END);
    bare.mutable_client_speech_end();
    EXPECT_EQ(encodeMessage(bare), (Bytes{0x08, 0xD1, 0x0F, 0x42, 0x00}));

    EXPECT_EQ(realtime::Message::descriptor()->full_name(), "api.realtime.v1.Message");
    EXPECT_EQ(realtime::Flame::descriptor()->full_name(), "api.realtime.v1.Flame");
}

TEST(RealtimeSchema, EveryTypeNumberAndPayloadFieldNumber) {
    const std::vector<std::pair<realtime::MessageType, int>> types{
        {realtime::MESSAGE_UNSPECIFIED, 0}, {realtime::MESSAGE_PROGRESS, 1}, {realtime::MESSAGE_ERROR, 2},
        {realtime::MESSAGE_SERVER_RESPONSE_START, 1000}, {realtime::MESSAGE_SERVER_RESPONSE_END, 1001},
        {realtime::MESSAGE_SERVER_RESPONSE_TEXT, 1002}, {realtime::MESSAGE_SERVER_RESPONSE_AUDIO, 1003},
        {realtime::MESSAGE_SERVER_RESPONSE_ANIMATION, 1004}, {realtime::MESSAGE_CLIENT_USER_SPEECH_START, 2000},
        {realtime::MESSAGE_CLIENT_USER_SPEECH_END, 2001}};
    for (const auto& [type, number] : types) EXPECT_EQ(static_cast<int>(type), number);
    EXPECT_EQ(realtime::MessageType_descriptor()->value_count(), 10);

    // The declared order of the oneof and each member's field number.
    const std::vector<std::pair<std::string, int>> members{
        {"server_response_start", 2}, {"server_response_end", 3}, {"server_response_text", 4},
        {"server_response_audio", 5}, {"server_response_animation", 6}, {"server_response_connect", 9},
        {"client_speech_start", 7}, {"client_speech_end", 8}, {"client_connect", 10}, {"progress", 101},
        {"error", 102}};
    const auto* data = realtime::Message::descriptor()->FindOneofByName("data");
    ASSERT_EQ(data->field_count(), static_cast<int>(members.size()));
    for (int i = 0; i < data->field_count(); ++i) {
        EXPECT_EQ(data->field(i)->name(), members[i].first);
        EXPECT_EQ(data->field(i)->number(), members[i].second);
    }
}

TEST(RealtimeSchema, DecodingRules) {
    // An unassigned type number survives a round trip.
    const auto seven = decoded<realtime::Message>({0x08, 0x07});
    EXPECT_EQ(static_cast<int>(seven.type()), 7);
    EXPECT_FALSE(realtime::MessageType_IsValid(seven.type()));
    EXPECT_EQ(encodeMessage(seven), (Bytes{0x08, 0x07}));

    // The last oneof member on the wire wins: a start record, then an error record.
    const auto lastWins = decoded<realtime::Message>({0x12, 0x03, 0x0A, 0x01, 0x61, 0xB2, 0x06, 0x03, 0x1A, 0x01, 0x62});
    EXPECT_EQ(lastWins.data_case(), realtime::Message::kError);
    EXPECT_EQ(lastWins.error().reason(), "b");

    // A negative code takes ten bytes.
    realtime::ErrorInfo error;
    error.set_code(-1);
    EXPECT_EQ(encodeMessage(error), (Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

    // An animation without keyframes differs from no animation.
    realtime::ServerResponseAnimationData animation;
    animation.set_req_id("abc");
    EXPECT_EQ(encodeMessage(animation), (Bytes{0x0A, 0x03, 0x61, 0x62, 0x63}));
    animation.mutable_animation();
    EXPECT_EQ(encodeMessage(animation), (Bytes{0x0A, 0x03, 0x61, 0x62, 0x63, 0x12, 0x00}));

    // Unpacked floats decode like packed ones; lengths are not checked.
    const auto unpacked = decoded<realtime::Flame>(concat({{0x15}, floatBytes(1), {0x15}, floatBytes(2), {0x15}, floatBytes(3)}));
    const auto packed = decoded<realtime::Flame>(concat({{0x12, 0x0C}, floatBytes(1), floatBytes(2), floatBytes(3)}));
    EXPECT_EQ(std::vector<float>(unpacked.translation().begin(), unpacked.translation().end()), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(encodeMessage(unpacked), encodeMessage(packed));
    EXPECT_EQ(decoded<realtime::Flame>(concat({{0x12, 0x08}, floatBytes(1), floatBytes(2)})).translation_size(), 2);

    // An undeclared field is kept and written again after the payload.
    const Bytes withUnknown{0x08, 0xE8, 0x07, 0x58, 0x05, 0x12, 0x00};
    const auto kept = decoded<realtime::Message>(withUnknown);
    EXPECT_EQ(kept.data_case(), realtime::Message::kServerResponseStart);
    EXPECT_EQ(encodeMessage(kept), (Bytes{0x08, 0xE8, 0x07, 0x12, 0x00, 0x58, 0x05}));
}

TEST(RealtimeSchema, MalformedBytesFailAsAWhole) {
    realtime::Message message;
    message.set_type(realtime::MESSAGE_ERROR);
    const std::vector<Bytes> malformed{
        {0x08},                                 // truncated varint
        {0x12, 0x05, 0x0A},                     // length past the end
        {0x0F},                                 // invalid wire type 7
        {0xB2, 0x06, 0x03, 0x1A, 0x01, 0xFF},   // error reason that is not UTF-8
    };
    for (const auto& bytes : malformed) {
        EXPECT_FALSE(decodeMessage(message, bytes));
        EXPECT_EQ(message.ByteSizeLong(), 0u) << "no partial message";
    }
}

TEST(DrivenIngressSchema, TheUtteranceEnvelopeAndItsRecords) {
    ingress::Message input;
    input.set_type(ingress::MESSAGE_CLIENT_AUDIO_INPUT);
    input.mutable_client_audio_input()->set_req_id("abc");
    input.mutable_client_audio_input()->set_audio(std::string("\x01\x02", 2));
    input.mutable_client_audio_input()->set_end(true);
    EXPECT_EQ(encodeMessage(input),
              (Bytes{0x08, 0xD3, 0x0F, 0x22, 0x0B, 0x0A, 0x03, 0x61, 0x62, 0x63, 0x12, 0x02, 0x01, 0x02, 0x18, 0x01}));

    ingress::ClientAudioInputData quiet;
    quiet.set_req_id("abc");
    EXPECT_EQ(encodeMessage(quiet), (Bytes{0x0A, 0x03, 0x61, 0x62, 0x63}));

    EXPECT_EQ(ingress::MessageType_descriptor()->value_count(), 4);
    EXPECT_EQ(static_cast<int>(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION), 1004);
    EXPECT_EQ(ingress::Message::descriptor()->FindFieldByName("error")->number(), 2);
    EXPECT_EQ(ingress::Message::descriptor()->FindFieldByName("server_response_animation")->number(), 3);
    EXPECT_EQ(ingress::Message::descriptor()->full_name(), "api.driven_ingress.v1.Message");
    EXPECT_EQ(ingress::ClientAudioInputData::descriptor()->full_name(), "api.driven_ingress.v1.ClientAudioInputData");
}

TEST(DrivenIngressSchema, RealtimeEnvelopesAreNotInterchangeable) {
    // A realtime progress envelope that holds an error (field 102).
    realtime::Message progress;
    progress.set_type(realtime::MESSAGE_PROGRESS);
    progress.mutable_error()->set_reason("x");
    const auto foreign = decoded<ingress::Message>(encodeMessage(progress));
    EXPECT_EQ(static_cast<int>(foreign.type()), 1);
    EXPECT_FALSE(ingress::MessageType_IsValid(foreign.type()));
    EXPECT_EQ(foreign.data_case(), ingress::Message::DATA_NOT_SET);
    EXPECT_FALSE(foreign.GetReflection()->GetUnknownFields(foreign).empty());

    // A type without its payload reads as the payload's default.
    const auto bare = decoded<ingress::Message>({0x08, 0xEC, 0x07});
    EXPECT_EQ(bare.type(), ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    EXPECT_EQ(bare.server_response_animation().req_id(), "");
    EXPECT_FALSE(bare.server_response_animation().has_animation());
}

} // namespace
