#pragma once
// ServicePeer: the server side of the kit's realtime services on 127.0.0.1, for the demo and for
// end-to-end tests. One TLS port, with a self-signed localhost certificate made at start, carries:
//   - WebSocket upgrades. "/v1/driveningress/websocket" speaks api.driven_ingress.v1 (animation
//     drive), any other path api.realtime.v1 (audiovisual drive, e.g. "/v1/realtime/websocket").
//     An upgrade without the configured "X-Session-Key" gets HTTP 401, one whose "?id=" names no
//     served character HTTP 404. Utterances are answered as ServiceResponder plans, in the
//     configured mode and pace; replies on one connection go out one after another.
//   - HTTPS GET of the character description and archives (CharacterAssets); without a character
//     directory every HTTP request gets 404.
// Everything is served on the peer's one server thread, where PeerOptions::requestLog is called.
// The public functions may be called from any thread.

#include "tools/service_peer/peer_options.hpp"
#include "tools/service_peer/peer_record.hpp"
#include "tools/service_peer/pcm_audio.hpp"

#include <memory>
#include <string>

using namespace MivoKit;

namespace service_peer {

class ServicePeer {
public:
    // Validates the options, reads the reply WAV and the character directory, makes the archives,
    // binds the port and starts serving. Throws std::invalid_argument or std::runtime_error (a
    // boost::system::system_error when the port cannot be bound) with a readable message.
    explicit ServicePeer(PeerOptions options);
    // Stops serving, abandoning open connections, and joins the server thread.
    ~ServicePeer();
    ServicePeer(const ServicePeer&) = delete;
    ServicePeer& operator=(const ServicePeer&) = delete;

    unsigned short port() const;
    // "localhost:<port>": the domain the kit's environment maps to.
    std::string domain() const;
    // "https://localhost:<port>".
    std::string origin() const;
    // "wss://localhost:<port>/v1/realtime/websocket": the audiovisual service URL.
    std::string audiovisualUrl() const;
    // "wss://localhost:<port>/v1/driveningress/websocket": the animation service URL.
    std::string animationUrl() const;
    // The certificate the peer presents, to be trusted by clients (platform::net::addTrustedCertificate).
    const std::string& certificatePem() const;

    // The speech every audiovisual reply carries, at the session's rate.
    const PcmAudio& replyAudio() const;
    const PeerRecord& record() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace service_peer
