#pragma once
// The three super-resolution networks: SRNetworkTolmira2020 and SRNetworkTolmira2023 (690 x 798)
// and SRNetworkQd2020 (768 x 768), each running its model wrapper (kit/render/sr/sr_models.hpp).
// SRNetworkFactory::createNetwork makes them with their sizes and no model.
//
// loadModel() loads the wrapper (compute units all, fast-prediction specialisation, display name
// "超分网络"), replacing any earlier model; a model that fails to load leaves the network without
// one, silently. Either way it prints "SRModule init". Without a model, prediction() returns at once
// and writes nothing; with one it writes "output_image" into the caller's pixel buffer, and a
// failed prediction is dropped (the buffer keeps whatever was written). Nothing is thrown.
//
// Threads: loadModel() on the renderer's set-up thread while predictions may already run on its
// serial queue, so the model is swapped atomically; a prediction keeps the model it started with.

#include "kit/render/sr/sr_models.hpp"
#include "kit/render/sr/sr_network_protocol.hpp"

#include <atomic>
#include <memory>

namespace MivoKit {

// The network shared by the three kinds; `Model` is the wrapper it runs.
template <class Model>
class SRModelNetwork : public SRNetworkProtocol {
public:
    SRModelNetwork(int width, int height, float aspectRatio)
        : width_(width), height_(height), aspectRatio_(aspectRatio) {}

    void loadModel() override;
    void prediction(const platform::ml::MLMultiArray& input, platform::ml::PixelBuffer& outputRef) override;
    int getWidth() const override { return width_; }
    int getHeight() const override { return height_; }
    float getAspectRatio() const override { return aspectRatio_; }
    // Whether a model is loaded.
    bool canPredict() const override { return model_.load() != nullptr; }

private:
    std::atomic<std::shared_ptr<Model>> model_; // absent until loadModel() succeeds
    int width_;
    int height_;
    float aspectRatio_;
};

class SRNetworkTolmira2020 final : public SRModelNetwork<sr_model_t_2020> {
public:
    using SRModelNetwork::SRModelNetwork;
};

class SRNetworkTolmira2023 final : public SRModelNetwork<sr_model_t_2023> {
public:
    using SRModelNetwork::SRModelNetwork;
};

class SRNetworkQd2020 final : public SRModelNetwork<sr_model_qd_2020> {
public:
    using SRModelNetwork::SRModelNetwork;
};

extern template class SRModelNetwork<sr_model_t_2020>;
extern template class SRModelNetwork<sr_model_t_2023>;
extern template class SRModelNetwork<sr_model_qd_2020>;

} // namespace MivoKit
