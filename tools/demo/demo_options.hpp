#pragma once
// The demo's command line.

#include "kit/model/mivo.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "tools/service_peer/peer_options.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

using namespace MivoKit;

namespace demo {

struct Options {
    std::filesystem::path output = "demo-output";
    Mivo::DriveServiceType drive = Mivo::DriveServiceType::audiovisual;
    MivoSDK::DowngradePlan downgrade = MivoSDK::DowngradePlan::none;
    service_peer::PeerMode peerMode = service_peer::PeerMode::normal;
    std::optional<double> interruptAfter;   // seconds after the reply starts playing
    std::optional<double> requestTimeout;   // seconds; the silent and stall modes set one when none is given
    std::optional<std::filesystem::path> utterance;  // the user's speech (WAV), else a generated one
    std::optional<std::filesystem::path> replyWav;   // the peer's reply speech (WAV), else generated
    std::optional<std::filesystem::path> microphone; // the microphone's audio without a sound card
    std::string audio = "auto";                      // auto, sdl or wav
    std::uint32_t width = 690, height = 798;
    bool superResolution = false; // draw through the super-resolution network
    bool window = true;
};

extern const char* const usage;

// Thrown by parseOptions for --help.
struct HelpRequested {};

// Throws std::runtime_error with a readable message for a bad command line.
Options parseOptions(int argc, char** argv);

} // namespace demo
