#include "audio_test_support.hpp"

#include "platform/audio/audio_session.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace audiotest;

namespace {

// Puts the process's session back to the system backend after each test.
struct AudioSessionTest : testing::Test {
    ~AudioSessionTest() override { AudioSession::sharedInstance().setBackend(nullptr); }
    AudioSession& session = AudioSession::sharedInstance();
    std::shared_ptr<ScriptedAudioSessionBackend> backend = std::make_shared<ScriptedAudioSessionBackend>();
};

TEST_F(AudioSessionTest, AScriptedFailureCarriesItsDescriptionAndLeavesTheSessionAsItWas) {
    session.setCategory(AudioSessionCategory::record);
    session.setActive(true);
    session.setBackend(backend); // starts the session afresh
    EXPECT_EQ(session.category(), AudioSessionCategory::ambient);
    EXPECT_FALSE(session.isActive());
    EXPECT_EQ(&session, &AudioSession::sharedInstance());

    backend->failSetCategory("the category is taken", 2);
    EXPECT_THROW(session.setCategory(AudioSessionCategory::playback), AudioError);
    const auto refused = [&] {
        session.setCategory(AudioSessionCategory::playAndRecord, AudioSessionMode::spokenAudio);
    };
    EXPECT_EQ(audioErrorOf(refused), "the category is taken");
    EXPECT_EQ(session.category(), AudioSessionCategory::ambient);
    EXPECT_EQ(session.mode(), AudioSessionMode::none);

    session.setCategory(AudioSessionCategory::playAndRecord, AudioSessionMode::spokenAudio);
    EXPECT_EQ(session.category(), AudioSessionCategory::playAndRecord);
    EXPECT_EQ(session.mode(), AudioSessionMode::spokenAudio);
    EXPECT_EQ(backend->setCategoryCalls(), 3);

    backend->failSetActive("no microphone", -1);
    for (int i = 0; i < 3; ++i) EXPECT_THROW(session.setActive(true), AudioError);
    EXPECT_FALSE(session.isActive());
    backend->clearFailures();
    session.setActive(true);
    EXPECT_TRUE(session.isActive());
    EXPECT_EQ(backend->setActiveCalls(), 4);
}

} // namespace
