#include "kit/model/sr_network.hpp"

SRNetworkFactory::Size SRNetworkFactory::networkSize(NetworkType type) {
    switch (type) {
    case NetworkType::tolmira2020:
    case NetworkType::tolmira2023: return {690, 798};
    case NetworkType::qd2020: return {768, 768};
    }
    return {768, 768};
}

std::shared_ptr<SRNetworkProtocol> SRNetworkFactory::createNetwork(NetworkType type) {
    return std::make_shared<SRNetwork>(type);
}

SRNetwork::SRNetwork(SRNetworkFactory::NetworkType type)
    : type_(type), size_(SRNetworkFactory::networkSize(type)),
      aspectRatio_(static_cast<float>(size_.width) / static_cast<float>(size_.height)) {}
