#pragma once
// Answers what a client sends over either wire protocol: decodes each message for the record and
// plans the reply an utterance gets in the configured mode.
//
// An audiovisual utterance (MESSAGE_CLIENT_USER_SPEECH_END) is answered with a response start,
// then the reply audio in 200 ms pieces, each followed by the animation message with its five
// keyframes, then a response end. An animation-drive utterance (MESSAGE_CLIENT_AUDIO_INPUT with
// `end`) is answered with keyframes for the user's own audio only, in the same 200 ms pieces. A
// piece is due when its audio is: piece k at 0.2 k seconds times the pace (twice that in the slow
// mode). The drop and stall modes send the pieces of the reply's first second only, then drop the
// connection or, stalling, send nothing more (no response end). Every message carries the
// request's req_id. Other messages get no answer.
//
// Immutable after construction; respond() may be called from any thread (the peer calls it on its
// server thread).

#include "tools/service_peer/keyframe_source.hpp"
#include "tools/service_peer/pcm_audio.hpp"
#include "tools/service_peer/peer_options.hpp"
#include "tools/service_peer/reply_script.hpp"

#include <cstdint>
#include <optional>
#include <span>

using namespace MivoKit;

namespace service_peer {

class ServiceResponder {
public:
    struct Answer {
        ReceivedMessage received;
        std::optional<ReplyScript> reply; // none: nothing is sent
    };

    // `pace`: seconds of waiting per second of audio (0: no waiting). The audio's rate is the
    // session's, also for what clients send.
    ServiceResponder(PeerMode mode, double pace, PcmAudio replyAudio, KeyframeSource keyframes);

    Answer respond(WireProtocol protocol, std::span<const std::uint8_t> message) const;

    const PcmAudio& replyAudio() const { return replyAudio_; }
    const KeyframeSource& keyframes() const { return keyframes_; }

private:
    ReplyScript plan(WireProtocol protocol, const std::string& reqId, const PcmAudio& speech) const;
    ReplyScript errorReply(WireProtocol protocol, const std::string& reqId) const;

    PeerMode mode_;
    double pace_;
    PcmAudio replyAudio_;
    KeyframeSource keyframes_;
};

} // namespace service_peer
