#pragma once
// The engine behind one character on screen. A render loop picks one FLAME frame 25 times a second
// (a transition frame, else the current conversation's frame at the playback clock, else the next
// idle frame), has the buffer provider turn it into splats off the main thread and publishes the
// result as the current video frame, which renderers pull through MvCharacterDataProvider. The
// audio side keeps two engines: the recording engine whose microphone tap hands every buffer to
// the delegate, and the playing engine whose player node plays a conversation's speech; only one
// runs at a time.
//
// Threads: everything here is called and runs on the main queue, except the eye tracking and splat
// computation (the render loop's background step, one frame at a time), the conversion of speech
// bytes (the scheduling task's background step), the start of the recording engine (its own
// task) and the microphone tap (the audio input thread).
//
// Lifetime: create() starts the render loop, which holds the player weakly until its first turn
// and strongly from then on, until shouldRunRenderLoop is false. The microphone tap holds the
// player until cleanup() removes it; the audio scheduling task while it runs.

#include "kit/conversation/frame_rate_controller.hpp"
#include "kit/conversation/mv_character_conversation.hpp"
#include "kit/conversation/mv_character_data_provider.hpp"
#include "kit/conversation/mv_character_player_delegate.hpp"
#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/model/animation.hpp"
#include "kit/model/character.hpp"
#include "platform/audio/audio_engine.hpp"
#include "platform/audio/audio_player_node.hpp"
#include "platform/dispatch/async_task.hpp"
#include "platform/log/log.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace MivoKit {

class MvCharacterPlayer : public MvCharacterDataProvider, public std::enable_shared_from_this<MvCharacterPlayer> {
public:
    enum class EngineMode { recording, playing };

    // The playback clock's frame rate; fixed, whatever the frame-rate controller's rate.
    static constexpr double framesPerSecond = 25.0;
    // How long the audio scheduling waits for news before it looks again.
    static constexpr platform::dispatch::Nanoseconds schedulingSafetyPoll = std::chrono::milliseconds(100);

    // Builds the player (no file is read, no audio engine made) and starts its render loop on the
    // idle animation. `audioFormat` is the format conversation audio is played in.
    static std::shared_ptr<MvCharacterPlayer> create(const Mivo::Character& character,
                                                     const platform::audio::AudioFormat& audioFormat,
                                                     bool enableVoiceRecord);
    ~MvCharacterPlayer() override;
    MvCharacterPlayer(const MvCharacterPlayer&) = delete;
    MvCharacterPlayer& operator=(const MvCharacterPlayer&) = delete;

    // ---- MvCharacterDataProvider ----
    const std::optional<Mivo::VideoFrame>& currentVideoFrame() const override { return currentVideoFrame_; }
    std::optional<Mivo::Transform>& frameTransform() override { return frameTransform_; }
    std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() override { return eyeTrackingLogic_; }

    // The delegate, held weakly; read on the audio input thread too.
    std::shared_ptr<MvCharacterPlayerDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<MvCharacterPlayerDelegate>& delegate);

    // The frame of the playback clock at `playerTime`: sample time / rate * 25, truncated, never
    // below 0; none for a clock without a positive rate or one past any frame.
    static std::optional<std::int64_t> frameIndex(const platform::audio::AudioTime& playerTime);

    // ---- render loop and transitions ----
    // Sets up the transition into the current conversation (false) or back to idle (true). When
    // none can be built (no frame shown yet, no frame to go to) the face goes straight over; straight
    // back to idle, the microphone comes back at once, as at the end of a transition.
    void buildTransition(bool toIdle);
    // One turn of the render loop (frame choice and rendering) without the frame-rate wait.
    platform::dispatch::Async<void> renderCurrentFrame();

    // ---- conversations ----
    void appendAudioData(std::span<const std::uint8_t> data, const std::string& conversationId);
    void appendFrameData(const std::vector<FlameFrameData>& frames, const std::string& conversationId);
    // Starts the current conversation once it holds audio and frames.
    void checkConversationReady();
    // Plays audio and frames supplied whole, without a service.
    void startConversation(const std::string& id, std::vector<std::uint8_t> audioData,
                           std::vector<FlameFrameData> frameDataQueue);
    void setPlaying(bool playing);
    // Ends the current conversation, with a transition back to idle when it was playing.
    void stopConversation();
    // Stops the conversation and tears the audio down; the render loop goes on.
    void cleanup();

    // ---- audio ----
    void configureRecorderAudioSession();
    void configurePlayerAudioSession();
    void setupRecordingEngine();
    void setupPlayingEngine();
    void switchToRecordingEngine();
    void switchEngine(EngineMode to);
    // The body of playAudioTask.
    platform::dispatch::Async<void> scheduleNextAudioBuffer();

    // ---- state, main thread (the manager writes some of it) ----
    const platform::log::Logger logger;
    std::shared_ptr<platform::audio::AudioEngine> recordingEngine;
    std::shared_ptr<platform::audio::AudioEngine> playingEngine;
    const std::shared_ptr<platform::audio::AudioPlayerNode> playerNode;
    EngineMode currentMode = EngineMode::recording;
    FrameRateController frameRateController{25.0};
    bool shouldRunRenderLoop = true;
    platform::dispatch::TaskHandle renderLoopTask; // empty when absent
    platform::dispatch::TaskHandle playAudioTask;
    std::shared_ptr<MvCharacterConversation> currentConversation;
    std::shared_ptr<Mivo::Animation> transitionAnimation;
    MvCharacterBufferProvider bufferProvider;
    const bool enableVoiceRecord;
    bool isMuted = false;
    bool conversationIsReady = false;
    bool isAudioPlayerStarted = false;
    bool canPlayConversationAudio = true;
    bool canPlayConversationAnimation = true;
    const Mivo::Character character;
    const platform::audio::AudioFormat audioFormat;

private:
    MvCharacterPlayer(const Mivo::Character& character, const platform::audio::AudioFormat& audioFormat,
                      bool enableVoiceRecord);

    static platform::dispatch::Async<void> renderLoop(std::weak_ptr<MvCharacterPlayer> weakPlayer);
    static platform::dispatch::Async<void> runScheduling(std::shared_ptr<MvCharacterPlayer> player);
    static platform::dispatch::Async<void> startRecordingEngine(std::weak_ptr<MvCharacterPlayer> weakPlayer,
                                                                std::uint64_t generation);

    platform::dispatch::Async<void> transitionTurn();
    platform::dispatch::Async<void> conversationTurn();
    platform::dispatch::Async<void> idleTurn();
    platform::dispatch::Async<void> render(FlameFrameData frame, FlameVersion flameVersion);

    // Back at rest after a conversation, by a transition or straight: with voice recording, the
    // recording engine is switched on again.
    void resumeRecordingAtRest();
    void stopRunningEngine();
    void stopRecordingEngine();
    void reportError(Mivo::PlayerError error);
    // The frame of the playback clock now, if the node has a render time.
    std::optional<std::int64_t> playbackFrameIndex() const;

    std::optional<Mivo::VideoFrame> currentVideoFrame_;
    std::optional<Mivo::Transform> frameTransform_;
    std::shared_ptr<EyeTrackingLogic> eyeTrackingLogic_;

    // The delegate is also read by the microphone tap on the audio input thread.
    mutable std::mutex delegateMutex_;
    std::weak_ptr<MvCharacterPlayerDelegate> delegate_;

    // The recording engine starts on a task of its own while the main thread may switch to
    // playback or clean up meanwhile. Each of those moves the generation on under this lock and
    // the task starts the engine only under the same lock and only for the generation it was
    // made for, so the microphone never runs once playback or clean-up has begun.
    std::mutex recordingStartMutex_;
    std::uint64_t recordingGeneration_ = 0;

    // Why the last engine set-up failed ("" when it did not): its start then fails with it.
    std::string recordingSetupError_;
    std::string playingSetupError_;

    // After cleanup() the microphone stays off until the owner switches recording on again: the
    // end of a transition back to idle does not turn it on for a session that has ended.
    bool microphoneHeldOff_ = false;

    // Wakes the audio scheduling when playback starts or stops.
    platform::dispatch::AsyncEvent playbackChanged_;
};

} // namespace MivoKit
