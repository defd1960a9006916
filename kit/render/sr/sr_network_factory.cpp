// SRNetworkFactory is declared in kit/model/sr_network.hpp, where the character reads the
// networks' sizes; createNetwork is defined here, beside the networks it builds, because the model
// layer does not depend on the renderer.

#include "kit/model/sr_network.hpp"
#include "kit/render/sr/sr_networks.hpp"

namespace MivoKit {

std::shared_ptr<SRNetworkProtocol> SRNetworkFactory::createNetwork(NetworkType type) {
    const Size size = networkSize(type);
    switch (type) {
    case NetworkType::tolmira2020:
        return std::make_shared<SRNetworkTolmira2020>(size.width, size.height, size.aspectRatio);
    case NetworkType::tolmira2023:
        return std::make_shared<SRNetworkTolmira2023>(size.width, size.height, size.aspectRatio);
    case NetworkType::qd2020: return std::make_shared<SRNetworkQd2020>(size.width, size.height, size.aspectRatio);
    }
    return nullptr;
}

} // namespace MivoKit
