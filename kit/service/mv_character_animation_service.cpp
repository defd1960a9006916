#include "kit/service/mv_character_animation_service.hpp"

#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/wire_format.hpp"

namespace MivoKit {

namespace ingressWire = api::driven_ingress::v1;

void MvCharacterAnimationService::sendAudio(const std::string& reqID, const std::vector<std::uint8_t>& audio,
                                            std::function<void(bool)> completion) {
    ingressWire::Message message;
    message.set_type(ingressWire::MESSAGE_CLIENT_AUDIO_INPUT);
    auto* input = message.mutable_client_audio_input();
    input->set_req_id(reqID);
    input->set_audio(audio.data(), audio.size());
    input->set_end(true);
    sendMessage(encodeMessage(message), std::move(completion));
}

void MvCharacterAnimationService::handleMessageData(std::span<const std::uint8_t> data) {
    ingressWire::Message message;
    if (!decodeMessage(message, data)) return;
    // Dispatch on the type; a member other than the one it names reads as its default value.
    switch (message.type()) {
    case ingressWire::MESSAGE_ERROR:
        sendEvent(errorEvent(message.error()));
        break;
    case ingressWire::MESSAGE_SERVER_RESPONSE_ANIMATION:
        sendEvent(animationFramesEvent(message.server_response_animation()));
        break;
    default:
        break;
    }
}

} // namespace MivoKit
