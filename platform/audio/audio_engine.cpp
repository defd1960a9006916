#include "platform/audio/audio_engine.hpp"

#include "platform/audio/audio_player_node_impl.hpp"
#include "platform/audio/capture_block_queue.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace MivoKit {

namespace platform::audio {
namespace {

constexpr std::uint32_t defaultTapFrames = 1024;
// Captured audio the delivery step may fall behind by before frames are dropped.
constexpr double captureBacklogSeconds = 2.0;

} // namespace

struct AudioEngine::Impl final : AudioDeviceClient {
    Impl(AudioEngine& owner, std::shared_ptr<AudioDevice> device) : owner(owner), device(std::move(device)) {}

    AudioEngine& owner;
    std::shared_ptr<AudioDevice> device;
    bool outputOpen = false, inputOpen = false; // main thread
    std::atomic<bool> running{false};
    // The output's sample clock after the last cycle: frames rendered since start().
    std::atomic<std::int64_t> renderedFrames{0};

    // Attached nodes and the mixer's format; main thread and the delivery step.
    mutable std::mutex nodesMutex;
    std::vector<std::shared_ptr<AudioPlayerNode>> attached;
    std::optional<AudioFormat> mixerFormat;

    // The connected nodes the render thread mixes. It holds graphMutex for a whole cycle; the main
    // thread, the only writer, reads the list freely and holds the lock only to swap in a new one,
    // so after the swap no cycle uses the old list.
    std::mutex graphMutex;
    std::vector<AudioPlayerNode::Impl*> connected;

    // The input tap; recursive because the tap block may remove itself.
    mutable std::recursive_mutex tapMutex;
    struct Tap {
        std::uint32_t frames = defaultTapFrames;
        std::optional<AudioFormat> format;
        AudioInputNode::TapBlock block;
    } tap;
    CaptureBlockQueue capture;

    // ---- real-time thread ----
    void renderOutput(float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                      std::int64_t sampleTime) noexcept override {
        for (std::uint32_t c = 0; c < channelCount; ++c) std::fill_n(channels[c], frames, 0.0f);
        {
            std::lock_guard graph(graphMutex);
            for (auto* node : connected) node->render(channels, channelCount, frames, sampleTime);
        }
        renderedFrames.store(sampleTime + frames, std::memory_order_release);
    }

    void captureInput(const float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                      std::int64_t sampleTime) noexcept override {
        capture.write(channels, channelCount, frames, sampleTime);
    }

    // ---- delivery ----
    void deliver() override {
        deliverCompletions();
        capture.drain([this](const CaptureBlockQueue::Block& block) { callTap(block); });
    }

    std::vector<std::shared_ptr<AudioPlayerNode>> attachedNodes() const {
        std::lock_guard lock(nodesMutex);
        return attached;
    }

    void deliverCompletions() {
        for (auto& node : attachedNodes()) node->impl().deliverCompletions();
    }

    void callTap(const CaptureBlockQueue::Block& block) {
        std::lock_guard lock(tapMutex);
        if (!tap.block || !tap.format) return;
        auto buffer = PCMBuffer::make(*tap.format, capture.blockFrames());
        buffer->setFrameLength(capture.blockFrames());
        for (std::uint32_t c = 0; c < capture.channelCount(); ++c)
            std::copy_n(block.channels[c], capture.blockFrames(), buffer->floatChannelData(c));
        // A copy: the block may remove the tap, which destroys the stored one.
        AudioInputNode::TapBlock call = tap.block;
        call(std::move(buffer), AudioTime::atSample(block.startSampleTime, tap.format->sampleRate()));
    }

    // ---- main thread ----
    bool isAttached(const std::shared_ptr<AudioPlayerNode>& node) const {
        std::lock_guard lock(nodesMutex);
        return std::find(attached.begin(), attached.end(), node) != attached.end();
    }

    void setConnected(std::vector<AudioPlayerNode::Impl*> nodes) {
        {
            std::lock_guard graph(graphMutex);
            connected.swap(nodes);
        }
        // `nodes` now holds the old list, freed here rather than on the render thread.
    }

    void prepareCapture() {
        std::lock_guard lock(tapMutex);
        if (!tap.block || !tap.format) return;
        const std::uint32_t channels = tap.format->channelCount();
        const auto blocks = std::size_t(std::ceil(captureBacklogSeconds * tap.format->sampleRate() / tap.frames)) + 2;
        if (capture.channelCount() != channels || capture.blockFrames() != tap.frames)
            capture.prepare(channels, tap.frames, blocks);
        else capture.clear();
    }
};

// ---- input node ----

AudioFormat AudioInputNode::outputFormat(std::uint32_t bus) const {
    if (bus != 0) throw std::invalid_argument("the input node has only bus 0");
    return engine_.impl_->device->inputFormat();
}

void AudioInputNode::installTap(std::uint32_t bus, std::uint32_t bufferSize, const AudioFormat& format,
                                TapBlock block) {
    if (bus != 0) throw std::invalid_argument("the input node has only bus 0");
    if (!block) throw std::invalid_argument("installTap: no block");
    if (format != outputFormat(0)) throw std::invalid_argument("installTap: the format must be the microphone's own");
    auto& impl = *engine_.impl_;
    std::lock_guard lock(impl.tapMutex);
    if (impl.tap.block) throw std::invalid_argument("bus 0 already has a tap");
    impl.tap = {bufferSize > 0 ? bufferSize : defaultTapFrames, format, std::move(block)};
}

void AudioInputNode::removeTap(std::uint32_t bus) {
    if (bus != 0) return;
    auto& impl = *engine_.impl_;
    std::lock_guard lock(impl.tapMutex);
    impl.tap.block = nullptr;
}

bool AudioInputNode::hasTap(std::uint32_t bus) const {
    auto& impl = *engine_.impl_;
    std::lock_guard lock(impl.tapMutex);
    return bus == 0 && impl.tap.block;
}

// ---- mixer ----

std::optional<AudioFormat> AudioMixerNode::outputFormat() const {
    std::lock_guard lock(engine_.impl_->nodesMutex);
    return engine_.impl_->mixerFormat;
}

// ---- engine ----

AudioEngine::AudioEngine(std::shared_ptr<AudioDevice> device) {
    if (!device) throw std::invalid_argument("an audio engine needs a device");
    impl_ = std::make_unique<Impl>(*this, std::move(device));
}

AudioEngine::~AudioEngine() {
    stop();
    impl_->setConnected({});
    for (auto& node : impl_->attachedNodes()) {
        node->impl().setConnection(std::nullopt);
        node->impl().attach(nullptr, nullptr);
    }
    std::lock_guard lock(impl_->nodesMutex);
    impl_->attached.clear();
}

AudioInputNode& AudioEngine::inputNode() { return input_; }
AudioMixerNode& AudioEngine::mainMixerNode() { return mixer_; }

void AudioEngine::attach(const std::shared_ptr<AudioPlayerNode>& node) {
    if (!node) throw std::invalid_argument("attach: no node");
    if (AudioEngine* other = node->engine()) {
        if (other == this) return;
        other->detach(node);
    }
    {
        std::lock_guard lock(impl_->nodesMutex);
        impl_->attached.push_back(node);
    }
    node->impl().attach(this, &impl_->renderedFrames);
}

void AudioEngine::detach(const std::shared_ptr<AudioPlayerNode>& node) {
    if (!node || !impl_->isAttached(node)) return;
    std::vector<AudioPlayerNode::Impl*> remaining = impl_->connected;
    std::erase(remaining, &node->impl());
    impl_->setConnected(std::move(remaining));
    {
        std::lock_guard lock(impl_->nodesMutex);
        std::erase(impl_->attached, node);
    }
    // Buffers it finished here complete now rather than wait for another engine.
    node->impl().deliverCompletions();
    node->impl().setConnection(std::nullopt);
    node->impl().attach(nullptr, nullptr);
}

void AudioEngine::connect(const std::shared_ptr<AudioPlayerNode>& node, AudioMixerNode& mixer,
                          const AudioFormat& format) {
    if (&mixer != &mixer_) throw std::invalid_argument("connect: the mixer belongs to another engine");
    if (!node || !impl_->isAttached(node)) throw std::invalid_argument("connect: the node is not attached here");
    if (!format.isValid() || !format.isStandard())
        throw std::invalid_argument("connect: the format must be valid 32-bit float non-interleaved");
    {
        std::lock_guard lock(impl_->nodesMutex);
        if (impl_->mixerFormat && *impl_->mixerFormat != format)
            throw std::invalid_argument("connect: the mixer already runs in another format");
        impl_->mixerFormat = format;
    }
    node->impl().setConnection(format);
    std::vector<AudioPlayerNode::Impl*> nodes = impl_->connected;
    if (std::find(nodes.begin(), nodes.end(), &node->impl()) != nodes.end()) return;
    nodes.push_back(&node->impl());
    impl_->setConnected(std::move(nodes));
}

void AudioEngine::prepare() {
    // The capture blocks are in use while the engine runs.
    if (!impl_->running.load()) impl_->prepareCapture();
}

void AudioEngine::start() {
    if (impl_->running.load()) return;
    prepare();
    const bool wantOutput = !impl_->connected.empty();
    const bool wantInput = inputNode().hasTap(0);
    impl_->renderedFrames.store(0, std::memory_order_release);
    for (auto& node : impl_->attachedNodes()) node->impl().restartTimeline();
    try {
        if (wantOutput) {
            impl_->device->startOutput(*mainMixerNode().outputFormat(), *impl_);
            impl_->outputOpen = true;
        }
        if (wantInput) {
            impl_->device->startInput(*impl_);
            impl_->inputOpen = true;
        }
    } catch (...) {
        if (impl_->outputOpen) impl_->device->stopOutput();
        impl_->outputOpen = false;
        throw;
    }
    impl_->running.store(true, std::memory_order_release);
}

void AudioEngine::stop() {
    if (!impl_->running.load()) return;
    if (impl_->outputOpen) impl_->device->stopOutput();
    if (impl_->inputOpen) impl_->device->stopInput();
    impl_->outputOpen = impl_->inputOpen = false;
    impl_->running.store(false, std::memory_order_release);
    for (auto& node : impl_->attachedNodes()) node->impl().forgetRenderTime();
    // The device calls nothing of ours any more: finished buffers complete here. Captured audio
    // not yet handed on is dropped by the next start().
    impl_->deliverCompletions();
}

void AudioEngine::reset() {
    stop();
    for (auto& node : impl_->attachedNodes()) node->reset();
}

bool AudioEngine::isRunning() const { return impl_->running.load(std::memory_order_acquire); }

const std::shared_ptr<AudioDevice>& AudioEngine::device() const { return impl_->device; }

} // namespace platform::audio

} // namespace MivoKit
