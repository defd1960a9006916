#include "kit/io/splat_ply_scene_reader.hpp"

#include "kit/io/ply_reader_stream.hpp"
#include "kit/io/splat_ply_point_mapping.hpp"
#include "kit/io/splat_ply_row_plan.hpp"

#include <vector>

namespace MivoKit {

using Error = SplatPLYSceneReader::Error;

Error Error::unsupportedFileContents(std::optional<std::string> detail) {
    std::string description = "Unexpected file contents for a splat PLY";
    if (detail) description += ": " + *detail;
    return {ErrorCode::unsupportedFileContents, description, std::move(detail)};
}

Error Error::internalConsistency(std::optional<std::string> detail) {
    return {ErrorCode::internalConsistency, "Internal error in SplatPLYSceneReader: " + detail.value_or("(unknown)"),
            std::move(detail)};
}

Error Error::unexpectedPointCountDiscrepancy() {
    return {ErrorCode::unexpectedPointCountDiscrepancy, "Unexpected point count discrepancy", std::nullopt};
}

namespace {

// Points per didRead from binary rows: a few thousand, and few enough to stay in the core's cache
// until the delegate has taken them.
constexpr std::size_t kBatchSize = 2048;

// Turns the PLY reader's reports into splat scene reports. After its first terminal report it
// ignores everything, and the read loop stops early. Binary files of a usual layout arrive as
// whole rows and are decoded by a row plan, a batch at a time; everything else arrives one
// PLYElement per point and goes through the mapping, one point per didRead.
class SplatPLYSceneReaderStream final : public PLYReaderDelegate, public PLYReadInterest, public PLYRowDelegate {
public:
    explicit SplatPLYSceneReaderStream(SplatSceneReaderDelegate& delegate) : delegate_(delegate) {}

    void didStartReading(const PLYHeader& header) override {
        if (!active_) return;
        if (pointElementMapping_)
            return fail(Error::internalConsistency("didStart called while pointElementMapping is non-nil"));
        try {
            pointElementMapping_.emplace(header);
        } catch (const Error& error) {
            return fail(error);
        }
        expectedPointCount_ = header.elements[pointElementMapping_->elementTypeIndex].count;
        rowPlan_ = SplatPLYRowPlan::make(header, *pointElementMapping_);
        if (rowPlan_ && rowPlan_->needsArena())
            coefficients_.emplace(SplatPLYRowPlan::kHigherOrderCount, expectedPointCount_);
        delegate_.didStartReading(expectedPointCount_);
    }

    void didRead(const PLYElement& element, std::size_t typeIndex, const PLYHeader::Element&) override {
        if (!active_) return;
        if (!pointElementMapping_)
            return fail(Error::internalConsistency(
                "didRead(element:typeIndex:withHeader:) called but pointElementMapping is nil"));
        if (typeIndex != pointElementMapping_->elementTypeIndex) return; // other element types are skipped
        try {
            pointElementMapping_->fill(reusablePoint_, element);
        } catch (const Error& error) {
            return fail(error);
        }
        ++pointCount_;
        delegate_.didRead(std::span<const SplatScenePoint>(&reusablePoint_, 1));
    }

    void didFinishReading() override {
        if (!active_) return;
        if (pointCount_ != expectedPointCount_) return fail(Error::unexpectedPointCountDiscrepancy());
        active_ = false;
        delegate_.didFinishReading();
    }

    void didFailReading(std::exception_ptr error) override {
        if (!active_) return;
        active_ = false;
        delegate_.didFailReading(std::move(error));
    }

    bool wantsRows(std::size_t typeIndex) const override {
        return active_ && rowPlan_ && typeIndex == pointElementMapping_->elementTypeIndex;
    }

    void didReadRows(std::size_t typeIndex, std::span<const std::uint8_t> rows, std::size_t rowSize) override {
        if (!active_) return;
        if (!wantsRows(typeIndex) || rowSize != rowPlan_->rowSize())
            return fail(Error::internalConsistency("didReadRows called for rows without a plan"));
        if (batch_.empty()) batch_.resize(kBatchSize);
        const std::uint8_t* next = rows.data();
        std::size_t left = rows.size() / rowSize;
        while (left > 0) {
            const std::size_t decoded = rowPlan_->decode(next, left, batch_, coefficients_ ? &*coefficients_ : nullptr);
            pointCount_ += static_cast<std::uint32_t>(decoded);
            delegate_.didRead(std::span<const SplatScenePoint>(batch_.data(), decoded));
            next += decoded * rowSize;
            left -= decoded;
        }
    }

    bool wantsElements(std::size_t typeIndex) const override {
        return pointElementMapping_ && typeIndex == pointElementMapping_->elementTypeIndex;
    }
    bool done() const override { return !active_; }

private:
    void fail(const Error& error) {
        active_ = false;
        delegate_.didFailReading(std::make_exception_ptr(error));
    }

    SplatSceneReaderDelegate& delegate_;
    bool active_ = true;
    std::optional<PointElementMapping> pointElementMapping_;
    std::uint32_t expectedPointCount_ = 0;
    std::uint32_t pointCount_ = 0;
    SplatScenePoint reusablePoint_;
    std::optional<SplatPLYRowPlan> rowPlan_;
    std::optional<CoefficientArena> coefficients_;
    std::vector<SplatScenePoint> batch_; // reused for every batch
};

} // namespace

void SplatPLYSceneReader::read(SplatSceneReaderDelegate& delegate) {
    SplatPLYSceneReaderStream adapter(delegate);
    PLYReaderStream(adapter, &adapter, &adapter).read(ply_->url());
}

} // namespace MivoKit
