#include "tests/kit/loader/loader_environment.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "kit/zip/zip.hpp"
#include "platform/files/directories.hpp"
#include "platform/net/trust_store.hpp"
#include "tools/local_tls/local_certificate.hpp"

#include <chrono>
#include <future>
#include <variant>

using namespace MivoKit;

namespace fs = std::filesystem;
using LoadState = MvCharacterLoader::LoadState;

namespace loadertest {

std::string describe(const LoadState& state) {
    if (const auto* d = state.as<LoadState::Downloading>())
        return "downloading(" + d->progress.resourceType + " " + std::to_string(d->progress.downloadedBytes) + "/" +
               std::to_string(d->progress.totalBytes) + ")";
    if (const auto* f = state.as<LoadState::Failed>()) {
        switch (f->error) {
        case MvCharacterLoader::LoadError::fetchCharacterMetaFailed: return "failed(fetchCharacterMetaFailed)";
        case MvCharacterLoader::LoadError::downloadAssetsFailed: return "failed(downloadAssetsFailed)";
        case MvCharacterLoader::LoadError::extractAssetsFailed: return "failed(extractAssetsFailed)";
        }
    }
    if (state.is<LoadState::Preparing>()) return "preparing";
    if (state.is<LoadState::VersionIncompatibility>()) return "versionIncompatibility";
    if (state.is<LoadState::Extracting>()) return "extracting";
    if (state.is<LoadState::Completed>()) return "completed";
    return "?";
}

MvCharacterLoader::StateHandler Recorder::handler() {
    return [this](const LoadState& state) {
        std::lock_guard lock(mutex_);
        names_.push_back(describe(state));
        threads_.push_back(std::this_thread::get_id());
        if (const auto* d = state.as<LoadState::Downloading>()) progress_.push_back(d->progress);
    };
}

std::vector<std::string> Recorder::names() const {
    std::lock_guard lock(mutex_);
    return names_;
}

std::vector<MvCharacterLoader::DownloadProgress> Recorder::progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

bool Recorder::allOffTestThread() const {
    std::lock_guard lock(mutex_);
    for (auto id : threads_)
        if (id == testThread_) return false;
    return true;
}

std::string makeArchive(const std::map<std::string, std::string>& entries) {
    testsupport::TempDir dir;
    std::vector<ArchiveFile> files;
    for (const auto& [name, content] : entries)
        files.push_back(ArchiveFile{name, std::vector<std::uint8_t>(content.begin(), content.end()), std::nullopt});
    const fs::path path = dir / "archive.zip";
    Zip::zipData(files, path, std::nullopt, ZipCompression::DefaultCompression);
    return testsupport::readFile(path);
}

void LoaderEnvironment::SetUp() {
    platform::net::addTrustedCertificate(local_tls::localhostCertificate().certificatePem);
    fs::create_directories(documents());
    platform::files::setDocumentsDirectory(documents());
    platform::files::setTemporaryDirectory(temporary());
    MivoSDK::shared().resetToInitialValues();
    MivoSDK::shared().set(peer_.host(), MivoSDK::Environment::release);
}

void LoaderEnvironment::TearDown() {
    MivoSDK::shared().resetToInitialValues();
    platform::files::setDocumentsDirectory(std::nullopt);
    platform::files::setTemporaryDirectory(std::nullopt);
    platform::net::clearTrustedCertificates();
}

std::string LoaderEnvironment::archivePath(const std::string& id, const std::string& type) const {
    return "/files/" + id + "/" + type + ".zip";
}

std::string LoaderEnvironment::archiveUrl(const std::string& id, const std::string& type) const {
    return peer_.url(archivePath(id, type));
}

Mivo::CharacterMeta LoaderEnvironment::meta(const std::string& id, const std::string& updatedAt, bool animation,
                                            bool model) const {
    Mivo::CharacterMeta m;
    m.id = id;
    m.scene = {"default"};
    m.version = "0.1";
    m.name = "Test character";
    m.status = "ACTIVE";
    m.characterSettings = Mivo::CharacterMeta::CharacterSettings{{true, true, 0.25f, {0.5f, 0.75f}}};
    m.modelSettings.camera = Mivo::CameraSettings(0.1f, 0.5f, 0.0f, -0.02f, 1.5f);
    m.modelSettings.rotation = {0, 0, 0};
    Mivo::CharacterMeta::AssetGroup group{"g1", "assets", "https://example.invalid/cover.png", {}, updatedAt};
    group.assets.push_back(
        {"c", "cover", "ASSET_TYPE_COVER", "https://example.invalid/cover.png", "cover.png", updatedAt});
    if (animation)
        group.assets.push_back({"a", "animation", "ASSET_TYPE_COMPRESS_ANIMATION", archiveUrl(id, "animation"),
                                "animation.zip", updatedAt});
    if (model)
        group.assets.push_back(
            {"m", "model", "ASSET_TYPE_COMPRESS_MODEL", archiveUrl(id, "model"), "model.zip", updatedAt});
    m.assetGroups.push_back(group);
    m.updatedAt = updatedAt;
    return m;
}

const std::string& LoaderEnvironment::animationArchive() {
    static const std::string bytes = makeArchive({{"animation/idle.json", "[]"}, {"animation/mono.json", "[]"}});
    return bytes;
}

const std::string& LoaderEnvironment::modelArchive() {
    static const std::string bytes = makeArchive({{"model/point_cloud.ply", std::string(3000, 'p')},
                                                  {"model/shape.json", "[0.5]"},
                                                  {"character.json", "{\"characterID\": \"x\"}"}});
    return bytes;
}

void LoaderEnvironment::serve(const std::string& requestedId, const Mivo::CharacterMeta& description) {
    peer_.route(descriptionPath(requestedId), testsupport::HttpsResponse::ok(description.encode().dump()));
    if (description.compressAnimationAssetUrl())
        peer_.route(archivePath(description.id, "animation"), testsupport::HttpsResponse::ok(animationArchive()));
    if (description.compressModelAssetUrl())
        peer_.route(archivePath(description.id, "model"), testsupport::HttpsResponse::ok(modelArchive()));
}

std::optional<Mivo::Character> LoaderEnvironment::load(const std::string& id, Recorder& recorder) {
    auto future = loader_.loadCharacter(id, recorder.handler());
    EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return future.get();
}

} // namespace loadertest
