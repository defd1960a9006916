#include "platform/audio/capture_block_queue.hpp"

#include <algorithm>

namespace MivoKit {

namespace platform::audio {

void CaptureBlockQueue::prepare(std::uint32_t channelCount, std::uint32_t blockFrames, std::size_t blockCount) {
    channelCount_ = channelCount;
    blockFrames_ = blockFrames;
    blocks_.clear();
    for (std::size_t i = 0; i < blockCount; ++i) {
        auto block = std::make_unique<Block>();
        block->samples.assign(std::size_t(channelCount) * blockFrames, 0.0f);
        for (std::uint32_t c = 0; c < channelCount; ++c)
            block->channels.push_back(block->samples.data() + std::size_t(c) * blockFrames);
        blocks_.push_back(std::move(block));
    }
    empty_ = std::make_unique<Queue>(blockCount);
    full_ = std::make_unique<Queue>(blockCount);
    clear();
}

void CaptureBlockQueue::clear() {
    if (!empty_) return;
    empty_->reset();
    full_->reset();
    for (auto& block : blocks_) empty_->push(block.get());
    filling_ = nullptr;
    filled_ = 0;
}

void CaptureBlockQueue::write(const float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
                              std::int64_t sampleTime) noexcept {
    if (!empty_ || blockFrames_ == 0) return;
    std::uint32_t done = 0;
    while (done < frames) {
        if (!filling_) {
            if (!empty_->pop(filling_)) return; // no room: these frames are dropped
            filling_->startSampleTime = sampleTime + done;
            filled_ = 0;
        }
        const std::uint32_t n = std::min(frames - done, blockFrames_ - filled_);
        for (std::uint32_t c = 0; c < channelCount_; ++c) {
            float* to = filling_->samples.data() + std::size_t(c) * blockFrames_ + filled_;
            if (c < channelCount) std::copy_n(channels[c] + done, n, to);
            else std::fill_n(to, n, 0.0f);
        }
        filled_ += n;
        done += n;
        if (filled_ == blockFrames_) {
            full_->push(filling_); // cannot fail: the queue holds every block
            filling_ = nullptr;
        }
    }
}

} // namespace platform::audio

} // namespace MivoKit
