#pragma once
// How a character is drawn and which super-resolution network draws it, with each network's size.
// Only the size is known here; loading and prediction belong to the renderer.

#include "kit/model/raw_value.hpp"

#include <memory>

enum class RenderMode { SR, Default };

template <>
struct RawValues<RenderMode> {
    static constexpr std::array<std::pair<RenderMode, std::string_view>, 2> table{{
        {RenderMode::SR, "SR"},
        {RenderMode::Default, "Default"},
    }};
};

class SRNetworkProtocol {
public:
    virtual ~SRNetworkProtocol() = default;
    // Width over height, as fixed at creation.
    virtual float getAspectRatio() const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
};

struct SRNetworkFactory {
    enum class NetworkType { tolmira2020, tolmira2023, qd2020 };

    struct Size {
        int width;
        int height;
    };
    // 690 x 798 for both tolmira networks, 768 x 768 for qd2020.
    static Size networkSize(NetworkType type);
    // A new network of that kind whose model is not loaded yet.
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

// A network that knows its kind and size.
class SRNetwork : public SRNetworkProtocol {
public:
    explicit SRNetwork(SRNetworkFactory::NetworkType type);

    SRNetworkFactory::NetworkType type() const { return type_; }
    float getAspectRatio() const override { return aspectRatio_; }
    int width() const override { return size_.width; }
    int height() const override { return size_.height; }

private:
    SRNetworkFactory::NetworkType type_;
    SRNetworkFactory::Size size_;
    float aspectRatio_;
};
