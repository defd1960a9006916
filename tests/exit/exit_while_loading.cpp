// Quits while the player loads its character on the background pool.
#include "tests/exit/exit_program.hpp"

#include "kit/conversation/mv_character_manager.hpp"

int main() {
    using namespace exitprogram;
    auto manager = MvCharacterManager::create(syntheticCharacter(), Mivo::DriveServiceType::none,
                                              platform::audio::AudioFormat::standard(16000, 1));
    pumpUntilRunning("the character loads", backgroundWorkRuns);
    return 0;
}
