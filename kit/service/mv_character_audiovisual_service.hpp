#pragma once
// The drive service of the audiovisual type: sends the user's utterance to the audiovisual service
// and receives synthesized speech and FLAME keyframes between a response start and a response end
// ("api.realtime.v1" envelopes).

#include "kit/service/mv_character_service.hpp"

namespace MivoKit {

class MvCharacterAudiovisualService : public MvCharacterService {
public:
    // One "MESSAGE_CLIENT_USER_SPEECH_END" envelope with the whole utterance.
    void sendAudio(const std::string& reqID, const std::vector<std::uint8_t>& audio,
                   std::function<void(bool)> completion) override;
    // Start, end, audio, keyframes and server errors become events; everything else is ignored.
    // While a reply is open (after its start or a piece, before its end) the request timer runs
    // again after each message, so a reply that stalls ends in a timeout.
    void handleMessageData(std::span<const std::uint8_t> data) override;

private:
    void awaitRestOfReply();
};

} // namespace MivoKit
