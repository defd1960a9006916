#pragma once
// The character cache index: Documents/"MvCharacterCache.plist", a binary property list whose top
// level is an array of CachedCharacter records in the order they were added, one per identifier.
//
// Operations never throw: failures are printed and turned into absent results. Saves and
// removals are read-change-write cycles of the whole file; one process-wide lock keeps them from
// overlapping, and each write goes to a temporary file beside the index that then replaces it, so
// a crash never leaves a half-written index.

#include "kit/loader/cached_character.hpp"
#include "kit/model/character_meta.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

namespace character_loader {

struct Cache {
    static std::filesystem::path fileURL();

    // Absent when the file does not exist (silently) or cannot be read or decoded ("加载缓存失败: ").
    std::optional<std::vector<CachedCharacter>> load() const;
    // Replaces the records of meta.id with a new one at the end, for the character directory
    // `resourceDirectory`; returns it, or nothing when the index could not be written.
    std::optional<CachedCharacter> save(const Mivo::CharacterMeta& meta,
                                        const std::filesystem::path& resourceDirectory) const;
    // Drops every record of the identifier and writes the index (also when nothing changed).
    void remove(const std::string& characterId) const;
};

} // namespace character_loader

} // namespace MivoKit
