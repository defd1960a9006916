// Ten seconds of conversation on the synthetic character, played in real time by the paced virtual
// device while the render loop computes the splats of every frame on all cores: the frames the loop
// publishes per second and the worst gap between two, how far the frame shown is from the audio
// clock, and whether the device ever started a period more than a period late (a real device
// would have run dry). The baseline runs the same device for the same time with no player.
//
//   build/bench/conversation/bench_conversation --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//   (taskset -c 0,1 ... for two cores)

#include "kit/conversation/mv_character_player.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/files/directories.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

using namespace MivoKit;

namespace {

using platform::dispatch::Nanoseconds;
constexpr double rate = 16000;
constexpr double conversationSeconds = 10;

Mivo::Character syntheticCharacter() {
    platform::files::setDocumentsDirectory(std::filesystem::path(MIVO_BENCH_DOCUMENTS_DIR));
    auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    if (!character) throw std::runtime_error("the synthetic character is missing");
    return std::move(*character);
}

std::vector<std::uint8_t> tone(double seconds) {
    std::vector<std::uint8_t> bytes(std::size_t(seconds * rate) * 2);
    for (std::size_t i = 0; i < bytes.size() / 2; ++i) {
        const auto sample = std::int16_t(8000 * std::sin(2 * M_PI * 180 * double(i) / rate));
        std::memcpy(bytes.data() + 2 * i, &sample, 2);
    }
    return bytes;
}

// Frame i carries its number in expr[0] (1000 + i), so the frame shown can be told.
std::vector<FlameFrameData> numberedFrames(const FlameFrameData& base, int count) {
    std::vector<FlameFrameData> frames(std::size_t(count), base);
    for (int i = 0; i < count; ++i) frames[std::size_t(i)].expr.at(0) = 1000.0f + float(i);
    return frames;
}

struct Watch : MvCharacterPlayerDelegate {
    bool playing = false, stopped = false;
    std::vector<Nanoseconds> publishedAt; // conversation frames only
    double worstOffset = 0;               // whole frames between the clock's frame and the frame shown
    double worstLag = 0;                  // how far the frame shown trailed the clock, in frames

    void characterPlayerDidStartPlaying(MvCharacterPlayer&) override { playing = true; }
    void characterPlayer(MvCharacterPlayer&, const std::shared_ptr<platform::audio::PCMBuffer>&,
                         const platform::audio::AudioTime&) override {}
    void characterPlayerDidStopPlaying(MvCharacterPlayer&) override { stopped = true; }
    void characterPlayer(MvCharacterPlayer&, Mivo::PlayerError) override {}
    void characterPlayerDidRenderFrame(MvCharacterPlayer& player) override {
        const float number = player.currentVideoFrame()->flameFrameData().expr.at(0);
        if (!playing || stopped || number < 1000.0f) return;
        publishedAt.push_back(platform::dispatch::monotonicNow());
        const auto renderTime = player.playerNode->lastRenderTime();
        const auto playerTime = renderTime ? player.playerNode->playerTime(*renderTime) : std::nullopt;
        if (!playerTime) return;
        const double clock = double(playerTime->sampleTime) / playerTime->sampleRate * 25.0;
        worstOffset = std::max(worstOffset, std::abs(std::floor(clock) - double(number - 1000.0f)));
        worstLag = std::max(worstLag, clock - double(number - 1000.0f));
    }
};

std::shared_ptr<platform::audio::VirtualAudioDevice> pacedDevice() {
    platform::audio::AudioDeviceOptions options;
    options.periodSeconds = 0.01;
    options.pace = 1.0;
    return std::make_shared<platform::audio::VirtualAudioDevice>(platform::audio::VirtualAudioDevice::Mode::paced,
                                                                 options);
}

void reportDevice(benchmark::State& state, const platform::audio::VirtualAudioDevice& device) {
    state.counters["late_periods"] = double(device.latePeriods());
    state.counters["max_lateness_ms"] = std::chrono::duration<double, std::milli>(device.maxLateness()).count();
}

void BM_ConversationInRealTime(benchmark::State& state) {
    const auto character = syntheticCharacter();
    const auto audio = tone(conversationSeconds);
    for (auto _ : state) {
        auto device = pacedDevice();
        platform::audio::setSharedAudioDevice(device);
        auto watch = std::make_shared<Watch>();
        auto player = MvCharacterPlayer::create(character, platform::audio::AudioFormat::standard(rate, 1), false);
        player->setDelegate(watch);
        // Let the head model load and the idle loop settle first.
        platform::dispatch::pumpMainUntil([] { return false; }, platform::dispatch::Seconds(0.5));
        player->startConversation("bench", audio,
                                  numberedFrames(character.idleAnimation()->frames.at(0), int(conversationSeconds * 25)));
        platform::dispatch::pumpMainUntil([&] { return watch->stopped; }, platform::dispatch::Seconds(conversationSeconds + 5));
        player->cleanup();
        player->shouldRunRenderLoop = false;
        player->renderLoopTask.cancel();
        platform::dispatch::pumpMainUntil([] { return false; }, platform::dispatch::Seconds(0.1));

        const auto& at = watch->publishedAt;
        double worstGap = 0;
        for (std::size_t i = 1; i < at.size(); ++i)
            worstGap = std::max(worstGap, std::chrono::duration<double, std::milli>(at[i] - at[i - 1]).count());
        const double span = at.size() > 1 ? std::chrono::duration<double>(at.back() - at.front()).count() : 0;
        state.counters["frames_per_second"] = span > 0 ? double(at.size() - 1) / span : 0;
        state.counters["worst_gap_ms"] = worstGap;
        state.counters["max_clock_offset_frames"] = watch->worstOffset;
        state.counters["max_lag_ms"] = watch->worstLag * 40.0;
        reportDevice(state, *device);
        platform::audio::setSharedAudioDevice(nullptr);
    }
}
BENCHMARK(BM_ConversationInRealTime)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// The same device playing the same time with nothing else running.
void BM_PacedDeviceAlone(benchmark::State& state) {
    const auto audio = tone(conversationSeconds);
    for (auto _ : state) {
        auto device = pacedDevice();
        platform::audio::AudioEngine engine(device);
        auto node = std::make_shared<platform::audio::AudioPlayerNode>();
        const auto format = platform::audio::AudioFormat::standard(rate, 1);
        engine.attach(node);
        engine.connect(node, engine.mainMixerNode(), format);
        engine.prepare();
        engine.start();
        auto buffer = platform::audio::PCMBuffer::make(format, std::uint32_t(audio.size() / 2));
        buffer->setFrameLength(buffer->frameCapacity());
        std::atomic<bool> done{false};
        node->scheduleBuffer(buffer, [&] { done = true; });
        node->play();
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        engine.stop();
        reportDevice(state, *device);
    }
}
BENCHMARK(BM_PacedDeviceAlone)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
