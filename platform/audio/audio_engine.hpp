#pragma once
// Stand-in for the platform's audio engine: a small graph over one audio device.
//
//   input node  --tap-->  the application's block (1024-frame buffers in the microphone's own
//                         format, never converted, delivered where the device delivers)
//   player nodes --connect(format)--> main mixer --> the device's output
//
// The mixer runs at the format of its first connection (the device is opened in that rate and
// channel count); connecting another node in a different format is refused. Nodes are summed,
// each scaled by its volume.
//
// start() opens what the graph needs: the output when a node is connected, the input when a tap is
// installed; it throws AudioError with the driver's text when the device refuses (SDL without a
// sound card, say). stop() closes them; when it returns the device calls nothing of this engine
// any more. reset() stops and forgets render state (player nodes are stopped). Main thread, except
// isRunning() and the times, which any thread may read. An engine is not destroyed from inside its
// own callbacks (a completion, the tap block): post that to the main queue.

#include "platform/audio/audio_device.hpp"
#include "platform/audio/audio_player_node.hpp"
#include "platform/audio/audio_time.hpp"
#include "platform/audio/pcm_buffer.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace MivoKit {

namespace platform::audio {

class AudioEngine;

class AudioInputNode {
public:
    // Called with each full buffer and the audio time of its first frame (on the input's sample
    // clock: frames captured since the engine started). Runs where the device delivers.
    using TapBlock = std::function<void(std::shared_ptr<PCMBuffer> buffer, AudioTime when)>;

    // The microphone's format; throws AudioError when the device cannot record.
    AudioFormat outputFormat(std::uint32_t bus) const;
    // One tap per bus (only bus 0 exists). The format must be the bus's output format (no
    // conversion): else std::invalid_argument. Buffers hold `bufferSize` frames (0: 1024). Takes
    // effect on the next start().
    void installTap(std::uint32_t bus, std::uint32_t bufferSize, const AudioFormat& format, TapBlock block);
    // After it returns no new call of the block starts; one already running may finish.
    void removeTap(std::uint32_t bus);
    bool hasTap(std::uint32_t bus) const;

private:
    friend class AudioEngine;
    explicit AudioInputNode(AudioEngine& engine) : engine_(engine) {}
    AudioEngine& engine_;
};

class AudioMixerNode {
public:
    // The format of the mixer's first connection, if any.
    std::optional<AudioFormat> outputFormat() const;

private:
    friend class AudioEngine;
    explicit AudioMixerNode(AudioEngine& engine) : engine_(engine) {}
    AudioEngine& engine_;
};

class AudioEngine {
public:
    explicit AudioEngine(std::shared_ptr<AudioDevice> device = sharedAudioDevice());
    ~AudioEngine(); // stops
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    AudioInputNode& inputNode();
    AudioMixerNode& mainMixerNode();

    // A node belongs to at most one engine at a time: attaching it here detaches it from another.
    void attach(const std::shared_ptr<AudioPlayerNode>& node);
    void detach(const std::shared_ptr<AudioPlayerNode>& node);
    // Throws std::invalid_argument for a node not attached here, an invalid or non-standard
    // format, or a format other than the mixer's. While the output runs, the node is mixed from
    // the next cycle; otherwise from the next start().
    void connect(const std::shared_ptr<AudioPlayerNode>& node, AudioMixerNode& mixer, const AudioFormat& format);

    // Allocates what start() needs (the tap's buffers).
    void prepare();
    // The sample clocks start again at 0; a node still playing from before starts its timeline
    // again at the first cycle it plays in.
    void start();
    // Completions of buffers already rendered run on the calling thread before it returns; captured
    // audio not yet handed to the tap is dropped.
    void stop();
    void reset();
    bool isRunning() const;

    const std::shared_ptr<AudioDevice>& device() const;

    struct Impl;

private:
    friend class AudioInputNode;
    friend class AudioMixerNode;
    std::unique_ptr<Impl> impl_;
    AudioInputNode input_{*this};
    AudioMixerNode mixer_{*this};
};

} // namespace platform::audio

} // namespace MivoKit
