#include "tools/demo/demo_options.hpp"

#include <cstdio>
#include <stdexcept>

using namespace MivoKit;

namespace demo {

const char* const usage = R"(mivo_demo: a spoken conversation with the synthetic talking head.

Starts the local service peer, loads the character through the kit's loader, connects a character
manager and sends one utterance; the head answers. Writes the frames drawn (PNG), a contact sheet,
a plot of the speech's loudness against the jaw opening (sync_plot.png), and the reply's audio
(reply.wav).

  --output DIR            where to write (default demo-output)
  --drive KIND            audiovisual (default), animation or none (local playback, no service)
  --downgrade PLAN        none (default) or idle: on an error while playing, keep the audio with
                          the idle animation
  --peer-mode MODE        how the peer answers: normal (default); error (an error message); silent
                          (no answer, so the request times out); drop (the connection dropped
                          after the reply's first second); slow (the reply at half speed); stall
                          (the reply's first second, then nothing more on the open connection)
  --interrupt-after S     interrupt the reply S seconds after it starts playing
  --request-timeout S     the request time-out (the silent and stall modes use 3 s when none is
                          given, so that the peer's silence is noticed)
  --utterance FILE.wav    the user's speech (default: a generated voice-like signal)
  --reply-wav FILE.wav    the peer's reply speech (default: a generated voice-like signal)
  --microphone FILE.wav   what the microphone hears when there is no sound card (default: silence)
  --audio auto|sdl|wav    sound through SDL2 (auto: when a device opens), or into played.wav
  --size WIDTHxHEIGHT     the view's size (default 690x798)
  --sr                    draw through the super-resolution network instead of directly
  --no-window             do not open a window even where a display exists

Ctrl-C (SIGINT) or SIGTERM ends the conversation early: the demo closes the manager, writes its
files and then ends by that signal (a shell reports exit status 130 or 143). A second one ends it
at once.
)";

namespace {

template <class E>
E parseEnum(const std::string& text, std::initializer_list<std::pair<const char*, E>> table, const std::string& option) {
    for (const auto& [name, value] : table)
        if (text == name) return value;
    throw std::runtime_error(option + ": unknown value " + text);
}

double parsePositive(const std::string& text, const std::string& option) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
    }
    if (used != text.size() || !(value > 0 && value < 3600)) throw std::runtime_error(option + " wants a number of seconds above 0");
    return value;
}

} // namespace

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") throw HelpRequested{};
        else if (arg == "--output") o.output = value();
        else if (arg == "--drive")
            o.drive = parseEnum<Mivo::DriveServiceType>(value(), {{"audiovisual", Mivo::DriveServiceType::audiovisual},
                                                                  {"animation", Mivo::DriveServiceType::animation},
                                                                  {"none", Mivo::DriveServiceType::none}}, arg);
        else if (arg == "--downgrade")
            o.downgrade = parseEnum<MivoSDK::DowngradePlan>(value(), {{"none", MivoSDK::DowngradePlan::none},
                                                                      {"idle", MivoSDK::DowngradePlan::playAudioWithIdleAnimation}}, arg);
        else if (arg == "--peer-mode") {
            const std::string mode = value();
            const auto parsed = fromRaw<service_peer::PeerMode>(mode);
            if (!parsed) throw std::runtime_error(arg + ": unknown value " + mode);
            o.peerMode = *parsed;
        } else if (arg == "--interrupt-after") o.interruptAfter = parsePositive(value(), arg);
        else if (arg == "--request-timeout") o.requestTimeout = parsePositive(value(), arg);
        else if (arg == "--utterance") o.utterance = value();
        else if (arg == "--reply-wav") o.replyWav = value();
        else if (arg == "--microphone") o.microphone = value();
        else if (arg == "--audio") {
            o.audio = value();
            if (o.audio != "auto" && o.audio != "sdl" && o.audio != "wav") throw std::runtime_error("--audio wants auto, sdl or wav");
        } else if (arg == "--size") {
            const std::string size = value();
            if (std::sscanf(size.c_str(), "%ux%u", &o.width, &o.height) != 2 || o.width < 16 || o.height < 16 ||
                o.width > 4096 || o.height > 4096)
                throw std::runtime_error("--size wants WIDTHxHEIGHT, for example 690x798");
        } else if (arg == "--sr") o.superResolution = true;
        else if (arg == "--no-window") o.window = false;
        else throw std::runtime_error("unknown argument " + arg + " (--help lists them)");
    }
    // Without a request timer nothing notices a peer that stops answering.
    const bool peerGoesQuiet = o.peerMode == service_peer::PeerMode::silent || o.peerMode == service_peer::PeerMode::stall;
    if (peerGoesQuiet && !o.requestTimeout) o.requestTimeout = 3.0;
    return o;
}

} // namespace demo
