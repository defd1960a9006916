#include "kit/loader/mv_character_loader.hpp"

#include "kit/loader/character_identifier.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/files/file_url.hpp"
#include "platform/log/log.hpp"
#include "platform/net/http_task.hpp"

#include <memory>
#include <stdexcept>

namespace MivoKit {

namespace fs = std::filesystem;
using namespace character_loader;
using platform::log::print;

namespace {

// The description service answers within this many seconds of silence.
constexpr double kDescriptionTimeout = 60;

void printUnsafe(const std::string& id) { print("数字人标识无效，已拒绝: " + id); }

// Whether anything, even a dangling link, is at `path`.
bool existsAt(const fs::path& path) {
    std::error_code ec;
    const auto type = fs::symlink_status(path, ec).type();
    return type != fs::file_type::not_found && type != fs::file_type::none;
}

Mivo::Character characterFrom(const CachedCharacter& record) {
    return Mivo::Character(record.id(), record.version(), record.cameraSettings(), record.id());
}

// Runs `work` on the background pool and hands its result (or its exception) to the future.
template <class T, class Work>
std::future<T> runInBackground(Work work) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    platform::dispatch::postBackground([promise, work = std::move(work)]() mutable {
        try {
            promise->set_value(work());
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    return future;
}

} // namespace

MvCharacterLoader& MvCharacterLoader::shared() {
    // Never destroyed: its background tasks may still run while the process exits.
    static auto* loader = new MvCharacterLoader();
    return *loader;
}

std::future<std::optional<Mivo::Character>> MvCharacterLoader::loadCharacter(std::string id, StateHandler stateHandler,
                                                                             std::stop_token stop) {
    return runInBackground<std::optional<Mivo::Character>>(
        [this, id = std::move(id), stateHandler = std::move(stateHandler), stop] {
            notify(stateHandler, LoadState::preparing());
            return runLoad(id, stateHandler, stop);
        });
}

std::future<bool> MvCharacterLoader::preloadCharacter(std::string forId, std::stop_token stop) {
    return runInBackground<bool>(
        [this, id = std::move(forId), stop] { return loadCharacterSilently(id, stop).has_value(); });
}

std::future<bool> MvCharacterLoader::deleteCharacterAssets(std::string forId) {
    return runInBackground<bool>([this, id = std::move(forId)] { return removeCharacterAssets(id); });
}

void MvCharacterLoader::deleteAllCharacterAssets() {
    const auto records = cache_.load();
    if (!records || records->empty()) return;
    std::vector<std::string> ids;
    for (const auto& record : *records) ids.push_back(record.id());
    // One after another: each removal rewrites the index.
    platform::dispatch::postBackground([this, ids = std::move(ids)] {
        for (const auto& id : ids) {
            try {
                removeCharacterAssets(id);
            } catch (...) {
                // Printed by the removal; the others go on.
            }
        }
    });
}

std::optional<Mivo::Character> MvCharacterLoader::loadCharacterSilently(const std::string& id,
                                                                        std::stop_token stop) const {
    return runLoad(id, StateHandler{}, stop);
}

std::optional<Mivo::Character> MvCharacterLoader::runLoad(const std::string& id, const StateHandler& stateHandler,
                                                          std::stop_token stop) const {
    if (!isSafeCharacterIdentifier(id)) {
        printUnsafe(id);
        return std::nullopt;
    }
    if (!checkVersionCompatibility(id, stateHandler)) return std::nullopt;

    const auto [record, directoryExists] = findCachedCharacter(id);
    const auto meta = fetchCharacterMeta(id, stateHandler, stop);

    if (record && directoryExists) {
        if (!meta || meta->updatedAt == record->updatedAt()) {
            auto character = characterFrom(*record);
            notify(stateHandler, LoadState::completed());
            return character;
        }
        // Changed on the server: the old copy goes before the new one is fetched.
        try {
            removeCharacterAssets(id);
        } catch (...) {
            // Printed by the removal; the download replaces the directory's content anyway.
        }
    } else if (!meta) {
        return std::nullopt;
    }

    const auto saved = downloadCharacterAssets(*meta, stateHandler, stop);
    if (!saved) return std::nullopt;
    return characterFrom(*saved);
}

bool MvCharacterLoader::checkVersionCompatibility(const std::string& id, const StateHandler& stateHandler) const {
    if (isVersionCompatible(id, MivoSDK::shared().sdkVersion())) return true;
    notify(stateHandler, LoadState::versionIncompatibility());
    return false;
}

bool MvCharacterLoader::checkVersionCompatibility(const std::string& id) const {
    return checkVersionCompatibility(id, StateHandler{});
}

std::pair<std::optional<CachedCharacter>, bool> MvCharacterLoader::findCachedCharacter(const std::string& id) const {
    const auto records = cache_.load();
    if (!records) return {std::nullopt, false};
    for (const auto& record : *records) {
        if (record.id() != id) continue;
        // A resourcePath that is no file URL is never taken as a relative path.
        const fs::path directory =
            platform::files::pathFromFileURL(record.resourcePath()).value_or(characterDirectory(record.id()));
        return {record, existsAt(directory)};
    }
    return {std::nullopt, false};
}

std::optional<Mivo::CharacterMeta> MvCharacterLoader::fetchCharacterMeta(const std::string& id,
                                                                         const StateHandler& stateHandler,
                                                                         std::stop_token stop) const {
    const auto& sdk = MivoSDK::shared();
    const auto domains = sdk.domainsMap();
    const auto host = domains.find(sdk.currentEnvironment());
    const std::string url = "https://" + (host == domains.end() ? std::string() : host->second) + "/v1/character/" + id;
    print("fetchCharacterMeta: " + url);
    if (!platform::net::isValidURL(url)) return std::nullopt;

    try {
        const auto result = platform::net::URLSession::data(
            platform::net::URLRequest{url, {{"Content-Type", "application/json"}}, kDescriptionTimeout}, stop,
            maxDescriptionBytes);
        auto meta = Mivo::CharacterMeta::decode(std::string_view(result.body));
        // The description's id names directories: one that could leave the characters root is
        // as good as no description.
        if (!isSafeCharacterIdentifier(meta.id))
            throw std::runtime_error("the description's id is not a safe identifier: \"" + meta.id + "\"");
        print("fetched character meta " + meta.id);
        return meta;
    } catch (const std::exception& e) {
        print("faied to fetch character meta " + id + ", error: " + e.what());
        notify(stateHandler, LoadState::failed(LoadError::fetchCharacterMetaFailed));
        return std::nullopt;
    }
}

std::optional<Mivo::CharacterMeta> MvCharacterLoader::fetchCharacterMeta(const std::string& id,
                                                                         std::stop_token stop) const {
    return fetchCharacterMeta(id, StateHandler{}, stop);
}

std::optional<CachedCharacter> MvCharacterLoader::downloadCharacterAssets(const Mivo::CharacterMeta& meta,
                                                                          const StateHandler& stateHandler,
                                                                          std::stop_token stop) const {
    fs::path directory;
    try {
        directory = downloader_.downloadAssets(meta, stateHandler, stop);
    } catch (const std::exception& e) {
        print(std::string("error ") + e.what());
        notify(stateHandler, LoadState::failed(LoadError::downloadAssetsFailed));
        return std::nullopt;
    }
    return cache_.save(meta, directory);
}

std::optional<CachedCharacter> MvCharacterLoader::downloadCharacterAssets(const Mivo::CharacterMeta& meta,
                                                                          std::stop_token stop) const {
    return downloadCharacterAssets(meta, StateHandler{}, stop);
}

bool MvCharacterLoader::removeCharacterAssets(const std::string& id) const {
    if (!isSafeCharacterIdentifier(id)) {
        printUnsafe(id);
        return false;
    }
    const fs::path directory = characterDirectory(id);
    if (!existsAt(directory)) {
        print("数字人资源目录不存在: " + directory.string());
        return false;
    }
    try {
        fs::remove_all(directory);
    } catch (const fs::filesystem_error& e) {
        print(std::string("删除数字人资源失败: ") + e.what());
        throw;
    }
    cache_.remove(id);
    print("成功删除数字人资源: " + id);
    return true;
}

} // namespace MivoKit
