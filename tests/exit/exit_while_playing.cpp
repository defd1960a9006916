// Quits while a conversation plays: speech on the audio device, frames posed on the background pool
// at 25 a second, and the character view drawing them on the software GPU. Where no playback
// device opens (a machine without a sound card) the speech plays in real time on the virtual device.
#include "tests/exit/exit_program.hpp"

#include "kit/conversation/mv_character_manager.hpp"
#include "kit/view/mv_character_view.hpp"
#include "platform/audio/audio_device.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace MivoKit;

// Keeps the first error the manager reports: the conversation cannot start after one.
struct FirstError final : MvCharacterManagerDelegate {
    std::string reason;
    void characterManager(MvCharacterManager&, Mivo::ConnectionState) override {}
    void characterManager(MvCharacterManager&, Mivo::ConversationState) override {}
    void characterManager(MvCharacterManager&, Mivo::PlayerState) override {}
    void characterManager(MvCharacterManager&, const Mivo::Error& error) override {
        if (reason.empty()) reason = "error " + std::to_string(Mivo::rawValue(error.type())) + ": " + error.reason();
    }
};

} // namespace

int main() {
    using namespace exitprogram;
    platform::audio::AudioDeviceOptions audio;
    audio.drivers = "sdl,wav";
    audio.playbackMustOpen = true;
    platform::audio::setSharedAudioDevice(platform::audio::makeAudioDevice(audio));

    const auto character = syntheticCharacter();
    const auto errors = std::make_shared<FirstError>();
    auto manager = MvCharacterManager::create(character, Mivo::DriveServiceType::none,
                                              platform::audio::AudioFormat::standard(16000, 1));
    manager->setDelegate(errors);
    const auto failure = [&] { return errors->reason; };
    HostedCharacterView hosted{MvCharacterView(manager)};
    hosted.gpuView()->setDrawableSize(138, 160);

    // Twenty seconds of a 220 Hz tone with the idle frames as its keyframes.
    std::vector<std::uint8_t> speech;
    for (int i = 0; i < 20 * 16000; ++i) {
        const auto sample = std::int16_t(8000 * std::sin(2 * 3.14159265 * 220 * i / 16000.0));
        speech.push_back(std::uint8_t(sample & 0xFF));
        speech.push_back(std::uint8_t((sample >> 8) & 0xFF));
    }
    std::vector<FlameFrameData> frames;
    for (int i = 0; i < 500; ++i) {
        const auto& idle = character.idleAnimation()->frames;
        frames.push_back(idle.at(std::size_t(i) % idle.size()));
    }
    pumpUntilRunning("the character loads", [&] { return manager->characterPlayer()->currentVideoFrame().has_value(); }, failure);
    manager->start(std::move(speech), std::move(frames));
    const auto shown = hosted.gpuView()->presentedCount();
    pumpUntilRunning("the conversation plays", [&] {
        return manager->playerState() == Mivo::PlayerState::playing && hosted.gpuView()->presentedCount() > shown &&
               backgroundWorkRuns();
    }, failure);
    return 0;
}
