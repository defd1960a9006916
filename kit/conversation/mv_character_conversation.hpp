#pragma once
// One utterance that the player plays: its identifier, the speech audio received and not yet handed
// to playback (16-bit PCM bytes as they arrived), the queue of FLAME frames, how its end is
// recognised, and the lookup of a frame by absolute index with which the render loop follows the
// audio clock.
//
// A reference object of the player's, used on the main thread only. Writers of audioData and of
// the received-all flag call the player's appends and setReceivedAllData(), which wake the audio
// scheduling through changed().

#include "kit/model/flame_frame_data.hpp"
#include "platform/dispatch/async_task.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

class MvCharacterConversation {
public:
    enum class EndType {
        receivedAllData,      // playback ends when no audio is pending and all data has arrived
        finishedPlayingAudio, // playback ends when no audio is pending
    };

    MvCharacterConversation(std::string id, std::vector<std::uint8_t> audioData,
                            std::vector<FlameFrameData> frameDataQueue, bool receivedAllData, EndType endType,
                            bool enableLimitFrameDataCount);

    // The frame at absolute index `index`. With the limit on, frames before it are dropped and
    // frameDataOffset moves to it; without, nothing changes and any index may be looked up.
    std::optional<FlameFrameData> frame(std::int64_t index);

    bool receivedAllData() const { return receivedAllData_; }
    // Wakes whoever waits on changed() when the value changes.
    void setReceivedAllData(bool value);

    // Empties the audio and the frames (when the player discards the conversation).
    void clear();

    // Notified when audio arrives or the received-all flag changes.
    platform::dispatch::AsyncEvent& changed() { return changed_; }

    const std::string id;
    std::vector<std::uint8_t> audioData;
    std::deque<FlameFrameData> frameDataQueue;
    const EndType endType;
    const bool enableLimitFrameDataCount;
    std::int64_t frameDataOffset = 0; // absolute index of frameDataQueue's first frame

private:
    bool receivedAllData_;
    platform::dispatch::AsyncEvent changed_;
};

} // namespace MivoKit
