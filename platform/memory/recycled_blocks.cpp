#include "platform/memory/recycled_blocks.hpp"

#include <algorithm>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define MIVO_POISON_KEPT_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIVO_POISON_KEPT_BLOCKS 1
#endif
#endif

#ifdef MIVO_POISON_KEPT_BLOCKS
#include <sanitizer/asan_interface.h>
#define MIVO_POISON(data, bytes) ASAN_POISON_MEMORY_REGION(data, bytes)
#define MIVO_UNPOISON(data, bytes) ASAN_UNPOISON_MEMORY_REGION(data, bytes)
#else
#define MIVO_POISON(data, bytes) ((void)(data), (void)(bytes))
#define MIVO_UNPOISON(data, bytes) ((void)(data), (void)(bytes))
#endif

namespace MivoKit {

namespace platform::memory {

RecycledBlocks::~RecycledBlocks() {
    for (const auto& block : kept_) release(block);
}

void* RecycledBlocks::allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= kMinBytes) {
        std::unique_lock lock(mutex_);
        // Newest first: it is the most likely to still be in cache.
        const auto it = std::find_if(kept_.rbegin(), kept_.rend(), [&](const Block& block) {
            return block.bytes == bytes && block.alignment == alignment;
        });
        if (it != kept_.rend()) {
            void* data = it->data;
            kept_.erase(std::next(it).base());
            lock.unlock();
            // A kept block is poisoned under ASan, so a list still reading its freed storage is caught.
            MIVO_UNPOISON(data, bytes);
            return data;
        }
    }
    return ::operator new(bytes, std::align_val_t(alignment));
}

void RecycledBlocks::deallocate(void* data, std::size_t bytes, std::size_t alignment) noexcept {
    if (!data) return;
    const Block block{data, bytes, alignment};
    if (bytes < kMinBytes || maxKept_ == 0) {
        release(block);
        return;
    }
    MIVO_POISON(data, bytes);
    Block dropped{nullptr, 0, 0};
    {
        std::lock_guard lock(mutex_);
        if (kept_.size() >= maxKept_) {
            dropped = kept_.front();
            kept_.erase(kept_.begin());
        }
        // Reserved once: growing the list of kept blocks cannot fail after that.
        if (kept_.capacity() < maxKept_) {
            try {
                kept_.reserve(maxKept_);
            } catch (...) {
                release(block);
                return;
            }
        }
        kept_.push_back(block);
    }
    if (dropped.data) release(dropped);
}

std::size_t RecycledBlocks::keptCount() const {
    std::lock_guard lock(mutex_);
    return kept_.size();
}

RecycledBlocks& RecycledBlocks::shared() {
    static auto* blocks = new RecycledBlocks();
    return *blocks;
}

void RecycledBlocks::release(const Block& block) noexcept {
    MIVO_UNPOISON(block.data, block.bytes);
    ::operator delete(block.data, std::align_val_t(block.alignment));
}

} // namespace platform::memory

} // namespace MivoKit
