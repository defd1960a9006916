#pragma once
// MvCharacterLoader: turns a character identifier into a character on disk.
//
// A load checks the identifier against the kit's version, looks for an earlier download in the
// cache index, always asks the description service for the current description, and then hands
// back the cached character or downloads and extracts the character's archives, records them in
// the index and hands back the new character.
//
// The public operations run on the background pool and answer through a std::future; the state
// handler is called on those background threads, never on the main queue. A load never throws:
// failures are printed, reported as notices and answered with no character. A stop token cancels
// a load's transfers and its waits between attempts. Loads and deletions of the same identifier
// must not run at the same time: they share its directories and record.

#include "kit/loader/cached_character.hpp"
#include "kit/loader/character_cache.hpp"
#include "kit/loader/download_error.hpp"
#include "kit/loader/downloader.hpp"
#include "kit/loader/load_state.hpp"
#include "kit/model/character.hpp"
#include "kit/model/character_meta.hpp"

#include <cstdint>
#include <future>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

namespace MivoKit {

class MvCharacterLoader {
public:
    using LoadState = character_loader::LoadState;
    using LoadError = character_loader::LoadError;
    using StateHandler = character_loader::StateHandler;
    using DownloadProgress = character_loader::DownloadProgress;
    using DownloadError = character_loader::DownloadError;
    using CachedCharacter = character_loader::CachedCharacter;
    using Downloader = character_loader::Downloader;
    using Cache = character_loader::Cache;

    static MvCharacterLoader& shared();

    MvCharacterLoader(const MvCharacterLoader&) = delete;
    MvCharacterLoader& operator=(const MvCharacterLoader&) = delete;

    // The character, or none when the load failed. Every stage is reported to the handler.
    std::future<std::optional<Mivo::Character>> loadCharacter(std::string id, StateHandler stateHandler,
                                                              std::stop_token stop = {});
    // Loads without any notice; true when a character came of it.
    std::future<bool> preloadCharacter(std::string forId, std::stop_token stop = {});
    // False when the character directory did not exist, true when it was removed; the future
    // holds the file system's error when the removal failed.
    std::future<bool> deleteCharacterAssets(std::string forId);
    // Starts removing every character of the index, one after another on one background task,
    // and returns at once.
    void deleteAllCharacterAssets();

    const Downloader& downloader() const { return downloader_; }
    const Cache& cache() const { return cache_; }

    // ---- the steps of the road, run on the calling thread ----

    std::optional<Mivo::Character> loadCharacterSilently(const std::string& id, std::stop_token stop = {}) const;
    bool checkVersionCompatibility(const std::string& id, const StateHandler& stateHandler) const;
    bool checkVersionCompatibility(const std::string& id) const;
    // The first record of the identifier, and whether its directory exists.
    std::pair<std::optional<CachedCharacter>, bool> findCachedCharacter(const std::string& id) const;
    std::optional<Mivo::CharacterMeta> fetchCharacterMeta(const std::string& id, const StateHandler& stateHandler,
                                                          std::stop_token stop = {}) const;
    std::optional<Mivo::CharacterMeta> fetchCharacterMeta(const std::string& id, std::stop_token stop = {}) const;
    std::optional<CachedCharacter> downloadCharacterAssets(const Mivo::CharacterMeta& meta,
                                                           const StateHandler& stateHandler,
                                                           std::stop_token stop = {}) const;
    std::optional<CachedCharacter> downloadCharacterAssets(const Mivo::CharacterMeta& meta,
                                                           std::stop_token stop = {}) const;
    // Throws the file system's error when the directory exists but cannot be removed.
    bool removeCharacterAssets(const std::string& id) const;

    // The limit on a description's size.
    static constexpr std::uint64_t maxDescriptionBytes = 16u << 20;

private:
    MvCharacterLoader() = default;

    // The road of a load from the version gate on; an empty handler makes it silent.
    std::optional<Mivo::Character> runLoad(const std::string& id, const StateHandler& stateHandler,
                                           std::stop_token stop) const;

    Downloader downloader_{3, 2.0};
    Cache cache_;
};

} // namespace MivoKit
