// mivo_service_peer: the kit's realtime services and character download played on 127.0.0.1, for
// the demo and for trying the kit end to end. Prints where it listens, writes its certificate for
// the client to trust, and serves until interrupted (SIGINT or SIGTERM).

#include "tools/service_peer/service_peer.hpp"

#include <signal.h>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

using namespace MivoKit;

namespace {

constexpr const char* kUsage = R"(Usage: mivo_service_peer [options]

Plays the server side of the kit's realtime services on 127.0.0.1 over TLS with a self-signed
certificate made at start (CN=localhost, DNS:localhost, IP:127.0.0.1). One port carries
  wss://localhost:PORT/v1/realtime/websocket       audiovisual drive (api.realtime.v1; any other path too)
  wss://localhost:PORT/v1/driveningress/websocket  animation drive (api.driven_ingress.v1)
  https://localhost:PORT/v1/character/ID           the character description
  https://localhost:PORT/assets/ID/animation.zip   the character archives (and model.zip)
Upgrades must carry the session key in "X-Session-Key" (else HTTP 401) and a served character in
"?id=" (else HTTP 404).

Options:
  --port N               listen on port N (default: a free port the system picks)
  --session-key KEY      the session key upgrades must carry (default: local-session-key)
  --character-id ID      a character to serve; repeat for more (default: synthetic)
  --character-dir DIR    serve this character directory as ZIP archives and start every keyframe
                         from the first frame of its animation/idle.json (default: nothing over
                         HTTPS, keyframes from a neutral frame)
  --mode MODE            how utterances are answered: normal, error (MESSAGE_ERROR), silent (no
                         answer), drop (connection dropped after a second of the reply), slow (reply
                         sent at half speed), stall (a second of the reply, then nothing more on an
                         open connection) (default: normal)
  --pace P               seconds of waiting per second of reply audio: 1 real time, 0 as fast as
                         possible (default: 1)
  --reply-wav FILE       speak this WAV in every reply: 16-bit PCM mono (other formats are
                         converted, channels mixed down), resampled to the session's rate
                         (default: a generated voice-like signal, 2.5 s)
  --sample-rate HZ       the session's PCM rate, both directions (default: 16000)
  --certificate-out FILE write the certificate (PEM) there, for the client to trust
  --verbose              print one line per request handled
  --help                 print this text

On start it prints, one per line:
  port=PORT
  domain=localhost:PORT
  origin=https://localhost:PORT
  audiovisual_url=wss://localhost:PORT/v1/realtime/websocket
  animation_url=wss://localhost:PORT/v1/driveningress/websocket
  certificate=FILE        (with --certificate-out)
  ready
and then serves until SIGINT or SIGTERM.
)";

struct CommandLine {
    service_peer::PeerOptions options;
    std::optional<std::string> certificateOut;
    bool verbose = false;
    bool help = false;
};

CommandLine parse(int argc, char** argv) {
    CommandLine c;
    bool defaultIds = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        auto number = [&](long low, long high) {
            const std::string text = value();
            std::size_t used = 0;
            long n = 0;
            try {
                n = std::stol(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != text.size() || n < low || n > high)
                throw std::invalid_argument(arg + " wants a whole number from " + std::to_string(low) + " to " +
                                            std::to_string(high));
            return n;
        };
        if (arg == "--help" || arg == "-h") c.help = true;
        else if (arg == "--port") c.options.port = static_cast<unsigned short>(number(0, 65535));
        else if (arg == "--session-key") c.options.sessionKey = value();
        else if (arg == "--character-id") {
            if (defaultIds) c.options.characterIds.clear();
            defaultIds = false;
            c.options.characterIds.push_back(value());
        } else if (arg == "--character-dir") c.options.characterDirectory = value();
        else if (arg == "--mode") {
            const std::string text = value();
            const auto mode = fromRaw<service_peer::PeerMode>(text);
            if (!mode) throw std::invalid_argument("unknown mode " + text + "; normal, error, silent, drop, slow or stall");
            c.options.mode = *mode;
        } else if (arg == "--pace") {
            const std::string text = value();
            try {
                std::size_t used = 0;
                c.options.pace = std::stod(text, &used);
                if (used != text.size()) throw std::invalid_argument(text);
            } catch (const std::exception&) {
                throw std::invalid_argument("--pace wants a number, e.g. 1 or 0.5");
            }
        } else if (arg == "--reply-wav") c.options.replyWav = value();
        else if (arg == "--sample-rate") c.options.sampleRate = static_cast<int>(number(8000, 48000));
        else if (arg == "--certificate-out") c.certificateOut = value();
        else if (arg == "--verbose") c.verbose = true;
        else throw std::invalid_argument("unknown argument " + arg + " (see --help)");
    }
    return c;
}

void writeCertificate(const std::string& path, const std::string& pem) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << pem;
    out.close();
    if (!out) throw std::runtime_error("cannot write the certificate to " + path);
}

} // namespace

int main(int argc, char** argv) {
    CommandLine commandLine;
    try {
        commandLine = parse(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "mivo_service_peer: " << e.what() << "\n";
        return 2;
    }
    if (commandLine.help) {
        std::cout << kUsage;
        return 0;
    }

    // A reader that stops reading the output must not end the peer.
    signal(SIGPIPE, SIG_IGN);
    // Blocked before the server thread starts, so that it inherits the mask and the signals wait
    // for sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex outputMutex;
    if (commandLine.verbose) {
        commandLine.options.requestLog = [&outputMutex](const std::string& line) {
            std::lock_guard lock(outputMutex);
            std::cout << line << std::endl;
        };
    }

    try {
        service_peer::ServicePeer peer(commandLine.options);
        if (commandLine.certificateOut) writeCertificate(*commandLine.certificateOut, peer.certificatePem());
        {
            std::lock_guard lock(outputMutex);
            std::cout << "port=" << peer.port() << "\n"
                      << "domain=" << peer.domain() << "\n"
                      << "origin=" << peer.origin() << "\n"
                      << "audiovisual_url=" << peer.audiovisualUrl() << "\n"
                      << "animation_url=" << peer.animationUrl() << "\n";
            if (commandLine.certificateOut) std::cout << "certificate=" << *commandLine.certificateOut << "\n";
            std::cout << "ready" << std::endl;
        }
        int signal = 0;
        sigwait(&stopSignals, &signal);
    } catch (const std::exception& e) {
        std::cerr << "mivo_service_peer: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
