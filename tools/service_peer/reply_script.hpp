#pragma once
// A reply planned ahead: the encoded envelopes to send, each with the time it is due after the
// reply begins, or the point where the connection is dropped. Made by the ServiceResponder,
// carried out by the peer's server thread. A plain value.

#include "tools/service_peer/peer_record.hpp"

#include <string>
#include <vector>

using namespace MivoKit;

namespace service_peer {

struct ReplyStep {
    bool drop = false;   // close the TCP connection here, without a closing handshake
    std::string message; // one encoded envelope, sent as a binary WebSocket message
    SentMessage sent;    // when it is due, and what the record keeps of it
    std::vector<SentKeyframe> keyframes;
};

struct ReplyScript {
    WireProtocol protocol = WireProtocol::realtime;
    std::string reqId;
    std::vector<ReplyStep> steps;
};

} // namespace service_peer
