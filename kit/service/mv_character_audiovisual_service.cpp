#include "kit/service/mv_character_audiovisual_service.hpp"

#include "kit/service/proto/realtime.pb.h"
#include "kit/service/wire_format.hpp"

namespace MivoKit {

namespace realtimeWire = api::realtime::v1;

void MvCharacterAudiovisualService::sendAudio(const std::string& reqID, const std::vector<std::uint8_t>& audio,
                                              std::function<void(bool)> completion) {
    realtimeWire::Message message;
    message.set_type(realtimeWire::MESSAGE_CLIENT_USER_SPEECH_END);
    auto* speech = message.mutable_client_speech_end();
    speech->set_req_id(reqID);
    speech->set_audio(audio.data(), audio.size());
    sendMessage(encodeMessage(message), std::move(completion));
}

// A reply is open from its start to its end: every piece of it stops the request timer, as every
// message does, and arms it again for the next piece, so that a reply which stops half-way is
// reported as a timeout instead of playing on for ever with nobody told. Its end, or an error,
// leaves the timer stopped.
void MvCharacterAudiovisualService::awaitRestOfReply() { startRequestTimeoutTimer(); }

void MvCharacterAudiovisualService::handleMessageData(std::span<const std::uint8_t> data) {
    realtimeWire::Message message;
    if (!decodeMessage(message, data)) return;
    // Dispatch on the type; a member other than the one it names reads as its default value.
    switch (message.type()) {
    case realtimeWire::MESSAGE_ERROR:
        sendEvent(errorEvent(message.error()));
        break;
    case realtimeWire::MESSAGE_SERVER_RESPONSE_START:
        sendEvent(MvCharacterServiceEvent::ResponseStart{message.server_response_start().req_id()});
        awaitRestOfReply();
        break;
    case realtimeWire::MESSAGE_SERVER_RESPONSE_END:
        sendEvent(MvCharacterServiceEvent::ResponseEnd{message.server_response_end().req_id()});
        break;
    case realtimeWire::MESSAGE_SERVER_RESPONSE_AUDIO: {
        const auto& audio = message.server_response_audio();
        sendEvent(MvCharacterServiceEvent::AudioData{std::vector<std::uint8_t>(audio.audio().begin(), audio.audio().end()),
                                                     audio.req_id()});
        awaitRestOfReply();
        break;
    }
    case realtimeWire::MESSAGE_SERVER_RESPONSE_ANIMATION:
        sendEvent(animationFramesEvent(message.server_response_animation()));
        awaitRestOfReply();
        break;
    default:
        break;
    }
}

} // namespace MivoKit
