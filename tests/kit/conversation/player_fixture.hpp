#pragma once
// What the player and manager tests share: virtual time with the virtual audio device at 16 kHz in
// 10 ms periods, the synthetic character the build generates, speech made of known samples, and a
// delegate that records the player's notices with the virtual time they came at.

#include "kit/conversation/mv_character_player.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/dispatch/clock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace MivoKit;

namespace conversationtest {

using platform::dispatch::Nanoseconds;

constexpr double sampleRate = 16000;

// `seconds` of 16-bit mono PCM whose sample i is a distinct value (a slow ramp), so that the
// played audio can be compared sample by sample.
std::vector<std::uint8_t> speech(double seconds, int firstSample = 0);
// The float samples the player plays for those bytes.
std::vector<float> expectedSamples(const std::vector<std::uint8_t>& pcm);
// `count` conversation frames built on `base`: frame i has jaw_pose[0] = 0.01 * (i + 1) and
// expr[0] = 100 + i, so it can be recognised.
std::vector<FlameFrameData> conversationFrames(const FlameFrameData& base, int count);
// The frame's number as conversationFrames made it, else -1.
int conversationFrameNumber(const FlameFrameData& frame);
// True when both frames hold the same values in every list.
bool sameFrame(const FlameFrameData& a, const FlameFrameData& b);

// The synthetic character, read from the build's character directory.
Mivo::Character syntheticCharacter();

struct PlayerEvents : MvCharacterPlayerDelegate {
    struct Notice {
        std::string what; // "start", "stop", "render", "activeAudioSessionFailed", "startAudioEngineFailed"
        Nanoseconds at;
    };
    std::vector<Notice> notices;
    std::vector<FlameFrameData> rendered; // the frame of each render notice
    std::atomic<int> recordedBuffers{0};
    std::function<void(MvCharacterPlayer&)> onRender;

    std::vector<std::string> noticeNames(bool withRenders = false) const;
    Nanoseconds timeOf(const std::string& what, int occurrence = 0) const;

    void characterPlayerDidStartPlaying(MvCharacterPlayer&) override;
    void characterPlayer(MvCharacterPlayer&, const std::shared_ptr<platform::audio::PCMBuffer>&,
                         const platform::audio::AudioTime&) override;
    void characterPlayerDidStopPlaying(MvCharacterPlayer&) override;
    void characterPlayerDidRenderFrame(MvCharacterPlayer& player) override;
    void characterPlayer(MvCharacterPlayer&, Mivo::PlayerError error) override;
};

// Installs virtual time and the virtual device as the engines' device for each test.
class VirtualAudioTest : public ::testing::Test {
protected:
    VirtualAudioTest();
    ~VirtualAudioTest() override;

    // A player of the synthetic character in the 16 kHz mono float format, with `events` as delegate.
    std::shared_ptr<MvCharacterPlayer> makePlayer(bool enableVoiceRecord = false);
    // Ends the player's loop and audio, and lets its tasks finish.
    void shutDown(const std::shared_ptr<MvCharacterPlayer>& player);
    // Virtual time since the test began.
    Nanoseconds elapsed() const { return time.now() - start; }

    platform::dispatch::VirtualTime time;
    const Nanoseconds start;
    std::shared_ptr<platform::audio::VirtualAudioDevice> device;
    std::shared_ptr<PlayerEvents> events = std::make_shared<PlayerEvents>();
    Mivo::Character character;
};

} // namespace conversationtest
