#pragma once
// What the loader tests share: a private Documents and temporary directory, an HTTPS peer that
// the kit reaches as its description host, real ZIP archives and a recorder of notices.

#include "kit/loader/mv_character_loader.hpp"
#include "platform/log/log.hpp"
#include "tests/support/https/https_peer.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace MivoKit;

namespace loadertest {

// "preparing", "downloading(animation 10/30)", "failed(downloadAssetsFailed)", ...
std::string describe(const MvCharacterLoader::LoadState& state);

// Collects the notices of a load from whichever thread sends them.
class Recorder {
public:
    MvCharacterLoader::StateHandler handler();
    std::vector<std::string> names() const;
    std::vector<MvCharacterLoader::DownloadProgress> progress() const;
    // True when every notice came from a thread other than the test's.
    bool allOffTestThread() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;
    std::vector<MvCharacterLoader::DownloadProgress> progress_;
    std::vector<std::thread::id> threads_;
    std::thread::id testThread_ = std::this_thread::get_id();
};

// A ZIP archive with the given entries (name -> content), as bytes.
std::string makeArchive(const std::map<std::string, std::string>& entries);

class LoaderEnvironment : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path documents() const { return temp_ / "Documents"; }
    std::filesystem::path charactersRoot() const { return documents() / "MvCharacters"; }
    std::filesystem::path temporary() const { return temp_ / "tmp"; }

    // A description whose archives are served at /files/<id>/animation.zip and model.zip (an
    // empty URL leaves an archive out).
    Mivo::CharacterMeta meta(const std::string& id, const std::string& updatedAt = "2024-01-01", bool animation = true,
                             bool model = true) const;
    std::string archiveUrl(const std::string& id, const std::string& type) const;
    std::string archivePath(const std::string& id, const std::string& type) const;
    std::string descriptionPath(const std::string& id) const { return "/v1/character/" + id; }

    // Serves the description of `requestedId` (meta.id may differ) and, for each archive URL it
    // names, the standard archive of that type.
    void serve(const std::string& requestedId, const Mivo::CharacterMeta& description);
    // The standard archives: animation/idle.json and model/point_cloud.ply + character.json.
    static const std::string& animationArchive();
    static const std::string& modelArchive();

    std::optional<Mivo::Character> load(const std::string& id, Recorder& recorder);
    bool printed(const std::string& line) const { return capture_.printedLine(line); }
    std::vector<std::string> printedLines() const { return capture_.printed(); }
    std::size_t requestCount() const { return peer_.requests().size(); }

    testsupport::TempDir temp_;
    testsupport::HttpsPeer peer_;
    platform::log::Capture capture_;
    MvCharacterLoader& loader_ = MvCharacterLoader::shared();
};

} // namespace loadertest
