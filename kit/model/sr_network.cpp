#include "kit/model/sr_network.hpp"

namespace MivoKit {

SRNetworkFactory::Size SRNetworkFactory::networkSize(NetworkType type) {
    switch (type) {
    case NetworkType::tolmira2020:
    case NetworkType::tolmira2023: return {690, 798, 0.86466163f};
    case NetworkType::qd2020: return {768, 768, 1.0f};
    }
    return {768, 768, 1.0f};
}

} // namespace MivoKit
