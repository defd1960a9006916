#include "kit/io/splat_ply_scene_reader.hpp"

#include "kit/io/ply_reader_stream.hpp"
#include "kit/io/splat_ply_point_mapping.hpp"

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

// Turns the PLY reader's reports into splat scene reports. After its first terminal report it
// ignores everything, and the read loop stops early.
class SplatPLYSceneReaderStream final : public PLYReaderDelegate, public PLYReadInterest {
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
};

} // namespace

void SplatPLYSceneReader::read(SplatSceneReaderDelegate& delegate) {
    SplatPLYSceneReaderStream adapter(delegate);
    PLYReaderStream(adapter, &adapter).read(ply_->url());
}

} // namespace MivoKit
