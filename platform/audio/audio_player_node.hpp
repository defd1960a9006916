#pragma once
// Stand-in for the platform's audio player node: plays PCM buffers scheduled on it, in order, into
// the engine it is attached to.
//
// Main thread: scheduleBuffer, play, stop, reset, setVolume (any thread may read the state).
// A buffer's completion runs once it has been consumed (its last frame rendered), on the thread that
// delivers for the device (the virtual device's advancing thread, the SDL driver's delivery
// thread), or, for buffers still pending when stop() or reset() is called, on the calling thread
// before that call returns. Every completion runs exactly once. stop() and reset() wait for a
// completion that the delivery thread is running at that moment, so a completion must not wait
// for a thread that may be calling them (it may call them itself).
//
// The node's timeline: lastRenderTime() is the start of the engine's last render cycle on the
// output's sample clock (frames rendered since the engine started), absent while the engine does
// not run or before its first cycle. playerTime(forNodeTime:) converts a node time to the player's
// own timeline, whose sample 0 is the start of the first cycle the node played in after play(); it
// keeps advancing while the node plays, also when nothing is queued (the node renders silence), and
// is negative for node times before that start. It is absent while the node is not playing.
//
// The node keeps a reference to each scheduled buffer until that buffer's completion has run, and
// drops it there (the delivery thread, or the thread calling stop() or reset()), never on the
// real-time thread; the caller may drop its own reference at once, but must not change the
// samples until the completion. The render path (called by the engine on the device's real-time
// thread) allocates nothing, releases nothing, takes only a lock that other threads hold for a few
// pointer updates, and logs nothing.

#include "platform/audio/audio_format.hpp"
#include "platform/audio/audio_time.hpp"
#include "platform/audio/pcm_buffer.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace MivoKit {

namespace platform::audio {

class AudioEngine;

class AudioPlayerNode {
public:
    using Completion = std::function<void()>;

    AudioPlayerNode();
    ~AudioPlayerNode();
    AudioPlayerNode(const AudioPlayerNode&) = delete;
    AudioPlayerNode& operator=(const AudioPlayerNode&) = delete;

    // Queues `buffer` after those already queued; it must be in the node's connection format
    // (else std::invalid_argument). The completion may be empty.
    void scheduleBuffer(std::shared_ptr<const PCMBuffer> buffer, Completion completion = {});

    void play();
    // Stops playing: drops every queued buffer (their completions run now) and forgets the
    // timeline.
    void stop();
    // As stop(); the volume stays as it is.
    void reset();
    bool isPlaying() const;

    float volume() const;
    // Clamped to 0...1; applied from the next render cycle.
    void setVolume(float volume);

    std::optional<AudioTime> lastRenderTime() const;
    std::optional<AudioTime> playerTime(const AudioTime& nodeTime) const;

    // Buffers scheduled and not yet completed.
    std::size_t queuedBufferCount() const;
    // The engine it is attached to, if any, and the format it is connected in.
    AudioEngine* engine() const;
    std::optional<AudioFormat> connectionFormat() const;

    // ---- used by the engine ----
    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::audio

} // namespace MivoKit
