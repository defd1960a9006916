#include "tests/kit/conversation/player_fixture.hpp"

#include "platform/audio/audio_device.hpp"
#include "platform/audio/audio_session.hpp"
#include "platform/files/directories.hpp"

#include <cstring>

using namespace MivoKit;

namespace conversationtest {

std::vector<std::uint8_t> speech(double seconds, int firstSample) {
    const auto samples = static_cast<std::size_t>(seconds * sampleRate);
    std::vector<std::uint8_t> bytes(samples * 2);
    for (std::size_t i = 0; i < samples; ++i) {
        const auto value = static_cast<std::int16_t>((firstSample + static_cast<int>(i)) % 30000 - 15000);
        std::memcpy(bytes.data() + 2 * i, &value, 2);
    }
    return bytes;
}

std::vector<float> expectedSamples(const std::vector<std::uint8_t>& pcm) {
    std::vector<float> samples(pcm.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::int16_t value;
        std::memcpy(&value, pcm.data() + 2 * i, 2);
        samples[i] = float(value) / 32767.0f;
    }
    return samples;
}

std::vector<FlameFrameData> conversationFrames(const FlameFrameData& base, int count) {
    std::vector<FlameFrameData> frames;
    for (int i = 0; i < count; ++i) {
        FlameFrameData frame = base;
        frame.jaw_pose.at(0) = 0.01f * float(i + 1);
        frame.expr.at(0) = 100.0f + float(i);
        frames.push_back(frame);
    }
    return frames;
}

int conversationFrameNumber(const FlameFrameData& frame) {
    if (frame.expr.empty() || frame.expr[0] < 100.0f) return -1;
    return int(frame.expr[0] - 100.0f + 0.5f);
}

bool sameFrame(const FlameFrameData& a, const FlameFrameData& b) {
    return a.translation.x == b.translation.x && a.translation.y == b.translation.y &&
           a.translation.z == b.translation.z && a.rotation == b.rotation && a.expr == b.expr &&
           a.neck_pose == b.neck_pose && a.jaw_pose == b.jaw_pose && a.eyes_pose == b.eyes_pose && a.eyelid == b.eyelid;
}

Mivo::Character syntheticCharacter() {
    platform::files::setDocumentsDirectory(std::filesystem::path(MIVO_TEST_DOCUMENTS_DIR));
    auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    if (!character) throw std::runtime_error("the synthetic character is missing: build synthetic_flame_assets");
    return std::move(*character);
}

// ---- events ----

std::vector<std::string> PlayerEvents::noticeNames(bool withRenders) const {
    std::vector<std::string> names;
    for (const auto& n : notices)
        if (withRenders || n.what != "render") names.push_back(n.what);
    return names;
}

Nanoseconds PlayerEvents::timeOf(const std::string& what, int occurrence) const {
    for (const auto& n : notices)
        if (n.what == what && occurrence-- == 0) return n.at;
    ADD_FAILURE() << "no notice " << what;
    return Nanoseconds(-1);
}

void PlayerEvents::characterPlayerDidStartPlaying(MvCharacterPlayer&) {
    notices.push_back({"start", platform::dispatch::monotonicNow()});
}

void PlayerEvents::characterPlayer(MvCharacterPlayer&, const std::shared_ptr<platform::audio::PCMBuffer>&,
                                   const platform::audio::AudioTime&) {
    ++recordedBuffers;
}

void PlayerEvents::characterPlayerDidStopPlaying(MvCharacterPlayer&) {
    notices.push_back({"stop", platform::dispatch::monotonicNow()});
}

void PlayerEvents::characterPlayerDidRenderFrame(MvCharacterPlayer& player) {
    notices.push_back({"render", platform::dispatch::monotonicNow()});
    rendered.push_back(player.currentVideoFrame()->flameFrameData());
    if (onRender) onRender(player);
}

void PlayerEvents::characterPlayer(MvCharacterPlayer&, Mivo::PlayerError error) {
    notices.push_back({error == Mivo::PlayerError::activeAudioSessionFailed ? "activeAudioSessionFailed"
                                                                            : "startAudioEngineFailed",
                       platform::dispatch::monotonicNow()});
}

// ---- fixture ----

VirtualAudioTest::VirtualAudioTest() : start(time.now()), character(syntheticCharacter()) {
    platform::audio::AudioDeviceOptions options;
    options.periodSeconds = 0.01;
    device = std::make_shared<platform::audio::VirtualAudioDevice>(platform::audio::VirtualAudioDevice::Mode::manual,
                                                                   options);
    platform::audio::setSharedAudioDevice(device);
}

VirtualAudioTest::~VirtualAudioTest() {
    time.settle();
    platform::audio::setSharedAudioDevice(nullptr);
    platform::audio::AudioSession::sharedInstance().setBackend(nullptr);
}

std::shared_ptr<MvCharacterPlayer> VirtualAudioTest::makePlayer(bool enableVoiceRecord) {
    auto player = MvCharacterPlayer::create(character, platform::audio::AudioFormat::standard(sampleRate, 1),
                                            enableVoiceRecord);
    player->setDelegate(events);
    return player;
}

void VirtualAudioTest::shutDown(const std::shared_ptr<MvCharacterPlayer>& player) {
    player->cleanup();
    player->shouldRunRenderLoop = false;
    player->renderLoopTask.cancel();
    time.advance(std::chrono::milliseconds(50));
}

} // namespace conversationtest
