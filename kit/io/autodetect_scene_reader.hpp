#pragma once
// The entry point for any point-cloud file: chooses the reader from the file name's extension
// ("ply" or "splat", in any letter case) and then behaves as that reader.

#include "kit/model/splat_scene_reader.hpp"
#include "kit/model/typed_error.hpp"

#include <filesystem>
#include <memory>

namespace MivoKit {

class AutodetectSceneReader final : public SplatSceneReader {
public:
    enum class ErrorCode { unknownPathExtension };
    using Error = TypedError<ErrorCode>;

    // Opens nothing. Throws Error (unknownPathExtension) for any other extension, or none.
    explicit AutodetectSceneReader(const std::filesystem::path& url);

    // Everything the chosen reader reports goes straight to `delegate`.
    void read(SplatSceneReaderDelegate& delegate) override;

private:
    std::shared_ptr<SplatSceneReader> reader_;
};

} // namespace MivoKit
