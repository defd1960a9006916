// One audiovisual reply from the local service peer (TLS, real time), played by the paced virtual
// device and shown through the kit's view (its draw loop pulls 30 times a second, three frames in
// flight, direct renderer): the time from the first keyframe received to the first frame of the reply on
// screen, the largest offset between the keyframe drawn and the audio clock, and the frames shown per
// second while the head speaks, and the shares of draws that converted and sorted the splats. The
// first figure is split at the pull of the reply's first frame: keyframe to pull (the player's
// tick, posing, publishing, the draw that pulls) and pull to screen (the next draw, the frames in
// flight before it, drawing).
// Argument: the frame width (height 798/690 of it); a small frame is the baseline that shows what
// drawing costs. Across repetitions it reports medians and 95th percentiles (p95).
//
//   build/bench/conversation/bench_reply_latency --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
//   (taskset -c 0,1 ... for two cores)

#include "kit/conversation/mv_character_manager.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/files/directories.hpp"
#include "platform/net/trust_store.hpp"
#include "tools/demo/demo_scene.hpp"
#include "kit/view/mv_character_view.hpp"
#include "kit/render/splat_renderer.hpp"
#include "tools/demo/measuring_provider.hpp"
#include "tools/demo/sync_meter.hpp"
#include "tools/service_peer/reply_voice.hpp"
#include "tools/service_peer/service_peer.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>

using namespace MivoKit;

namespace dispatch = platform::dispatch;

namespace {

struct Listener : MvCharacterManagerDelegate {
    demo::SyncMeter& meter;
    bool playing = false, stopped = false;
    std::optional<dispatch::Nanoseconds> firstKeyframeAt;
    explicit Listener(demo::SyncMeter& meter) : meter(meter) {}
    void characterManager(MvCharacterManager&, Mivo::ConnectionState) override {}
    void characterManager(MvCharacterManager&, Mivo::ConversationState) override {}
    void characterManager(MvCharacterManager&, Mivo::PlayerState state) override {
        if (state == Mivo::PlayerState::playing) playing = true, meter.playbackStarted();
        else stopped = true, meter.playbackStopped();
    }
    void characterManager(MvCharacterManager&, const std::vector<FlameFrameData>& frames) override {
        if (!firstKeyframeAt && !frames.empty()) firstKeyframeAt = dispatch::monotonicNow();
        meter.keyframesArrived(frames);
    }
    void characterManager(MvCharacterManager&, const Mivo::Error&) override {}
};

// Passes the measuring provider through and notes when the first frame of the reply (the first
// new frame pulled once playback started) was pulled, and by which draw it is shown. Main queue.
class PullTiming : public MvCharacterDataProvider {
public:
    PullTiming(std::shared_ptr<MvCharacterDataProvider> inner, const Listener& listener)
        : inner_(std::move(inner)), listener_(listener) {}
    void setView(std::shared_ptr<platform::gpu::GPUView> view) { view_ = std::move(view); }

    const std::optional<Mivo::VideoFrame>& currentVideoFrame() const override {
        const auto& frame = inner_->currentVideoFrame();
        if (!frame || !view_) return frame;
        const auto& buffer = frame->sharedBuffer();
        const bool isNew = last_.owner_before(buffer) || buffer.owner_before(last_);
        last_ = buffer;
        if (isNew && listener_.playing && !firstReplyDraw) {
            firstReplyDraw = view_->drawCount() + 1;
            firstReplyPulledAt = dispatch::monotonicNow();
        }
        return frame;
    }
    std::optional<Mivo::Transform>& frameTransform() override { return inner_->frameTransform(); }
    std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() override { return inner_->eyeTrackingLogic(); }

    mutable std::optional<std::uint64_t> firstReplyDraw;
    mutable std::optional<dispatch::Nanoseconds> firstReplyPulledAt;

private:
    std::shared_ptr<MvCharacterDataProvider> inner_;
    const Listener& listener_;
    std::shared_ptr<platform::gpu::GPUView> view_;
    mutable std::weak_ptr<const SplatMemoryBuffer> last_;
};

double milliseconds(dispatch::Nanoseconds from, dispatch::Nanoseconds to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The 95th percentile of the repetitions.
double p95(const std::vector<double>& values) {
    if (values.empty()) return 0;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, std::size_t(0.95 * double(sorted.size() - 1) + 0.5))];
}

void BM_ReplyOnScreen(benchmark::State& state) {
    const auto width = std::uint32_t(state.range(0));
    const auto height = std::uint32_t(state.range(0) * 798 / 690);
    service_peer::PeerOptions options;
    options.characterDirectory = demo::builtDocumentsDirectory() / "MvCharacters" / "synthetic";
    service_peer::ServicePeer peer(options);
    platform::net::addTrustedCertificate(peer.certificatePem());
    MivoSDK::shared().setup(options.sessionKey,
                            MivoSDK::Configuration(MivoSDK::DowngradePlan::none, std::nullopt, peer.audiovisualUrl()),
                            std::nullopt, nullptr);
    platform::files::setDocumentsDirectory(demo::builtDocumentsDirectory());
    const auto character = Mivo::Character::createCharacter("synthetic");
    const auto utterance = service_peer::makeReplyVoice(16000);

    for (auto _ : state) {
        platform::audio::AudioDeviceOptions deviceOptions;
        deviceOptions.drivers = "wav";
        platform::audio::setSharedAudioDevice(platform::audio::makeAudioDevice(deviceOptions));
        demo::SyncMeter meter;
        auto listener = std::make_shared<Listener>(meter);
        auto manager = MvCharacterManager::create(*character, Mivo::DriveServiceType::audiovisual,
                                                  platform::audio::AudioFormat::standard(16000, 1));
        manager->setDelegate(listener);
        auto body = MvCharacterView(manager).body();
        auto measuring = std::make_shared<demo::MeasuringProvider>(manager->characterPlayer(), meter);
        auto timing = std::make_shared<PullTiming>(measuring, *listener);
        body.content.characterDataProvider = timing;
        HostedCharacterView hosted(std::move(body));
        measuring->setView(hosted.gpuView());
        timing->setView(hosted.gpuView());
        hosted.gpuView()->setDrawableSize(width, height);
        std::optional<dispatch::Nanoseconds> firstReplyShownAt;
        hosted.gpuView()->addPresentationSink([&meter, &timing, &firstReplyShownAt](const platform::gpu::PresentedImage& image) {
            dispatch::postMain([&, draw = image.drawNumber, at = dispatch::monotonicNow()] {
                meter.framePresented(draw, at);
                if (timing->firstReplyDraw == draw) firstReplyShownAt = at;
            });
        });
        manager->start();
        dispatch::pumpMainUntil([&] { return manager->connectionState() == Mivo::ConnectionState::connected; },
                                dispatch::Seconds(10));
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(1)); // the head model loads, the idle loop runs
        manager->sendAudioData(utterance.bytes(0, utterance.samples.size()));
        dispatch::pumpMainUntil([&] { return listener->stopped; }, dispatch::Seconds(20));
        const auto& buffers =
            std::dynamic_pointer_cast<SplatRenderer>(hosted.coordinator()->renderer->splatRenderer())->bufferManager;
        const double draws = double(hosted.gpuView()->drawCount());
        state.counters["draws_converting_share"] = draws > 0 ? double(buffers.conversionsRun()) / draws : 0;
        state.counters["draws_sorting_share"] = draws > 0 ? double(buffers.sortsRun()) / draws : 0;
        manager->close(true);
        dispatch::pumpMainUntil([&] { return manager->connectionState() == Mivo::ConnectionState::disconnected; },
                                dispatch::Seconds(5));
        hosted.gpuView()->stopDisplayLink();
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(0.2));
        const auto summary = meter.summary();
        state.counters["first_keyframe_to_screen_ms"] = summary.firstKeyframeToScreenMs.value_or(-1);
        state.counters["worst_clock_offset_frames"] = summary.worstClockOffsetFrames.value_or(-1);
        state.counters["worst_lag_ms"] = summary.worstLagMs.value_or(-1);
        state.counters["frames_per_second"] = summary.framesPerSecond;
        const bool split = listener->firstKeyframeAt && timing->firstReplyPulledAt && firstReplyShownAt;
        state.counters["keyframe_to_pull_ms"] = split ? milliseconds(*listener->firstKeyframeAt, *timing->firstReplyPulledAt) : -1;
        state.counters["pull_to_screen_ms"] = split ? milliseconds(*timing->firstReplyPulledAt, *firstReplyShownAt) : -1;
        platform::audio::setSharedAudioDevice(nullptr);
    }
    platform::files::setDocumentsDirectory(std::nullopt);
    platform::net::clearTrustedCertificates();
}
BENCHMARK(BM_ReplyOnScreen)->Arg(690)->Arg(173)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1)->ComputeStatistics("p95", p95);

} // namespace
