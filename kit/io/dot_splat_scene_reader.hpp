#pragma once
// Reads the headerless .splat point-cloud format: a plain sequence of 32-byte little-endian
// records (position, linear scale, RGBA bytes, a quantised rotation). Points arrive in file order,
// in batches of at most 2048 points, each delivered as soon as its records have been read. Before
// the first point the delegate hears how many records the file's size holds (expectPointCount).

#include "kit/model/splat_scene_reader.hpp"
#include "kit/model/typed_error.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace MivoKit {

class DotSplatSceneReader final : public SplatSceneReader {
public:
    enum class ErrorCode { cannotOpenSource, readError, unexpectedEndOfFile };

    class Error : public TypedError<ErrorCode> {
    public:
        static Error cannotOpenSource(const std::filesystem::path& url);
        static Error readError(const std::filesystem::path& url);
        static Error unexpectedEndOfFile();

        // The file, for the cases that name one.
        const std::optional<std::filesystem::path>& url() const { return url_; }

    private:
        Error(ErrorCode code, const std::string& description, std::optional<std::filesystem::path> url)
            : TypedError(code, description), url_(std::move(url)) {}
        std::optional<std::filesystem::path> url_;
    };

    // One undecoded record.
    struct EncodedSplatPoint {
        static constexpr std::size_t byteWidth = 32;

        std::array<float, 3> position{};
        std::array<float, 3> scales{};
        std::array<std::uint8_t, 4> color{}; // red, green, blue, alpha (opacity)
        std::array<std::uint8_t, 4> rot{};   // q0 (real), q1, q2, q3; each the component + 128

        static EncodedSplatPoint zero() { return {}; }

        EncodedSplatPoint() = default;
        // The record at `offset` of `data` (bytes past the end read as zero).
        EncodedSplatPoint(std::span<const std::uint8_t> data, std::size_t offset);

        // Sets every field of `point`: linear colour, opacity and scale; a unit rotation (the
        // identity for an all-128 rotation); no normal and no binding.
        void decode(SplatScenePoint& point) const;
    };

    explicit DotSplatSceneReader(std::filesystem::path url) : url_(std::move(url)) {}

    const std::filesystem::path& url() const { return url_; }

    void read(SplatSceneReaderDelegate& delegate) override;

private:
    std::filesystem::path url_;
};

} // namespace MivoKit
