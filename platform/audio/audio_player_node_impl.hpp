#pragma once
// The player node's state, shared by the node's calls (main thread), the engine's render (the
// device's real-time thread) and the device's delivery step.
//
// Scheduled buffers live in one list, in order, from scheduleBuffer() until their completion has
// run. The render thread walks the same entries through `next` pointers and only ever publishes
// how far it got (`consumedThrough`, the sequence number after the last buffer it finished), so
// it neither allocates nor releases anything; the delivery step (or stop()) takes finished
// entries off the list, runs their completions and releases the buffers.
//
// Who may touch an entry, and until when:
//   - The render thread reads an entry (its buffer, `sequence`, `next`) only under renderMutex,
//     while the entry is in the render chain, and never after it has published the entry as
//     finished. Storing `consumedThrough` past an entry's sequence hands the entry over: the
//     delivery step takes no renderMutex, so from that store on it may free the entry at any
//     moment. render() therefore moves past a finished entry first and publishes once, at the end
//     of the cycle.
//   - The delivery step frees only entries below `consumedThrough`; those are no longer in the
//     render chain.
//   - stop() empties the render chain under renderMutex before it frees anything, so the render
//     thread holds no pointer into the list by then.
//
// Locks, always taken in this order and never the other way round:
//   completionMutex  one thread at a time runs this node's completions, so stop() returns only
//                    after a delivery in progress is over. Recursive: a completion may call
//                    stop(), reset() or scheduleBuffer() on its node.
//   queueMutex       the list, the sequence numbers and the connection format. Never taken on
//                    the real-time thread.
//   renderMutex      the render chain and the play state. The render thread holds it while it
//                    renders this node; other threads hold it only for a few pointer updates.
// Completions run with no lock but completionMutex held; they must not wait for a thread that may
// be calling stop() or reset() on the node.

#include "platform/audio/audio_player_node.hpp"

#include <atomic>
#include <list>
#include <mutex>

namespace MivoKit {

namespace platform::audio {

struct AudioPlayerNode::Impl {
    struct Scheduled {
        std::shared_ptr<const PCMBuffer> buffer;
        Completion completion;
        std::uint64_t sequence = 0;
        Scheduled* next = nullptr; // the render chain; under renderMutex
    };

    // ---- the node's calls ----
    void schedule(std::shared_ptr<const PCMBuffer> buffer, Completion completion);
    void play();
    void stop();
    std::size_t queuedCount() const;
    std::optional<AudioFormat> connection() const;
    std::optional<AudioTime> lastRenderTime() const;
    std::optional<AudioTime> playerTime(const AudioTime& nodeTime) const;

    // ---- the engine's calls (main thread) ----
    // `renderedFrames` is the engine's output sample clock, read by play() for the provisional
    // start of the timeline; null when detached.
    void attach(AudioEngine* owner, const std::atomic<std::int64_t>* renderedFrames);
    void setConnection(std::optional<AudioFormat> format);
    // The engine's output starts again from sample 0: a playing node's timeline restarts at the
    // first cycle it plays in, and there has been no cycle yet.
    void restartTimeline();
    // The engine stopped: no cycle to report.
    void forgetRenderTime() { lastCycleStart.store(-1, std::memory_order_release); }

    // ---- the device's threads ----
    // Adds this node's audio, scaled by its volume, to `channels`. Real-time thread.
    void render(float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                std::int64_t cycleStart) noexcept;
    // Runs the completions of the buffers the render thread has finished. Never real-time.
    void deliverCompletions();

    std::atomic<AudioEngine*> engine{nullptr};
    std::atomic<float> volume{1.0f};
    std::atomic<bool> playing{false};

private:
    mutable std::recursive_mutex completionMutex;

    mutable std::mutex queueMutex;
    std::list<Scheduled> scheduled;
    std::uint64_t nextSequence = 0;
    std::optional<AudioFormat> connectionFormat;
    const std::atomic<std::int64_t>* engineFrames = nullptr; // main thread only

    std::mutex renderMutex;
    Scheduled* head = nullptr; // the buffer playing now
    Scheduled* tail = nullptr; // where scheduleBuffer links the next one
    std::uint32_t position = 0; // frames of `head` already played
    bool renderPlaying = false;
    bool anchorPending = false; // the next playing cycle fixes the timeline's start

    std::atomic<std::uint64_t> consumedThrough{0};
    std::atomic<std::int64_t> timelineStart{0};
    std::atomic<std::int64_t> lastCycleStart{-1};
    std::atomic<double> sampleRate{0};
};

} // namespace platform::audio

} // namespace MivoKit
