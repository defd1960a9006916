#include "platform/audio/audio_player_node.hpp"

#include "platform/audio/audio_player_node_impl.hpp"

#include <algorithm>
#include <stdexcept>

namespace MivoKit {

namespace platform::audio {

// ---- state ----

void AudioPlayerNode::Impl::schedule(std::shared_ptr<const PCMBuffer> buffer, Completion completion) {
    if (!buffer) throw std::invalid_argument("scheduleBuffer: no buffer");
    std::list<Scheduled> entry;
    entry.push_back({std::move(buffer), std::move(completion)});
    std::lock_guard queue(queueMutex);
    if (!connectionFormat) throw std::invalid_argument("scheduleBuffer: the node is not connected");
    if (entry.front().buffer->format() != *connectionFormat)
        throw std::invalid_argument("scheduleBuffer: the buffer's format is not the node's connection format");
    entry.front().sequence = nextSequence++;
    Scheduled* added = &entry.front();
    scheduled.splice(scheduled.end(), entry);
    std::lock_guard render(renderMutex);
    if (tail) tail->next = added;
    else head = added;
    tail = added;
}

void AudioPlayerNode::Impl::play() {
    std::lock_guard render(renderMutex);
    if (renderPlaying) return;
    renderPlaying = true;
    anchorPending = true;
    timelineStart.store(engineFrames ? engineFrames->load(std::memory_order_acquire) : 0, std::memory_order_release);
    playing.store(true, std::memory_order_release);
}

void AudioPlayerNode::Impl::stop() {
    std::lock_guard completions(completionMutex);
    {
        // Once this is released the render thread holds no pointer into the list.
        std::lock_guard render(renderMutex);
        renderPlaying = false;
        anchorPending = false;
        head = tail = nullptr;
        position = 0;
        playing.store(false, std::memory_order_release);
    }
    std::list<Scheduled> pending;
    {
        std::lock_guard queue(queueMutex);
        pending.swap(scheduled);
    }
    for (auto& entry : pending)
        if (entry.completion) entry.completion();
}

std::size_t AudioPlayerNode::Impl::queuedCount() const {
    std::lock_guard queue(queueMutex);
    return scheduled.size();
}

std::optional<AudioFormat> AudioPlayerNode::Impl::connection() const {
    std::lock_guard queue(queueMutex);
    return connectionFormat;
}

std::optional<AudioTime> AudioPlayerNode::Impl::lastRenderTime() const {
    const std::int64_t start = lastCycleStart.load(std::memory_order_acquire);
    if (start < 0) return std::nullopt;
    return AudioTime::atSample(start, sampleRate.load(std::memory_order_relaxed));
}

std::optional<AudioTime> AudioPlayerNode::Impl::playerTime(const AudioTime& nodeTime) const {
    if (!playing.load(std::memory_order_acquire) || !nodeTime.isSampleTimeValid) return std::nullopt;
    const double rate = nodeTime.sampleRate > 0 ? nodeTime.sampleRate : sampleRate.load(std::memory_order_relaxed);
    return AudioTime::atSample(nodeTime.sampleTime - timelineStart.load(std::memory_order_acquire), rate);
}

void AudioPlayerNode::Impl::attach(AudioEngine* owner, const std::atomic<std::int64_t>* renderedFrames) {
    engine.store(owner, std::memory_order_release);
    engineFrames = renderedFrames;
    forgetRenderTime();
}

void AudioPlayerNode::Impl::setConnection(std::optional<AudioFormat> format) {
    std::lock_guard queue(queueMutex);
    connectionFormat = format;
    sampleRate.store(format ? format->sampleRate() : 0, std::memory_order_relaxed);
}

void AudioPlayerNode::Impl::restartTimeline() {
    forgetRenderTime();
    std::lock_guard render(renderMutex);
    if (!renderPlaying) return;
    anchorPending = true;
    timelineStart.store(0, std::memory_order_release);
}

void AudioPlayerNode::Impl::render(float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                                   std::int64_t cycleStart) noexcept {
    lastCycleStart.store(cycleStart, std::memory_order_release);
    std::lock_guard render(renderMutex);
    if (!renderPlaying) return;
    if (anchorPending) {
        timelineStart.store(cycleStart, std::memory_order_release);
        anchorPending = false;
    }
    const float gain = volume.load(std::memory_order_relaxed);
    std::uint32_t done = 0;
    std::uint64_t finishedThrough = 0; // sequences start at 0, so 0 means none finished this cycle
    // `done < frames` first: an empty buffer at the very end of a cycle finishes in the next one.
    while (done < frames && head) {
        const PCMBuffer& buffer = *head->buffer;
        const std::uint32_t n = std::min(frames - done, buffer.frameLength() - position);
        // Volume 0 adds nothing at all, so the output stays exactly silent.
        if (gain != 0.0f) {
            const std::uint32_t shared = std::min(channelCount, buffer.format().channelCount());
            for (std::uint32_t c = 0; c < shared; ++c) {
                const float* from = buffer.floatChannelData(c) + position;
                float* to = channels[c] + done;
                for (std::uint32_t i = 0; i < n; ++i) to[i] += from[i] * gain;
            }
        }
        position += n;
        done += n;
        if (position == buffer.frameLength()) {
            finishedThrough = head->sequence + 1;
            head = head->next;
            if (!head) tail = nullptr;
            position = 0;
        }
    }
    // Only now, with no finished entry read again: from this store on the delivery step may free
    // them.
    if (finishedThrough) consumedThrough.store(finishedThrough, std::memory_order_release);
}

void AudioPlayerNode::Impl::deliverCompletions() {
    std::lock_guard completions(completionMutex);
    while (true) {
        // One at a time: a completion may stop the node, which takes the rest itself.
        std::list<Scheduled> finished;
        {
            std::lock_guard queue(queueMutex);
            if (scheduled.empty() || scheduled.front().sequence >= consumedThrough.load(std::memory_order_acquire))
                return;
            finished.splice(finished.end(), scheduled, scheduled.begin());
        }
        if (finished.front().completion) finished.front().completion();
    }
}

// ---- node ----

AudioPlayerNode::AudioPlayerNode() : impl_(std::make_unique<Impl>()) {}

// Buffers still queued complete here: every completion runs exactly once.
AudioPlayerNode::~AudioPlayerNode() { impl_->stop(); }

void AudioPlayerNode::scheduleBuffer(std::shared_ptr<const PCMBuffer> buffer, Completion completion) {
    impl_->schedule(std::move(buffer), std::move(completion));
}

void AudioPlayerNode::play() { impl_->play(); }
void AudioPlayerNode::stop() { impl_->stop(); }
void AudioPlayerNode::reset() { impl_->stop(); }
bool AudioPlayerNode::isPlaying() const { return impl_->playing.load(std::memory_order_acquire); }

float AudioPlayerNode::volume() const { return impl_->volume.load(std::memory_order_relaxed); }

void AudioPlayerNode::setVolume(float volume) {
    impl_->volume.store(volume > 0 ? std::min(volume, 1.0f) : 0.0f, std::memory_order_relaxed); // NaN gives 0
}

std::optional<AudioTime> AudioPlayerNode::lastRenderTime() const { return impl_->lastRenderTime(); }

std::optional<AudioTime> AudioPlayerNode::playerTime(const AudioTime& nodeTime) const {
    return impl_->playerTime(nodeTime);
}

std::size_t AudioPlayerNode::queuedBufferCount() const { return impl_->queuedCount(); }
AudioEngine* AudioPlayerNode::engine() const { return impl_->engine.load(std::memory_order_acquire); }
std::optional<AudioFormat> AudioPlayerNode::connectionFormat() const { return impl_->connection(); }

} // namespace platform::audio

} // namespace MivoKit
