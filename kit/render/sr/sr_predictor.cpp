#include "kit/render/sr/sr_predictor.hpp"

#include "kit/render/shaders/sr_compute_kernels.hpp"
#include "platform/log/log.hpp"

#include <cstring>
#include <exception>

namespace MivoKit {

SRPredictor::SRPredictor(std::shared_ptr<platform::gpu::Device> device, std::shared_ptr<SRNetworkProtocol> network,
                         std::shared_ptr<SRPixelBuffer> ring)
    : device_(std::move(device)), network_(std::move(network)), ring_(std::move(ring)),
      srTaskQueue_(std::make_shared<platform::dispatch::SerialQueue>("SRTaskQueue")) {}

void SRPredictor::start(const std::shared_ptr<MetalBuffer<PackedSRHalf8>>& input) {
    // Without a model there is nothing to predict: no copy, no task.
    if (!input || input->capacity() == 1 || !network_->canPredict()) return;
    int idle = 0;
    if (!srTaskCount_.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) return;
    try {
        if (!input_ || input_->capacity() != input->capacity())
            input_ = std::make_shared<MetalBuffer<PackedSRHalf8>>(device_, input->capacity());
    } catch (const MetalBufferError&) {
        srTaskCount_.store(0, std::memory_order_release);
        return;
    }
    std::memcpy(input_->values(), input->values(), input->capacity() * sizeof(PackedSRHalf8));
    input_->count = input->capacity();
    srTaskQueue_->post([self = shared_from_this(), queue = srTaskQueue_] { self->predict(); });
}

void SRPredictor::predict() {
    struct Done {
        std::atomic<int>& count;
        ~Done() { count.fetch_sub(1, std::memory_order_acq_rel); }
    } done{srTaskCount_};

    std::shared_ptr<platform::ml::MLMultiArray> view;
    try {
        view = input_->makeMultiArray(shaders::kSRChannelCount, std::size_t(network_->getHeight()),
                                      std::size_t(network_->getWidth()));
    } catch (const std::exception&) {
        platform::log::print("Failed to generate SR input");
        return;
    }
    auto output = ring_->claimBufferToWrite();
    if (!output) return; // a screen pass still shows that buffer
    try {
        network_->prediction(*view, *output);
    } catch (const std::exception& error) {
        platform::log::print(std::string("SR prediction failed: ") + error.what());
        return;
    } catch (...) {
        platform::log::print("SR prediction failed: unknown error");
        return;
    }
    ring_->finishWrite();
}

} // namespace MivoKit
