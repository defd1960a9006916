#include "kit/model/splat_memory_buffer.hpp"

namespace {

// Collects the batches of one read; only the first terminal report counts.
class Collector final : public SplatSceneReaderDelegate {
public:
    void didStartReading(std::optional<std::uint32_t>) override {}

    void didRead(std::span<const SplatScenePoint> batch) override {
        if (done_) return;
        points_.insert(points_.end(), batch.begin(), batch.end());
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
    std::vector<SplatScenePoint> takePoints() { return std::move(points_); }

    static std::exception_ptr unknownError() {
        return std::make_exception_ptr(
            SplatMemoryBuffer::BufferReader::Error(SplatMemoryBuffer::BufferReader::ErrorCode::unknown, "unknown"));
    }

private:
    std::vector<SplatScenePoint> points_;
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
