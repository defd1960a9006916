#pragma once
// How a character is drawn and which super-resolution network draws it, with each network's
// size. The networks themselves (SRNetworkProtocol, kit/render/sr/sr_network_protocol.hpp) load and
// run models, which belongs to the renderer: createNetwork is declared here for its callers and
// defined in kit/render/sr with the networks it builds.

#include "kit/model/raw_value.hpp"

#include <memory>

namespace MivoKit {

class SRNetworkProtocol;

enum class RenderMode { SR, Default };

template <>
struct RawValues<RenderMode> {
    static constexpr std::array<std::pair<RenderMode, std::string_view>, 2> table{{
        {RenderMode::SR, "SR"},
        {RenderMode::Default, "Default"},
    }};
};

struct SRNetworkFactory {
    enum class NetworkType { tolmira2020, tolmira2023, qd2020 };

    struct Size {
        int width;
        int height;
        // Width over height, kept as a constant rather than divided out.
        float aspectRatio;
    };
    // 690 x 798 (0.86466163, the float nearest 690/798) for both tolmira networks, 768 x 768 (1.0)
    // for qd2020.
    static Size networkSize(NetworkType type);
    // A new network of that kind with the size above and no model loaded; every call makes a fresh
    // one. Defined in kit/render/sr/sr_network_factory.cpp.
    static std::shared_ptr<SRNetworkProtocol> createNetwork(NetworkType type);
};

template <>
struct RawValues<SRNetworkFactory::NetworkType> {
    static constexpr std::array<std::pair<SRNetworkFactory::NetworkType, std::string_view>, 3> table{{
        {SRNetworkFactory::NetworkType::tolmira2020, "tolmira2020"},
        {SRNetworkFactory::NetworkType::tolmira2023, "tolmira2023"},
        {SRNetworkFactory::NetworkType::qd2020, "qd2020"},
    }};
};

} // namespace MivoKit
