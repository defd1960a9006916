#include "tools/service_peer/wire_protocol.hpp"

#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/proto/realtime.pb.h"

using namespace MivoKit;

namespace service_peer {

WireProtocol protocolForPath(std::string_view path) {
    return path == kAnimationPath ? WireProtocol::drivenIngress : WireProtocol::realtime;
}

std::string messageTypeName(WireProtocol protocol, int type) {
    std::string name;
    if (protocol == WireProtocol::realtime) {
        if (api::realtime::v1::MessageType_IsValid(type))
            name = api::realtime::v1::MessageType_Name(static_cast<api::realtime::v1::MessageType>(type));
    } else if (api::driven_ingress::v1::MessageType_IsValid(type)) {
        name = api::driven_ingress::v1::MessageType_Name(static_cast<api::driven_ingress::v1::MessageType>(type));
    }
    return name.empty() ? std::to_string(type) : name;
}

} // namespace service_peer
