// The character download end to end: the kit's loader fetches the description from the peer,
// downloads both archives and unpacks them into the same directory the peer was given.

#include "kit/loader/character_identifier.hpp"
#include "kit/loader/mv_character_loader.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "platform/files/directories.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tools/service_peer/peer_session.hpp"

#include <chrono>
#include <map>

using namespace MivoKit;

namespace fs = std::filesystem;
using namespace peertest;

namespace {

class CharacterDownloadTest : public PeerTest {
protected:
    void SetUp() override {
        PeerTest::SetUp();
        platform::files::setDocumentsDirectory(temp_ / "Documents");
        platform::files::setTemporaryDirectory(temp_ / "tmp");
        auto options = peerOptions();
        options.characterDirectory = MIVO_TEST_CHARACTER_DIR;
        MivoSDK::shared().set(start(options).domain(), MivoSDK::Environment::release);
    }
    void TearDown() override {
        platform::files::setDocumentsDirectory(std::nullopt);
        platform::files::setTemporaryDirectory(std::nullopt);
        PeerTest::TearDown();
    }

    // Loads through the kit's loader; `last` receives the last notice of the load.
    std::optional<Mivo::Character> load(const std::string& id, std::optional<MvCharacterLoader::LoadState>& last) {
        auto future = MvCharacterLoader::shared().loadCharacter(id, [&](const auto& state) { last = state; });
        EXPECT_EQ(future.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        return future.get();
    }

    testsupport::TempDir temp_;
};

// Every file below the directory, by its relative path, with its content.
std::map<std::string, std::string> filesBelow(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file())
            files[entry.path().lexically_relative(directory).generic_string()] = testsupport::readFile(entry.path());
    return files;
}

TEST_F(CharacterDownloadTest, TheLoaderRebuildsTheServedCharacterDirectory) {
    std::optional<MvCharacterLoader::LoadState> last;
    const auto character = load(kCharacterId, last);
    ASSERT_TRUE(character.has_value());
    EXPECT_TRUE(last && last->is<MvCharacterLoader::LoadState::Completed>());

    const auto source = filesBelow(MIVO_TEST_CHARACTER_DIR);
    const auto loaded = filesBelow(character_loader::characterDirectory(kCharacterId));
    ASSERT_EQ(source.size(), loaded.size());
    for (const auto& [path, content] : source) {
        ASSERT_TRUE(loaded.contains(path)) << path;
        EXPECT_TRUE(loaded.at(path) == content) << path << " differs";
    }
    // Version and camera come from the source's character.json, through the description.
    const auto description = nlohmann::json::parse(source.at("character.json"));
    EXPECT_EQ(character->version(), description.at("version").get<std::string>());
    EXPECT_EQ(character->camera(), Mivo::CameraSettings::decode(description.at("camera")));

    // The description, then a size request and a download of each archive.
    std::vector<std::string> targets;
    for (const auto& request : peer_->record().httpRequests()) {
        EXPECT_EQ(request.status, 200) << request.target;
        targets.push_back(request.target);
    }
    EXPECT_EQ(targets, (std::vector<std::string>{"/v1/character/synthetic", "/assets/synthetic/animation.zip",
                                                 "/assets/synthetic/model.zip", "/assets/synthetic/animation.zip",
                                                 "/assets/synthetic/model.zip"}));
}

TEST_F(CharacterDownloadTest, UnknownCharactersAndArchivesAreNotFound) {
    std::optional<MvCharacterLoader::LoadState> last;
    EXPECT_FALSE(load("nobody", last).has_value());
    const auto* failed = last ? last->as<MvCharacterLoader::LoadState::Failed>() : nullptr;
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->error, MvCharacterLoader::LoadError::fetchCharacterMetaFailed);

    const auto& downloader = MvCharacterLoader::shared().downloader();
    EXPECT_ANY_THROW(downloader.fetchContentLength(peer_->origin() + "/assets/synthetic/x.zip"));
    EXPECT_ANY_THROW(downloader.fetchContentLength(peer_->origin() + "/assets/nobody/model.zip"));
    const auto requests = peer_->record().httpRequests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) EXPECT_EQ(request.status, 404) << request.target;
}

} // namespace
