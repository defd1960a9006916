// The audiovisual service's handling of what its server sends: WebSocket messages (binary, or
// Base64 text) decoded as "api.realtime.v1" envelopes into events, and the speech of those events
// turned into the player's audio buffers.
//
// Input: a run of messages, each one flags byte (bit 0: a text message), a 16-bit little-endian
// length and that many bytes (the last one takes what is left).

#include "fuzz/fuzz_support.hpp"
#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/service/base64.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "kit/service/proto/realtime.pb.h"
#include "kit/service/wire_format.hpp"

#include <google/protobuf/util/json_util.h>

#include <cstring>
#include <optional>

using namespace MivoKit;

namespace wire = api::realtime::v1;
using Event = MvCharacterServiceEvent;

namespace {

struct Recorder : MvCharacterServiceDelegate {
    std::vector<Event> events;
    int connectionChanges = 0;
    void serviceConnectionChanged(bool) override { ++connectionChanges; }
    void handleServiceEvent(const Event& event) override { events.push_back(event); }
};

struct Message {
    bool text = false;
    std::vector<std::uint8_t> bytes;
};

std::vector<Message> split(const std::uint8_t* data, std::size_t size) {
    std::vector<Message> messages;
    std::size_t at = 0;
    while (at < size) {
        Message m;
        m.text = data[at] & 1;
        std::size_t length = size - at - 1;
        if (length >= 2) {
            length = std::min<std::size_t>(data[at + 1] | std::size_t(data[at + 2]) << 8, size - at - 3);
            at += 3;
        } else {
            at += 1;
        }
        m.bytes.assign(data + at, data + at + length);
        at += length;
        messages.push_back(std::move(m));
    }
    return messages;
}

FuzzBytes frame(const std::vector<Message>& messages) {
    FuzzBytes out;
    for (const auto& m : messages) {
        out.push_back(m.text ? 1 : 0);
        out.push_back(std::uint8_t(m.bytes.size()));
        out.push_back(std::uint8_t(m.bytes.size() >> 8));
        out.insert(out.end(), m.bytes.begin(), m.bytes.end());
    }
    return out;
}

Message binary(const google::protobuf::MessageLite& message) { return {false, encodeMessage(message)}; }
Message text(const std::string& text) { return {true, std::vector<std::uint8_t>(text.begin(), text.end())}; }

wire::Flame keyframe(float marker) {
    wire::Flame flame;
    for (float t : {0.01f * marker, -0.02f, 0.6f}) flame.add_translation(t);
    for (int i = 0; i < 3; ++i) flame.add_rotation(0.01f * marker);
    for (int i = 0; i < 3; ++i) flame.add_neck_pose(0.02f);
    for (int i = 0; i < 3; ++i) flame.add_jaw_pose(i == 0 ? 0.2f * marker : 0);
    for (int i = 0; i < 6; ++i) flame.add_eye_pose(0);
    for (int i = 0; i < 2; ++i) flame.add_eye_lid(0.1f * marker);
    for (int i = 0; i < 100; ++i) flame.add_expression(i < 10 ? 0.05f * float(i) : 0);
    return flame;
}

wire::Message envelope(wire::MessageType type, const std::string& reqId) {
    wire::Message m;
    m.set_type(type);
    switch (type) {
    case wire::MESSAGE_SERVER_RESPONSE_START: m.mutable_server_response_start()->set_req_id(reqId); break;
    case wire::MESSAGE_SERVER_RESPONSE_END: m.mutable_server_response_end()->set_req_id(reqId); break;
    case wire::MESSAGE_SERVER_RESPONSE_TEXT:
        m.mutable_server_response_text()->set_req_id(reqId);
        m.mutable_server_response_text()->set_text("你好");
        break;
    case wire::MESSAGE_SERVER_RESPONSE_AUDIO: {
        auto* audio = m.mutable_server_response_audio();
        audio->set_req_id(reqId);
        std::string pcm;
        for (int i = 0; i < 64; ++i) {
            const std::int16_t sample = std::int16_t(i * 1024 - 32768);
            pcm.append(reinterpret_cast<const char*>(&sample), 2);
        }
        audio->set_audio(pcm + "\x7f"); // an odd byte: half a sample
        break;
    }
    case wire::MESSAGE_SERVER_RESPONSE_ANIMATION: {
        auto* answer = m.mutable_server_response_animation();
        answer->set_req_id(reqId);
        for (int i = 0; i < 3; ++i) *answer->mutable_animation()->add_keyframes() = keyframe(float(i));
        answer->mutable_animation()->add_keyframes(); // an empty keyframe
        break;
    }
    case wire::MESSAGE_ERROR:
        m.mutable_error()->set_req_id(reqId);
        m.mutable_error()->set_code(500);
        m.mutable_error()->set_reason("服务繁忙");
        break;
    case wire::MESSAGE_PROGRESS:
        m.mutable_progress()->set_req_id(reqId);
        m.mutable_progress()->set_message("thinking");
        break;
    case wire::MESSAGE_CLIENT_USER_SPEECH_START: m.mutable_client_speech_start()->set_req_id(reqId); break;
    case wire::MESSAGE_CLIENT_USER_SPEECH_END:
        m.mutable_client_speech_end()->set_req_id(reqId);
        m.mutable_client_speech_end()->set_audio(std::string("\x01\x02", 2));
        break;
    default: m.mutable_server_response_connect()->set_req_id(reqId); break;
    }
    return m;
}

// The event the schema says a message gives, checked against the one the service gave.
void checkEvent(const wire::Message& message, const Event& event) {
    switch (message.type()) {
    case wire::MESSAGE_SERVER_RESPONSE_START: {
        const auto* start = std::get_if<Event::ResponseStart>(&event);
        if (!start || start->reqId != message.server_response_start().req_id()) fuzz::fail("a response start gave another event");
        return;
    }
    case wire::MESSAGE_SERVER_RESPONSE_END: {
        const auto* end = std::get_if<Event::ResponseEnd>(&event);
        if (!end || end->reqId != message.server_response_end().req_id()) fuzz::fail("a response end gave another event");
        return;
    }
    case wire::MESSAGE_SERVER_RESPONSE_AUDIO: {
        const auto* audio = std::get_if<Event::AudioData>(&event);
        const auto& sent = message.server_response_audio();
        if (!audio || audio->reqId != sent.req_id() || audio->data.size() != sent.audio().size() ||
            (!sent.audio().empty() && std::memcmp(audio->data.data(), sent.audio().data(), sent.audio().size()) != 0))
            fuzz::fail("an audio message gave another event or other samples");
        return;
    }
    case wire::MESSAGE_SERVER_RESPONSE_ANIMATION: {
        const auto* animation = std::get_if<Event::AnimationFrames>(&event);
        const auto& sent = message.server_response_animation();
        if (!animation || animation->reqId != sent.req_id() ||
            animation->frames.size() != std::size_t(sent.animation().keyframes_size()))
            fuzz::fail("an animation message gave another event or another number of frames");
        for (std::size_t i = 0; i < animation->frames.size(); ++i) {
            const auto& frame = animation->frames[i];
            const auto& keyframe = sent.animation().keyframes(int(i));
            if (!frame.eyelid || frame.eyelid->size() != std::size_t(keyframe.eye_lid_size()) ||
                frame.expr.size() != std::size_t(keyframe.expression_size()) || frame.shape || frame.static_offset)
                fuzz::fail("a keyframe became a frame of other lists");
        }
        return;
    }
    case wire::MESSAGE_ERROR: {
        const auto* error = std::get_if<Event::Error>(&event);
        if (!error || error->message != message.error().reason()) fuzz::fail("a server error gave another event");
        return;
    }
    default: fuzz::fail("a message of a type the service ignores gave an event");
    }
}

bool givesEvent(wire::MessageType type) {
    switch (type) {
    case wire::MESSAGE_SERVER_RESPONSE_START:
    case wire::MESSAGE_SERVER_RESPONSE_END:
    case wire::MESSAGE_SERVER_RESPONSE_AUDIO:
    case wire::MESSAGE_SERVER_RESPONSE_ANIMATION:
    case wire::MESSAGE_ERROR: return true;
    default: return false;
    }
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    const std::vector<wire::MessageType> types{
        wire::MESSAGE_SERVER_RESPONSE_START, wire::MESSAGE_SERVER_RESPONSE_TEXT,  wire::MESSAGE_SERVER_RESPONSE_AUDIO,
        wire::MESSAGE_SERVER_RESPONSE_ANIMATION, wire::MESSAGE_SERVER_RESPONSE_END, wire::MESSAGE_ERROR,
        wire::MESSAGE_PROGRESS, wire::MESSAGE_UNSPECIFIED, wire::MESSAGE_CLIENT_USER_SPEECH_START,
        wire::MESSAGE_CLIENT_USER_SPEECH_END, static_cast<wire::MessageType>(7)};
    std::vector<FuzzBytes> seeds;
    // Each type alone, as a binary and as a Base64 text message.
    for (auto type : types) {
        const auto m = binary(envelope(type, "req-1"));
        seeds.push_back(frame({m}));
        seeds.push_back(frame({text(fuzz::base64(m.bytes))}));
    }
    // A whole answer, in order.
    std::vector<Message> answer;
    for (auto type : types) answer.push_back(binary(envelope(type, "req-2")));
    answer.push_back(text(fuzz::base64(binary(envelope(wire::MESSAGE_SERVER_RESPONSE_AUDIO, "req-2")).bytes)));
    seeds.push_back(frame(answer));
    // A type naming another member than the one held.
    auto mismatched = envelope(wire::MESSAGE_SERVER_RESPONSE_AUDIO, "req-3");
    mismatched.set_type(wire::MESSAGE_SERVER_RESPONSE_ANIMATION);
    seeds.push_back(frame({binary(mismatched)}));
    // Text that is not Base64: the envelope in protobuf's JSON form, and a line break.
    std::string json;
    (void)google::protobuf::util::MessageToJsonString(envelope(wire::MESSAGE_SERVER_RESPONSE_ANIMATION, "req-4"), &json);
    seeds.push_back(frame({text(json)}));
    seeds.push_back(frame({text(fuzz::base64(binary(envelope(wire::MESSAGE_ERROR, "x")).bytes) + "\n")}));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    static const MvCharacterBufferProvider provider(Mivo::AssetPaths{}, platform::audio::AudioFormat::standard(16000, 1));
    auto service = std::make_shared<MvCharacterAudiovisualService>();
    auto recorder = std::make_shared<Recorder>();
    service->delegate = recorder;

    std::vector<std::uint8_t> pending; // speech not yet played: the player keeps an odd byte back
    for (const auto& received : split(data, size)) {
        // As the receive loop hands messages on: text only when it is Base64.
        std::optional<std::vector<std::uint8_t>> bytes = received.bytes;
        if (received.text) bytes = decodeBase64(std::string_view(reinterpret_cast<const char*>(received.bytes.data()), received.bytes.size()));
        const std::size_t before = recorder->events.size();
        if (bytes) fuzz::endsWithOnly<>("MvCharacterAudiovisualService::handleMessageData", [&] { service->handleMessageData(*bytes); });
        const std::size_t given = recorder->events.size() - before;

        wire::Message message;
        const bool decodes = bytes && decodeMessage(message, *bytes);
        const std::size_t expected = decodes && givesEvent(message.type()) ? 1 : 0;
        if (given != expected) fuzz::fail("a message gave " + std::to_string(given) + " events, not " + std::to_string(expected));
        if (given == 0) continue;
        const auto& event = recorder->events.back();
        checkEvent(message, event);

        // The player's buffers: whole 16-bit samples, each the sample over 32767.
        const auto* audio = std::get_if<Event::AudioData>(&event);
        if (!audio) continue;
        pending.insert(pending.end(), audio->data.begin(), audio->data.end());
        const std::size_t whole = pending.size() & ~std::size_t(1);
        std::shared_ptr<platform::audio::PCMBuffer> buffer;
        fuzz::endsWithOnly<>("MvCharacterBufferProvider::makeAudioBuffer",
                             [&] { buffer = provider.makeAudioBuffer(std::span<const std::uint8_t>(pending.data(), whole)); });
        if (!buffer || buffer->frameLength() != whole / 2) fuzz::fail("the audio buffer does not hold one frame per sample");
        const float* samples = buffer->floatChannelData(0);
        for (std::size_t i = 0; i < whole / 2; ++i) {
            std::int16_t sample;
            std::memcpy(&sample, pending.data() + 2 * i, 2);
            if (samples[i] != float(sample) / 32767.0f) fuzz::fail("an audio sample is not its value over 32767");
        }
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(whole));
    }
    if (recorder->connectionChanges != 0) fuzz::fail("received messages changed the connection");
    return 0;
}
