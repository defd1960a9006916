// The kit's main job on this machine: a spoken conversation with the synthetic talking head.
//
// The local service peer plays the server side on 127.0.0.1 (TLS). The character is fetched and
// unpacked by the kit's loader, as an application would; a character manager connects to the
// audiovisual (or animation) service and sends one utterance; the head answers with speech and
// keyframes that the player plays in step on the audio clock. Frames are drawn by the direct
// splat renderer on the software GPU, as the kit's view pulls them, and written as PNG files.
//
//   mivo_demo --help

#include "kit/conversation/mv_character_manager.hpp"
#include "kit/loader/mv_character_loader.hpp"
#include "kit/service/wire_format.hpp"
#include "platform/audio/audio_device.hpp"
#include "platform/audio/wav_file.hpp"
#include "platform/files/directories.hpp"
#include "platform/net/trust_store.hpp"
#include "tools/demo/contact_sheet_frames.hpp"
#include "tools/demo/demo_options.hpp"
#include "tools/demo/demo_scene.hpp"
#include "tools/demo/frame_writer.hpp"
#include "kit/view/mv_character_view.hpp"
#include "platform/ui/view_host.hpp"
#include "tools/demo/image_files.hpp"
#include "tools/demo/measuring_provider.hpp"
#include "tools/demo/stop_signals.hpp"
#include "tools/demo/sync_meter.hpp"
#include "tools/demo/sync_plot.hpp"
#include "tools/service_peer/jaw_track.hpp"
#include "tools/service_peer/keyframe_source.hpp"
#include "tools/service_peer/reply_voice.hpp"
#include "tools/service_peer/reply_wav.hpp"
#include "tools/service_peer/service_peer.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <csignal>
#include <iostream>
#include <thread>

using namespace MivoKit;

namespace dispatch = platform::dispatch;
namespace fs = std::filesystem;
using namespace demo;

namespace {

constexpr int sampleRate = 16000;
// The contact sheet: every fifth frame from the first that shows the head, a quarter of its size,
// at most forty.
constexpr std::uint32_t kContactSheetEvery = 5, kContactSheetShrink = 4;
constexpr std::size_t kContactSheetFrames = 40;
const dispatch::Nanoseconds demoStart = dispatch::monotonicNow();

double secondsSinceStart() { return std::chrono::duration<double>(dispatch::monotonicNow() - demoStart).count(); }

template <class... Args>
void say(const char* format, Args... args) {
    std::printf("[%6.2f s] ", secondsSinceStart());
    if constexpr (sizeof...(Args) == 0) std::fputs(format, stdout); // no format to read: printed as is
    else std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
}

const char* text(Mivo::ConnectionState s) {
    constexpr const char* names[] = {"disconnected", "connecting", "connected", "failed"};
    return names[int(s)];
}
const char* text(Mivo::ConversationState s) {
    constexpr const char* names[] = {"idle", "starting", "active", "closing"};
    return names[int(s)];
}

// What the application hears from the manager: printed as it happens, and measured.
struct DemoDelegate : MvCharacterManagerDelegate {
    SyncMeter& meter;
    std::vector<std::uint8_t> replyAudio;
    bool played = false, stopped = false, failed = false;
    std::optional<dispatch::Nanoseconds> endedAt;

    explicit DemoDelegate(SyncMeter& meter) : meter(meter) {}

    void characterManager(MvCharacterManager&, Mivo::ConnectionState state) override { say("connection: %s", text(state)); }
    void characterManager(MvCharacterManager&, Mivo::ConversationState state) override {
        say("conversation: %s", text(state));
    }
    void characterManager(MvCharacterManager&, Mivo::PlayerState state) override {
        say("player: %s", state == Mivo::PlayerState::playing ? "playing" : "idle");
        if (state == Mivo::PlayerState::playing) {
            played = true;
            meter.playbackStarted();
        } else if (played) {
            stopped = true;
            endedAt = dispatch::monotonicNow();
            meter.playbackStopped();
        }
    }
    void characterManager(MvCharacterManager&, const std::vector<std::uint8_t>& audio) override {
        replyAudio.insert(replyAudio.end(), audio.begin(), audio.end());
    }
    void characterManager(MvCharacterManager&, const std::vector<FlameFrameData>& frames) override {
        meter.keyframesArrived(frames);
    }
    void characterManager(MvCharacterManager&, const Mivo::Error& error) override {
        say("error %d: %s", Mivo::rawValue(error.type()), error.reason().c_str());
        failed = true;
        if (!endedAt) endedAt = dispatch::monotonicNow();
    }
};

bool displayExists() {
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if (driver && (std::string(driver) == "offscreen" || std::string(driver) == "dummy")) return false;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// SDL2 where a device opens, else the paced virtual device writing what it plays to a file.
std::shared_ptr<platform::audio::AudioDevice> chooseAudioDevice(const Options& options) {
    using namespace platform::audio;
    AudioDeviceOptions device;
    device.drivers = options.audio == "auto" ? "sdl,wav" : options.audio;
    device.playbackMustOpen = true;
    device.outputWavPath = options.output / "played.wav";
    device.inputWavPath = options.microphone;
    auto chosen = makeAudioDevice(device);
    if (chosen->driverName() == "sdl") say("audio: SDL2");
    else if (options.audio == "auto")
        say("audio: no sound device: playing in real time into %s", (options.output / "played.wav").c_str());
    return chosen;
}

service_peer::PcmAudio utteranceOf(const Options& options) {
    if (options.utterance) return service_peer::readReplyWav(*options.utterance, sampleRate);
    return service_peer::makeReplyVoice(sampleRate);
}

std::vector<std::uint8_t> bytesOf(const service_peer::PcmAudio& audio) { return audio.bytes(0, audio.samples.size()); }

// Frames for local playback, made as the peer makes them: the jaw follows the speech's loudness.
std::vector<FlameFrameData> localFrames(const fs::path& characterDirectory, const service_peer::PcmAudio& speech) {
    const service_peer::KeyframeSource source(characterDirectory);
    api::realtime::v1::FlameAnimation animation;
    for (float jaw : service_peer::jawTrack(speech)) *animation.add_keyframes() = source.keyframe(jaw);
    return convertKeyframes(animation.keyframes());
}

const char* signalName(int number) { return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "a signal"; }

// Runs the main queue until `done()` holds or `seconds` pass; false when the window was closed or
// a stop signal came (with `stop`: the closing steps pass none, as they must run to their end).
bool runUntil(const std::function<bool()>& done, double seconds, platform::ui::ViewHost* window,
              StopSignals* stop = nullptr) {
    const auto deadline = dispatch::monotonicNow() + std::chrono::duration_cast<dispatch::Nanoseconds>(dispatch::Seconds(seconds));
    const auto stopped = [stop] { return stop && stop->received(); };
    const auto doneOrStopped = [&] { return done() || stopped(); };
    while (!doneOrStopped() && dispatch::monotonicNow() < deadline) {
        dispatch::pumpMainUntil(doneOrStopped, dispatch::Seconds(0.01));
        if (window && !window->pump()) return false;
    }
    return !stopped();
}

// Returns the stop signal that ended the conversation early, 0 when none did.
int run(const Options& options, StopSignals& stop) {
    fs::create_directories(options.output / "frames");
    for (const auto& entry : fs::directory_iterator(options.output / "frames")) fs::remove(entry.path());

    // ---- the server side ----
    service_peer::PeerOptions peerOptions;
    peerOptions.characterDirectory = builtDocumentsDirectory() / "MvCharacters" / "synthetic";
    peerOptions.mode = options.peerMode;
    peerOptions.replyWav = options.replyWav;
    peerOptions.sampleRate = sampleRate;
    service_peer::ServicePeer peer(peerOptions);
    say("service peer on %s (mode %s)", peer.origin().c_str(), std::string(toRaw(options.peerMode)).c_str());

    // ---- the application's set-up ----
    platform::net::addTrustedCertificate(peer.certificatePem());
    auto& sdk = MivoSDK::shared();
    sdk.setup(peerOptions.sessionKey,
              MivoSDK::Configuration(options.downgrade, options.requestTimeout, peer.audiovisualUrl()), std::nullopt, nullptr);
    sdk.set(peer.domain(), MivoSDK::Environment::release);
    platform::files::setDocumentsDirectory(fs::absolute(options.output / "Documents"));
    platform::audio::setSharedAudioDevice(chooseAudioDevice(options));

    say("loading the character \"synthetic\"");
    auto loaded = MvCharacterLoader::shared()
                      .loadCharacter("synthetic",
                                     [](const MvCharacterLoader::LoadState& state) {
                                         if (state.is<MvCharacterLoader::LoadState::Preparing>()) say("loader: preparing");
                                         if (const auto* d = state.as<MvCharacterLoader::LoadState::Downloading>())
                                             say("loader: downloaded %s (%d%%)", d->progress.resourceType.c_str(),
                                                 d->progress.percentage());
                                         if (state.is<MvCharacterLoader::LoadState::Extracting>()) say("loader: extracting");
                                         if (state.is<MvCharacterLoader::LoadState::Completed>()) say("loader: completed");
                                         if (state.is<MvCharacterLoader::LoadState::Failed>()) say("loader: failed");
                                     })
                      .get();
    if (!loaded) throw std::runtime_error("the character could not be loaded");

    // ---- the manager and what shows it ----
    SyncMeter meter;
    auto delegate = std::make_shared<DemoDelegate>(meter);
    auto manager = MvCharacterManager::create(*loaded, options.drive, platform::audio::AudioFormat::standard(sampleRate, 1));
    manager->setDelegate(delegate);
    manager->setEyeTrackingLogic(std::make_shared<EyeTrackingLogic>(simd::float3{0, 0, 0}, simd::float3{0, 0, 0}));
    std::atomic<int> microphoneBuffers{0};
    manager->setRecordedAudioBuffer([&](const auto&, const auto&) { ++microphoneBuffers; });

    // The character on screen: the kit's view over the manager, its draw loop pulling the player
    // through a provider that measures.
    MvCharacterView characterView(manager, {}, {}, {}, [](Mivo::PlayerError) { say("view: the player reported an error"); });
    auto body = characterView.body();
    if (options.superResolution) body.content.renderMode = RenderMode::SR;
    auto measuring = std::make_shared<MeasuringProvider>(manager->characterPlayer(), meter);
    body.content.characterDataProvider = measuring;
    HostedCharacterView hosted(std::move(body));
    const auto gpuView = hosted.gpuView();
    measuring->setView(gpuView);
    say("view: %s rendering%s", options.superResolution ? "super-resolution" : "direct",
        hosted.coordinator()->renderer ? "" : " unavailable (no GPU device)");
    std::string noWindow;
    auto window = options.window && displayExists() ? platform::ui::ViewHost::open(gpuView, int(options.width), int(options.height),
                                                                                   "MivoKit demo", noWindow)
                                                    : nullptr;
    if (!window) {
        if (options.window) say("no window: %s", displayExists() ? noWindow.c_str() : "no display");
        gpuView->setDrawableSize(options.width, options.height);
    }
    // A writer per core the process may run on; beyond two frames held per
    // writer the GPU thread waits for one.
    const unsigned writers = dispatch::backgroundThreadCount();
    FrameWriter frameWriter(writers, 2 * std::size_t(writers));
    ContactSheetFrames sheetFrames(kContactSheetEvery, kContactSheetFrames, kContactSheetShrink);
    gpuView->addPresentationSink([&](const platform::gpu::PresentedImage& presented) {
        const auto at = dispatch::monotonicNow();
        char name[32];
        std::snprintf(name, sizeof name, "frame_%04llu.png", (unsigned long long)presented.number);
        RGBAImage image{presented.width, presented.height, presented.rgba};
        if (sheetFrames.add(image))
            dispatch::postMain([number = presented.number] { say("view: frame %llu is the first that shows the head", number); });
        frameWriter.write(options.output / "frames" / name, std::move(image));
        dispatch::postMain([&meter, draw = presented.drawNumber, at] { meter.framePresented(draw, at); });
    });

    // ---- the conversation ----
    const auto utterance = utteranceOf(options);
    bool open = true;
    if (options.drive != Mivo::DriveServiceType::none) {
        manager->start();
        open = runUntil([&] { return manager->connectionState() == Mivo::ConnectionState::connected || delegate->failed; },
                        15, window.get(), &stop);
        if (open && manager->connectionState() != Mivo::ConnectionState::connected)
            throw std::runtime_error("could not connect");
    }
    open = open && runUntil([] { return false; }, 1.0, window.get(), &stop); // the head idles a moment
    std::vector<std::uint8_t> spoken; // what the head speaks, for reply.wav and the plot
    if (open) {
        say("sending an utterance of %.2f s", utterance.seconds());
        if (options.drive == Mivo::DriveServiceType::none) {
            auto frames = localFrames(loaded->assetPaths().characterUrl->parent_path(), utterance);
            meter.keyframesArrived(frames);
            manager->start(bytesOf(utterance), std::move(frames));
        } else {
            manager->sendAudioData(bytesOf(utterance));
        }
    }
    std::shared_ptr<dispatch::Timer> interruption;
    bool interrupted = false;
    const auto finished = [&] {
        if (!interruption && options.interruptAfter && delegate->played)
            interruption = dispatch::Timer::scheduleOnMain(dispatch::Seconds(*options.interruptAfter), [&] {
                say("interrupting");
                interrupted = true;
                manager->interrupt();
            });
        // A second after the reply ended (or failed), so the face is back at rest.
        return delegate->endedAt && dispatch::monotonicNow() - *delegate->endedAt > std::chrono::seconds(1);
    };
    open = open && runUntil(finished, 60, window.get(), &stop);
    const auto stoppedBy = stop.received();
    if (stoppedBy) say("%s: closing and writing the files (a second one ends the demo at once)", signalName(*stoppedBy));
    else if (!finished()) say(open ? "the reply did not end within a minute" : "the window was closed");

    if (interruption) interruption->cancel();
    manager->close(true);
    runUntil([&] { return manager->connectionState() == Mivo::ConnectionState::disconnected; }, 5, nullptr);
    gpuView->stopDisplayLink();
    runUntil([] { return false; }, 0.2, nullptr); // frames in flight are presented
    frameWriter.finish();
    dispatch::pumpMain();
    if (frameWriter.failures() > 0)
        throw std::runtime_error(std::to_string(frameWriter.failures()) + " frame(s) could not be written");

    // ---- what it made ----
    spoken = options.drive == Mivo::DriveServiceType::audiovisual ? delegate->replyAudio : bytesOf(utterance);
    platform::audio::writePCM16MonoWavFile(options.output / "reply.wav", spoken, sampleRate);
    const auto spokenAudio = service_peer::PcmAudio::fromBytes(spoken, sampleRate);
    writePNG(options.output / "sync_plot.png", plotEnvelopeAndJaw(spokenAudio.samples, sampleRate, meter.jawByClock()));
    const auto sheet = sheetFrames.sheet(8);
    if (sheet.width > 0) writePNG(options.output / "contact_sheet.png", sheet);

    const auto summary = meter.summary();
    std::printf("\n");
    say("frames presented: %llu, microphone buffers: %d%s", (unsigned long long)gpuView->presentedCount(),
        microphoneBuffers.load(), interrupted ? ", reply interrupted" : "");
    if (summary.firstKeyframeToScreenMs)
        say("first keyframe received -> first frame of the reply on screen: %.1f ms", *summary.firstKeyframeToScreenMs);
    if (summary.framesShown) say("frames shown while speaking: %.1f per second", summary.framesPerSecond);
    if (summary.worstClockOffsetFrames)
        say("largest offset between the frame shown and the audio clock: %.0f frame(s) (the frame drawn trailed "
            "the clock by at most %.0f ms)",
            *summary.worstClockOffsetFrames, summary.worstLagMs.value_or(0));
    const auto out = fs::absolute(options.output).lexically_normal().string();
    std::printf("\nFrames:        %s/frames/frame_*.png\n", out.c_str());
    if (sheet.width > 0) std::printf("Contact sheet: %s/contact_sheet.png\n", out.c_str());
    else std::printf("Contact sheet: none, no frame showed the head\n");
    std::printf("Lip sync plot: %s/sync_plot.png (grey: loudness, red: jaw)\nReply audio:   %s/reply.wav\n", out.c_str(),
                out.c_str());
    platform::audio::setSharedAudioDevice(nullptr);
    return stoppedBy.value_or(0);
}

} // namespace

int main(int argc, char** argv) {
    StopSignals stop; // before any thread starts, so that every thread leaves the signals to it
    demo::limitAllocatorRetention();
    try {
        if (const int signal = run(parseOptions(argc, argv), stop)) StopSignals::endProcess(signal);
        return 0;
    } catch (const HelpRequested&) {
        std::cout << usage;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "mivo_demo: " << e.what() << "\n";
        return 1;
    }
}
