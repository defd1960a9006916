#pragma once
// Hands captured audio from the device's real-time thread to its delivery step in blocks of a
// fixed frame count, without allocating or locking on the real-time side: a pool of blocks, made
// by prepare(), cycles through two single-producer single-consumer queues (empty blocks from the
// delivery step to the real-time thread, full ones back).
//
// Every block is contiguous and carries the sample time of its first frame. When the delivery
// step falls so far behind that no empty block is left, the real-time side drops the frames it
// cannot store; the next block then starts at a later sample time, so the gap stays visible.

#include <boost/lockfree/spsc_queue.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace MivoKit {

namespace platform::audio {

class CaptureBlockQueue {
public:
    struct Block {
        std::vector<float> samples; // one run of `blockFrames` samples per channel
        std::vector<const float*> channels;
        std::int64_t startSampleTime = 0;
    };

    // Makes `blockCount` blocks of `blockFrames` frames of `channelCount` channels, dropping any
    // audio held. Not while the real-time side runs.
    void prepare(std::uint32_t channelCount, std::uint32_t blockFrames, std::size_t blockCount);
    // Drops the audio held and returns every block to the pool. Not while the real-time side runs.
    void clear();

    std::uint32_t channelCount() const { return channelCount_; }
    std::uint32_t blockFrames() const { return blockFrames_; }

    // Real-time thread. Channels past `channelCount` are ignored, missing ones are silent.
    void write(const float* const* channels, std::uint32_t channelCount, std::uint32_t frames,
               std::int64_t sampleTime) noexcept;

    // Delivery step: calls `take(block)` for every full block, oldest first, and returns each one to
    // the pool afterwards.
    template <class Take>
    void drain(Take&& take) {
        Block* block = nullptr;
        while (full_ && full_->pop(block)) {
            take(static_cast<const Block&>(*block));
            empty_->push(block);
        }
    }

private:
    using Queue = boost::lockfree::spsc_queue<Block*>;

    std::uint32_t channelCount_ = 0;
    std::uint32_t blockFrames_ = 0;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::unique_ptr<Queue> empty_, full_;
    // Real-time side only.
    Block* filling_ = nullptr;
    std::uint32_t filled_ = 0;
};

} // namespace platform::audio

} // namespace MivoKit
