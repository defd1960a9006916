#pragma once
// The two wire protocols the service peer speaks, the WebSocket paths that select them, and the
// names of their message types for logs. Plain functions, callable from any thread.

#include "kit/model/raw_value.hpp"

#include <string>
#include <string_view>

using namespace MivoKit;

namespace service_peer {

enum class WireProtocol {
    realtime,      // audiovisual drive: speech and keyframes between a response start and end
    drivenIngress, // animation drive: keyframes only
};

// The animation drive's path; every other WebSocket path speaks the realtime protocol.
inline constexpr std::string_view kAnimationPath = "/v1/driveningress/websocket";
// The path the demo configures as the audiovisual service URL.
inline constexpr std::string_view kAudiovisualPath = "/v1/realtime/websocket";

// The protocol of an upgrade request's path (the target without its query).
WireProtocol protocolForPath(std::string_view path);

// "MESSAGE_SERVER_RESPONSE_AUDIO", ..., or the number as text for a type the protocol lacks.
std::string messageTypeName(WireProtocol protocol, int type);

} // namespace service_peer

template <>
struct MivoKit::RawValues<service_peer::WireProtocol> {
    static constexpr std::array<std::pair<service_peer::WireProtocol, std::string_view>, 2> table{{
        {service_peer::WireProtocol::realtime, "api.realtime.v1"},
        {service_peer::WireProtocol::drivenIngress, "api.driven_ingress.v1"},
    }};
};
