#include "tools/service_peer/character_assets.hpp"

#include "kit/model/character_meta.hpp"
#include "kit/zip/zip.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>

using namespace MivoKit;

namespace fs = std::filesystem;
using Meta = Mivo::CharacterMeta;

namespace service_peer {
namespace {

constexpr std::string_view kDescriptionPrefix = "/v1/character/";
constexpr std::string_view kAssetsPrefix = "/assets/";
constexpr std::string_view kAnimationArchiveName = "animation.zip";
constexpr std::string_view kModelArchiveName = "model.zip";

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A private folder below the system's temporary directory, removed with its content when dropped.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "mivo-service-peer-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string archiveOf(const std::vector<fs::path>& paths, const fs::path& file) {
    Zip::zipFiles(paths, file, std::nullopt, ZipCompression::DefaultCompression);
    return readWhole(file);
}

// The newest modification time of the files below the directory, as "2024-05-01T12:00:00Z".
std::string newestStamp(const fs::path& directory) {
    auto newest = fs::file_time_type::min();
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file()) newest = std::max(newest, entry.last_write_time());
    const std::time_t time = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(newest));
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

CharacterAssets::CharacterAssets(const fs::path& directory, std::vector<std::string> ids) : ids_(std::move(ids)) {
    const fs::path characterFile = directory / "character.json";
    const auto character = json_values::parse(readWhole(characterFile));
    if (!character || !character->is_object()) throw std::runtime_error(characterFile.string() + " is not a JSON object");
    const auto& version = json_values::member(*character, "version");
    version_ = version.is_string() ? version.get<std::string>() : "1.0";
    try {
        camera_ = Mivo::CameraSettings::decode(json_values::member(*character, "camera"));
    } catch (const json_values::JsonDecodeError& e) {
        throw std::runtime_error(characterFile.string() + ": " + e.what());
    }
    if (!fs::is_directory(directory / "animation"))
        throw std::runtime_error(directory.string() + " has no animation folder");
    updatedAt_ = newestStamp(directory);

    std::vector<fs::path> modelPaths;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename() != "animation") modelPaths.push_back(entry.path());
    std::sort(modelPaths.begin(), modelPaths.end());
    const ScratchFolder scratch;
    animationArchive_ = archiveOf({directory / "animation"}, scratch.path() / kAnimationArchiveName);
    modelArchive_ = archiveOf(modelPaths, scratch.path() / kModelArchiveName);
}

bool CharacterAssets::serves(std::string_view id) const {
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

std::string CharacterAssets::description(const std::string& id, const std::string& origin) const {
    Meta meta;
    meta.id = id;
    meta.scene = {"default"};
    meta.version = version_;
    meta.name = id;
    meta.status = "ACTIVE";
    meta.modelSettings.camera = camera_;
    meta.modelSettings.rotation = {0, 0, 0};
    const std::string base = origin + std::string(kAssetsPrefix) + id + "/";
    Meta::AssetGroup group{"assets", "assets", "", {}, updatedAt_};
    group.assets.push_back({"animation", "animation", std::string(toRaw(Meta::AssetType::compressAnimation)),
                            base + std::string(kAnimationArchiveName), std::string(kAnimationArchiveName), updatedAt_});
    group.assets.push_back({"model", "model", std::string(toRaw(Meta::AssetType::compressModel)),
                            base + std::string(kModelArchiveName), std::string(kModelArchiveName), updatedAt_});
    meta.assetGroups.push_back(std::move(group));
    meta.updatedAt = updatedAt_;
    return meta.encode().dump();
}

HttpAnswer CharacterAssets::answer(std::string_view target, const std::string& origin) const {
    const std::string_view path = target.substr(0, target.find('?'));
    if (path.starts_with(kDescriptionPrefix)) {
        const std::string id(path.substr(kDescriptionPrefix.size()));
        if (serves(id)) return {200, "application/json", description(id, origin)};
    } else if (path.starts_with(kAssetsPrefix)) {
        // The id may itself hold slashes ("name/v1"): the archive's name is the last segment.
        const std::string_view rest = path.substr(kAssetsPrefix.size());
        const std::size_t slash = rest.rfind('/');
        if (slash != std::string_view::npos && serves(rest.substr(0, slash))) {
            const std::string_view name = rest.substr(slash + 1);
            if (name == kAnimationArchiveName) return {200, "application/zip", animationArchive_};
            if (name == kModelArchiveName) return {200, "application/zip", modelArchive_};
        }
    }
    return {};
}

} // namespace service_peer
