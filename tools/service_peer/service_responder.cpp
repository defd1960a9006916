#include "tools/service_peer/service_responder.hpp"

#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/proto/realtime.pb.h"
#include "kit/service/wire_format.hpp"
#include "tools/service_peer/jaw_track.hpp"

#include <algorithm>

using namespace MivoKit;

namespace realtime = api::realtime::v1;
namespace ingress = api::driven_ingress::v1;

namespace service_peer {
namespace {

constexpr std::size_t kKeyframesPerPiece = 5; // 200 ms of audio
constexpr double kPieceSeconds = double(kKeyframesPerPiece) / kKeyframesPerSecond;
constexpr std::size_t kPiecesBeforeCut = 5; // the reply's first second, in the drop and stall modes
constexpr int kErrorCode = 500;
constexpr const char* kErrorReason = "the local service peer answers every utterance with an error";

// A step sending one envelope of type `type` that `fill` completes, due `due` seconds into the reply.
template <class Envelope, class Type, class Fill>
ReplyStep step(Type type, double due, Fill&& fill) {
    Envelope envelope;
    envelope.set_type(type);
    fill(envelope);
    const auto bytes = encodeMessage(envelope);
    ReplyStep s;
    s.message.assign(bytes.begin(), bytes.end());
    s.sent.type = type;
    s.sent.due = due;
    return s;
}

// The PCM samples of a protobuf bytes field.
PcmAudio audioOf(const std::string& bytes, int sampleRate) {
    return PcmAudio::fromBytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), sampleRate);
}

// The animation message carrying keyframes [first, last) of the jaw track, in either envelope.
ReplyStep animationStep(WireProtocol protocol, const std::string& reqId, const KeyframeSource& source,
                        const std::vector<float>& jaw, std::size_t first, std::size_t last, double due) {
    std::vector<SentKeyframe> sent;
    auto fill = [&](auto& envelope) {
        auto* answer = envelope.mutable_server_response_animation();
        answer->set_req_id(reqId);
        for (std::size_t k = first; k < last; ++k) {
            *answer->mutable_animation()->add_keyframes() = source.keyframe(jaw[k]);
            sent.push_back({double(k) / kKeyframesPerSecond, jaw[k]});
        }
    };
    ReplyStep s = protocol == WireProtocol::realtime
                      ? step<realtime::Message>(realtime::MESSAGE_SERVER_RESPONSE_ANIMATION, due, fill)
                      : step<ingress::Message>(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION, due, fill);
    s.sent.keyframes = sent.size();
    s.keyframes = std::move(sent);
    return s;
}

ReplyStep audioStep(const std::string& reqId, const std::vector<std::uint8_t>& audio, double due) {
    auto fill = [&](realtime::Message& m) {
        m.mutable_server_response_audio()->set_req_id(reqId);
        m.mutable_server_response_audio()->set_audio(audio.data(), audio.size());
    };
    ReplyStep s = step<realtime::Message>(realtime::MESSAGE_SERVER_RESPONSE_AUDIO, due, fill);
    s.sent.audioBytes = audio.size();
    return s;
}

} // namespace

ServiceResponder::ServiceResponder(PeerMode mode, double pace, PcmAudio replyAudio, KeyframeSource keyframes)
    : mode_(mode), pace_(pace), replyAudio_(std::move(replyAudio)), keyframes_(std::move(keyframes)) {}

ServiceResponder::Answer ServiceResponder::respond(WireProtocol protocol, std::span<const std::uint8_t> message) const {
    Answer answer;
    answer.received.protocol = protocol;
    std::optional<PcmAudio> userAudio;
    if (protocol == WireProtocol::realtime) {
        realtime::Message envelope;
        answer.received.decoded = decodeMessage(envelope, message);
        answer.received.type = envelope.type();
        if (envelope.type() == realtime::MESSAGE_CLIENT_USER_SPEECH_START) {
            answer.received.reqId = envelope.client_speech_start().req_id();
        } else if (envelope.type() == realtime::MESSAGE_CLIENT_USER_SPEECH_END) {
            const auto& speech = envelope.client_speech_end();
            answer.received.reqId = speech.req_id();
            answer.received.audioBytes = speech.audio().size();
            userAudio = audioOf(speech.audio(), replyAudio_.sampleRate);
        }
    } else {
        ingress::Message envelope;
        answer.received.decoded = decodeMessage(envelope, message);
        answer.received.type = envelope.type();
        if (envelope.type() == ingress::MESSAGE_CLIENT_AUDIO_INPUT) {
            const auto& input = envelope.client_audio_input();
            answer.received.reqId = input.req_id();
            answer.received.audioBytes = input.audio().size();
            // Only a whole utterance is answered.
            if (input.end()) userAudio = audioOf(input.audio(), replyAudio_.sampleRate);
        }
    }
    if (!userAudio || mode_ == PeerMode::silent) return answer;
    const std::string& reqId = answer.received.reqId;
    if (mode_ == PeerMode::error) {
        answer.reply = errorReply(protocol, reqId);
    } else {
        // The audiovisual drive speaks the reply; the animation drive animates the user's own audio.
        answer.reply = plan(protocol, reqId, protocol == WireProtocol::realtime ? replyAudio_ : *userAudio);
    }
    return answer;
}

ReplyScript ServiceResponder::plan(WireProtocol protocol, const std::string& reqId, const PcmAudio& speech) const {
    const bool speaks = protocol == WireProtocol::realtime;
    const auto jaw = jawTrack(speech);
    const double secondsPerSecond = pace_ * (mode_ == PeerMode::slow ? 2.0 : 1.0);
    const std::size_t pieces = (jaw.size() + kKeyframesPerPiece - 1) / kKeyframesPerPiece;
    // A drop or a stall comes partway: after the first second, and never after the last piece.
    const bool cut = mode_ == PeerMode::drop || mode_ == PeerMode::stall;
    const std::size_t sentPieces = cut ? std::min(kPiecesBeforeCut, pieces > 0 ? pieces - 1 : 0) : pieces;
    auto dueOf = [&](std::size_t piece) { return double(piece) * kPieceSeconds * secondsPerSecond; };

    // The response start or end of the audiovisual drive.
    auto boundary = [&](realtime::MessageType type, double due) {
        auto fill = [&](realtime::Message& m) {
            if (type == realtime::MESSAGE_SERVER_RESPONSE_START) m.mutable_server_response_start()->set_req_id(reqId);
            else m.mutable_server_response_end()->set_req_id(reqId);
        };
        return step<realtime::Message>(type, due, fill);
    };

    ReplyScript script{protocol, reqId, {}};
    if (speaks) script.steps.push_back(boundary(realtime::MESSAGE_SERVER_RESPONSE_START, 0));
    for (std::size_t piece = 0; piece < sentPieces; ++piece) {
        const std::size_t first = piece * kKeyframesPerPiece;
        const std::size_t last = std::min(first + kKeyframesPerPiece, jaw.size());
        if (speaks) {
            const std::size_t from = keyframeStart(first, speech.sampleRate);
            script.steps.push_back(
                audioStep(reqId, speech.bytes(from, keyframeStart(last, speech.sampleRate) - from), dueOf(piece)));
        }
        script.steps.push_back(animationStep(protocol, reqId, keyframes_, jaw, first, last, dueOf(piece)));
    }
    if (mode_ == PeerMode::drop) {
        ReplyStep drop;
        drop.drop = true;
        drop.sent.due = dueOf(sentPieces);
        script.steps.push_back(std::move(drop));
    } else if (speaks && !cut) {
        script.steps.push_back(boundary(realtime::MESSAGE_SERVER_RESPONSE_END, dueOf(pieces > 0 ? pieces - 1 : 0)));
    }
    return script;
}

ReplyScript ServiceResponder::errorReply(WireProtocol protocol, const std::string& reqId) const {
    auto fill = [&](auto& envelope) {
        auto* error = envelope.mutable_error();
        error->set_req_id(reqId);
        error->set_code(kErrorCode);
        error->set_reason(kErrorReason);
    };
    ReplyScript script{protocol, reqId, {}};
    script.steps.push_back(protocol == WireProtocol::realtime ? step<realtime::Message>(realtime::MESSAGE_ERROR, 0, fill)
                                                              : step<ingress::Message>(ingress::MESSAGE_ERROR, 0, fill));
    return script;
}

} // namespace service_peer
