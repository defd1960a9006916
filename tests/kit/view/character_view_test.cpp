#include "kit/view/mv_character_view.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/files/directories.hpp"
#include "tests/support/ends_idle.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace MivoKit;

namespace {

Mivo::Character syntheticCharacter() {
    platform::files::setDocumentsDirectory(std::filesystem::path(MIVO_TEST_DOCUMENTS_DIR));
    auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    if (!character) throw std::runtime_error("the synthetic character is missing");
    return std::move(*character);
}

struct Heard {
    std::vector<std::string> calls;
    MvCharacterView view(const std::shared_ptr<MvCharacterManager>& manager) {
        return MvCharacterView(
            manager, [this](Mivo::ConnectionState s) { calls.push_back("connection " + std::to_string(int(s))); },
            [this](Mivo::ConversationState s) { calls.push_back("conversation " + std::to_string(int(s))); },
            [this](Mivo::PlayerState s) { calls.push_back("player " + std::to_string(int(s))); },
            [this](Mivo::PlayerError e) { calls.push_back("error " + std::to_string(int(e))); });
    }
};

} // namespace

TEST(MvCharacterView, ObserversReportChangesAfterTheFirstShowAndOnlyPresentErrors) {
    MivoSDK::shared().resetToInitialValues();
    auto manager = MvCharacterManager::create(syntheticCharacter(), Mivo::DriveServiceType::audiovisual,
                                              platform::audio::AudioFormat::standard(16000, 1));
    // The states as they stand when the view is shown are not reported.
    manager->serviceConnectionChanged(true);
    Heard heard;
    {
        HostedCharacterView hosted(heard.view(manager));
        EXPECT_TRUE(heard.calls.empty());
        manager->serviceConnectionChanged(false);
        heard.calls.clear();
        manager->start(); // an https-less empty URL: connecting, then a refused connection

        // disconnected -> connecting -> connected, with the conversation starting and then active.
        manager->serviceConnectionChanged(true);
        EXPECT_EQ(heard.calls, (std::vector<std::string>{"conversation 1", "connection 1", "connection 2", "conversation 2"}));
        heard.calls.clear();
        // A player error: absent -> value calls once; the same value again, nothing.
        manager->characterPlayer(*manager->characterPlayer(), Mivo::PlayerError::startAudioEngineFailed);
        manager->characterPlayer(*manager->characterPlayer(), Mivo::PlayerError::startAudioEngineFailed);
        EXPECT_EQ(heard.calls, (std::vector<std::string>{"error 1"}));
        heard.calls.clear();
        manager->observedPlayerError().set(std::nullopt); // back to absent: nothing
        EXPECT_TRUE(heard.calls.empty());

        // A view with no closures shows the character and reports nothing.
        HostedCharacterView silent{MvCharacterView(manager)};
        manager->serviceConnectionChanged(false);
        EXPECT_EQ(heard.calls, (std::vector<std::string>{"connection 0", "conversation 0"}));
    }
    // Gone with the view: no more calls.
    heard.calls.clear();
    manager->serviceConnectionChanged(true);
    EXPECT_TRUE(heard.calls.empty());
    manager->close(true);
    EXPECT_TRUE(testsupport::finishWork());
}

TEST(MvCharacterView, EachEvaluationBuildsANewNetworkAndTheHostKeepsOneGPUViewWithADrawLoop) {
    auto manager = MvCharacterManager::create(syntheticCharacter(), Mivo::DriveServiceType::none,
                                              platform::audio::AudioFormat::standard(16000, 1));
    MvCharacterView view(manager);
    const auto first = view.body(), second = view.body();
    EXPECT_NE(first.content.srNetwork, second.content.srNetwork);
    EXPECT_NE(first.content.mtkView, second.content.mtkView);
    // The default direct mode still gets a network object, which it does not use.
    EXPECT_EQ(first.content.renderMode, RenderMode::Default);
    ASSERT_TRUE(first.content.srNetwork);
    EXPECT_EQ(first.content.characterDataProvider.get(), static_cast<MvCharacterDataProvider*>(manager->characterPlayer().get()));

    {
        HostedCharacterView hosted(view);
        const auto gpuView = hosted.gpuView();
        ASSERT_TRUE(hosted.coordinator()->renderer);
        EXPECT_EQ(gpuView->delegate(), hosted.coordinator()->renderer);
        EXPECT_EQ(gpuView->preferredFramesPerSecond, 30);
        EXPECT_TRUE(gpuView->isDisplayLinkRunning());
        EXPECT_TRUE(std::dynamic_pointer_cast<SplatRenderer>(hosted.coordinator()->renderer->splatRenderer()));
        hosted.update(view);
        EXPECT_EQ(hosted.gpuView(), gpuView);

        // Frames reach the view: the player's idle animation, pulled by the draw loop. A frame is
        // pulled during one draw and drawn by the next, so two presents after the player's first
        // frame show the head.
        gpuView->setDrawableSize(96, 111);
        const auto& player = *manager->characterPlayer();
        ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return player.currentVideoFrame().has_value(); },
                                                      platform::dispatch::Seconds(60)));
        const auto presented = gpuView->presentedCount();
        ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return gpuView->presentedCount() >= presented + 2; },
                                                      platform::dispatch::Seconds(20)));
        const auto image = gpuView->lastPresented();
        ASSERT_TRUE(image);
        std::size_t white = 0, head = 0;
        for (std::size_t i = 0; i < image->rgba.size(); i += 4) {
            const bool isWhite = image->rgba[i] >= 250 && image->rgba[i + 1] >= 250 && image->rgba[i + 2] >= 250;
            (isWhite ? white : head) += 1;
        }
        // The head covers part of the picture; the rest is the white background around it.
        const std::size_t pixels = image->rgba.size() / 4;
        EXPECT_GT(head, pixels / 20);
        EXPECT_GT(white, pixels / 5);
    }
    manager->close(true);
    EXPECT_TRUE(testsupport::finishWork());
}
