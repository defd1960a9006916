#include "kit/model/splat_memory_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace MivoKit {

namespace {

// Asks the kernel to back a large fresh block with huge pages. A cloud of 100k points is 12 MB;
// faulting that in 4 KiB pages costs more than decoding the file. Only advice: it changes no data.
void adviseHugePages(void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHugePage = 2u << 20;
    if (bytes < 2 * kHugePage) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Appends with geometric growth into fresh, huge-page-advised storage.
void appendBatch(SplatPointList& points, std::span<const SplatScenePoint> batch) {
    const std::size_t needed = points.size() + batch.size();
    if (needed > points.capacity()) {
        SplatPointList bigger;
        bigger.reserve(std::max({points.capacity() * 2, needed, std::size_t(32768)}));
        adviseHugePages(bigger.data(), bigger.capacity() * sizeof(SplatScenePoint));
        bigger.insert(bigger.end(), std::make_move_iterator(points.begin()), std::make_move_iterator(points.end()));
        points.swap(bigger);
    }
    points.insert(points.end(), batch.begin(), batch.end());
}

// 1 << 20 points of 128 bytes: 128 MB of address space for the largest claim honoured at once.
constexpr std::size_t kMaximumReservedPoints = std::size_t(1) << 20;

// Without a count, the first reservation: 16 MB of address space, a character's 100k points.
constexpr std::size_t kFirstReservationWithoutCount = std::size_t(1) << 17;

// Collects the batches of one read; only the first terminal report counts.
class Collector final : public SplatSceneReaderDelegate {
public:
    // Room for the declared points up front: growing copies every point and faults in fresh pages
    // twice over. A count is only a claim, so it reserves (address space, not memory) up to a cap;
    // past that the list grows as points arrive.
    void didStartReading(std::optional<std::uint32_t> pointCount) override {
        if (done_ || !pointCount || !points_.empty()) return;
        reserve(std::min<std::size_t>(*pointCount, kMaximumReservedPoints));
    }

    // A size is only a hint too (the file may change while it is read): the same cap.
    void expectPointCount(std::size_t count) override {
        if (done_ || !points_.empty()) return;
        reserve(std::min(count, kMaximumReservedPoints));
    }

    void didRead(std::span<const SplatScenePoint> batch) override {
        if (done_) return;
        // Without a count or a hint: room for a character-sized cloud at once.
        if (points_.capacity() == 0) reserve(std::max(batch.size(), kFirstReservationWithoutCount));
        appendBatch(points_, batch);
    }

    void didFinishReading() override {
        if (done_) return;
        done_ = true;
    }

    void didFailReading(std::exception_ptr error) override {
        if (done_) return;
        done_ = true;
        error_ = error ? error : unknownError();
    }

    bool done() const { return done_; }
    std::exception_ptr error() const { return error_; }
    SplatPointList takePoints() { return std::move(points_); }

    static std::exception_ptr unknownError() {
        return std::make_exception_ptr(
            SplatMemoryBuffer::BufferReader::Error(SplatMemoryBuffer::BufferReader::ErrorCode::unknown, "unknown"));
    }

private:
    void reserve(std::size_t wanted) {
        if (wanted <= points_.capacity()) return;
        points_.reserve(wanted);
        adviseHugePages(points_.data(), points_.capacity() * sizeof(SplatScenePoint));
    }

    SplatPointList points_;
    bool done_ = false;
    std::exception_ptr error_;
};

} // namespace

void SplatMemoryBuffer::read(SplatSceneReader& reader) {
    Collector collector;
    reader.read(collector);
    if (!collector.done()) std::rethrow_exception(Collector::unknownError());
    if (collector.error()) std::rethrow_exception(collector.error());
    points = collector.takePoints();
}

} // namespace MivoKit
