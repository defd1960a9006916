#pragma once
// A few freed large blocks kept for the next allocation of the same size. Every frame makes a
// splat list of about 100k points (12 MB) and a GPU buffer of its records (5 MB) and frees the
// ones before; the C library rarely reuses a freed over-aligned block that large, and keeps it
// resident in the heap of the thread that made it, so without this the process grows with its
// threads. A kept block is also already resident: reusing it faults in no fresh pages.

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace MivoKit {

namespace platform::memory {

class RecycledBlocks {
public:
    // Blocks below this go straight to the heap, which reuses them well.
    static constexpr std::size_t kMinBytes = std::size_t(1) << 20;

    explicit RecycledBlocks(std::size_t maxKept = 2) : maxKept_(maxKept) {}
    ~RecycledBlocks();
    RecycledBlocks(const RecycledBlocks&) = delete;
    RecycledBlocks& operator=(const RecycledBlocks&) = delete;

    // A block of exactly `bytes` aligned to `alignment` (a power of two): a kept one of that size
    // and alignment when there is one, else a new one. Throws std::bad_alloc.
    void* allocate(std::size_t bytes, std::size_t alignment);
    // Takes back a block from allocate() with the same size and alignment. Keeps it when it is
    // large enough, dropping the oldest kept block when already full.
    void deallocate(void* block, std::size_t bytes, std::size_t alignment) noexcept;

    std::size_t keptCount() const;

    // The process-wide instance; never destroyed, so lists freed during exit can still return.
    static RecycledBlocks& shared();

private:
    struct Block {
        void* data;
        std::size_t bytes;
        std::size_t alignment;
    };
    static void release(const Block& block) noexcept;

    const std::size_t maxKept_;
    mutable std::mutex mutex_;
    std::vector<Block> kept_; // oldest first
};

// Allocates through RecycledBlocks::shared(); stateless, so any two compare equal.
template <class T>
struct RecyclingAllocator {
    using value_type = T;

    RecyclingAllocator() = default;
    template <class U>
    RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(RecycledBlocks::shared().allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { RecycledBlocks::shared().deallocate(p, n * sizeof(T), alignof(T)); }

    template <class U>
    bool operator==(const RecyclingAllocator<U>&) const noexcept {
        return true;
    }
};

} // namespace platform::memory

} // namespace MivoKit
