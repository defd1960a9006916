#pragma once
// The character the peer serves over HTTPS, made once at start from a character directory:
//   GET /v1/character/<id>           the character description JSON that the kit's loader decodes,
//                                    naming the two archives below as its assets;
//   GET /assets/<id>/animation.zip   the directory's "animation" folder;
//   GET /assets/<id>/model.zip       everything else at the directory's top level ("model",
//                                    "character.json", ...).
// Entries keep their paths below the directory, so the loader, unpacking both archives into one
// directory, rebuilds the source directory. The archives are written by the kit's archive module.
// The description takes its version and camera from "character.json", and its update stamp from
// the newest file, so it changes only when the directory does. Every served id gets the same
// character. Immutable after construction; answer() may be called from any thread.

#include "kit/model/character.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

using namespace MivoKit;

namespace service_peer {

struct HttpAnswer {
    int status = 404;
    std::string contentType = "text/plain";
    std::string body = "not found";
};

class CharacterAssets {
public:
    // Throws std::runtime_error when the directory lacks "character.json" or "animation", or an
    // archive cannot be made.
    CharacterAssets(const std::filesystem::path& directory, std::vector<std::string> ids);

    // The answer to a GET of `target` (path and query); `origin` ("https://localhost:<port>")
    // prefixes the archive URLs of the description.
    HttpAnswer answer(std::string_view target, const std::string& origin) const;

    const std::string& animationArchive() const { return animationArchive_; }
    const std::string& modelArchive() const { return modelArchive_; }
    // The description of a served id.
    std::string description(const std::string& id, const std::string& origin) const;

private:
    bool serves(std::string_view id) const;

    std::vector<std::string> ids_;
    std::string version_;
    Mivo::CameraSettings camera_;
    std::string updatedAt_;
    std::string animationArchive_;
    std::string modelArchive_;
};

} // namespace service_peer
