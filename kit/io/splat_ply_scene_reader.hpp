#pragma once
// Reads a Gaussian-splat point cloud stored as PLY: every instance of the first "vertex" element
// becomes one SplatScenePoint. Which property feeds which field is worked out once per file from
// the header (see splat_ply_point_mapping.hpp). Binary files whose vertex rows have a fixed size
// are decoded row by row from byte offsets (splat_ply_row_plan.hpp) and delivered up to 2048
// points per didRead; ASCII files and unusual layouts, one point per didRead.

#include "kit/io/ply_reader.hpp"
#include "kit/model/splat_scene_reader.hpp"
#include "kit/model/typed_error.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace MivoKit {

class SplatPLYSceneReader final : public SplatSceneReader {
public:
    enum class ErrorCode { unsupportedFileContents, internalConsistency, unexpectedPointCountDiscrepancy };

    class Error : public TypedError<ErrorCode> {
    public:
        static Error unsupportedFileContents(std::optional<std::string> detail);
        static Error internalConsistency(std::optional<std::string> detail);
        static Error unexpectedPointCountDiscrepancy();

        // The text the case carries, when it has one.
        const std::optional<std::string>& detail() const { return detail_; }

    private:
        Error(ErrorCode code, const std::string& description, std::optional<std::string> detail)
            : TypedError(code, description), detail_(std::move(detail)) {}
        std::optional<std::string> detail_;
    };

    explicit SplatPLYSceneReader(const std::filesystem::path& url) : ply_(std::make_shared<PLYReader>(url)) {}
    explicit SplatPLYSceneReader(std::shared_ptr<PLYReader> ply) : ply_(std::move(ply)) {}

    const std::shared_ptr<PLYReader>& ply() const { return ply_; }

    // Reports didStartReading with the vertex count, didRead for the vertices in file order, then exactly one
    // didFinishReading or didFailReading. PLY errors reach the delegate unchanged.
    void read(SplatSceneReaderDelegate& delegate) override;

private:
    std::shared_ptr<PLYReader> ply_;
};

} // namespace MivoKit
