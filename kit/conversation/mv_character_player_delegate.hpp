#pragma once
// The player's notices to its owner (held weakly). Each notice is sent only while the delegate is
// alive, and none waits for an answer. All run on the main thread, except the recorded buffers,
// which arrive on the thread that delivers the microphone's audio.

#include "kit/model/mivo.hpp"
#include "platform/audio/audio_time.hpp"
#include "platform/audio/pcm_buffer.hpp"

#include <memory>

namespace MivoKit {

class MvCharacterPlayer;

class MvCharacterPlayerDelegate {
public:
    virtual ~MvCharacterPlayerDelegate() = default;
    // Playback of a conversation started.
    virtual void characterPlayerDidStartPlaying(MvCharacterPlayer& player) = 0;
    // One microphone buffer, in the input's own format, with the audio time of its first frame.
    virtual void characterPlayer(MvCharacterPlayer& player, const std::shared_ptr<platform::audio::PCMBuffer>& didRecordAudioBuffer,
                                 const platform::audio::AudioTime& time) = 0;
    // Playback of a conversation stopped.
    virtual void characterPlayerDidStopPlaying(MvCharacterPlayer& player) = 0;
    // A new video frame was published.
    virtual void characterPlayerDidRenderFrame(MvCharacterPlayer& player) = 0;
    // An audio session could not be activated, or an audio engine could not be started.
    virtual void characterPlayer(MvCharacterPlayer& player, Mivo::PlayerError didEncounterError) = 0;
};

} // namespace MivoKit
