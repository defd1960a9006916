#pragma once
// The drive service of the animation type: sends the user's utterance to the animation service and
// receives FLAME keyframes only ("api.driven_ingress.v1" envelopes).

#include "kit/service/mv_character_service.hpp"

namespace MivoKit {

class MvCharacterAnimationService : public MvCharacterService {
public:
    // One "MESSAGE_CLIENT_AUDIO_INPUT" envelope with the whole utterance and `end` true.
    void sendAudio(const std::string& reqID, const std::vector<std::uint8_t>& audio,
                   std::function<void(bool)> completion) override;
    // Keyframes become animationFrames, a server error becomes error; everything else is ignored.
    void handleMessageData(std::span<const std::uint8_t> data) override;
};

} // namespace MivoKit
