#pragma once
// The settings of the local service peer: where it listens, whom it lets in, what it serves and
// how it answers. Plain values, read once when the peer starts; requestLog is then called on the
// peer's server thread.

#include "kit/model/raw_value.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace MivoKit;

namespace service_peer {

// How the peer answers each utterance.
enum class PeerMode {
    normal, // the reply, paced in real time (scaled by the pace)
    error,  // one MESSAGE_ERROR carrying a reason text
    silent, // nothing at all, so the client's request time-out fires
    drop,   // the reply's first second, then the TCP connection is dropped without a closing handshake
    slow,   // the reply at half speed, so the client's playback runs dry
    stall,  // the reply's first second, then nothing more; the connection stays open
};

struct PeerOptions {
    // 0: the system picks a free port.
    unsigned short port = 0;
    // The value an upgrade must carry in "X-Session-Key"; anything else gets HTTP 401.
    std::string sessionKey = "local-session-key";
    // The characters served: the "?id=" an upgrade may name (another gets HTTP 404) and the
    // descriptions and archives over HTTPS.
    std::vector<std::string> characterIds = {"synthetic"};
    // The character directory whose archives are served and whose first idle frame is the base of
    // every keyframe; without one nothing is served over HTTPS and keyframes start from a neutral frame.
    std::optional<std::filesystem::path> characterDirectory;
    PeerMode mode = PeerMode::normal;
    // Seconds of waiting per second of reply audio: 1 real time, 0 as fast as possible.
    double pace = 1.0;
    // A WAV file (16-bit PCM mono; other formats are converted, channels mixed down) spoken in
    // every reply, resampled to sampleRate when its rate differs; without one, a generated
    // voice-like signal.
    std::optional<std::filesystem::path> replyWav;
    // The rate of the session's PCM audio, both directions.
    int sampleRate = 16000;
    // Receives one line per request handled (upgrade, utterance, HTTP request).
    std::function<void(const std::string&)> requestLog;

    // Throws std::invalid_argument naming the first setting out of range.
    void validate() const;
};

} // namespace service_peer

template <>
struct MivoKit::RawValues<service_peer::PeerMode> {
    static constexpr std::array<std::pair<service_peer::PeerMode, std::string_view>, 6> table{{
        {service_peer::PeerMode::normal, "normal"},
        {service_peer::PeerMode::error, "error"},
        {service_peer::PeerMode::silent, "silent"},
        {service_peer::PeerMode::drop, "drop"},
        {service_peer::PeerMode::slow, "slow"},
        {service_peer::PeerMode::stall, "stall"},
    }};
};
