#include "kit/conversation/mv_character_conversation.hpp"

namespace MivoKit {

MvCharacterConversation::MvCharacterConversation(std::string id, std::vector<std::uint8_t> audioData,
                                                 std::vector<FlameFrameData> frameDataQueue, bool receivedAllData,
                                                 EndType endType, bool enableLimitFrameDataCount)
    : id(std::move(id)), audioData(std::move(audioData)),
      frameDataQueue(std::make_move_iterator(frameDataQueue.begin()), std::make_move_iterator(frameDataQueue.end())),
      endType(endType), enableLimitFrameDataCount(enableLimitFrameDataCount), receivedAllData_(receivedAllData) {}

std::optional<FlameFrameData> MvCharacterConversation::frame(std::int64_t index) {
    const auto count = static_cast<std::int64_t>(frameDataQueue.size());
    if (!enableLimitFrameDataCount) {
        if (index < 0 || index >= count) return std::nullopt;
        return frameDataQueue[static_cast<std::size_t>(index)];
    }
    // Checked before subtracting, so extreme indices cannot overflow.
    if (index < frameDataOffset || index - frameDataOffset >= count) return std::nullopt;
    const auto k = static_cast<std::size_t>(index - frameDataOffset);
    frameDataOffset = index;
    FlameFrameData result = frameDataQueue[k];
    frameDataQueue.erase(frameDataQueue.begin(), frameDataQueue.begin() + static_cast<std::ptrdiff_t>(k));
    return result;
}

void MvCharacterConversation::setReceivedAllData(bool value) {
    if (receivedAllData_ == value) return;
    receivedAllData_ = value;
    changed_.notify();
}

void MvCharacterConversation::clear() {
    audioData.clear();
    frameDataQueue.clear();
}

} // namespace MivoKit
