#pragma once
// The network's side of the super-resolution renderers: a frame's offscreen command buffer, once
// complete, hands the input it packed to start(), on the GPU's completion thread; the prediction
// then runs on the serial queue "SRTaskQueue" and writes the output ring (sr_pixel_buffer.hpp).
//
// - At most one prediction is pending or running (srTaskCount 0 or 1, an atomic: the completion
//   thread, the queue and the rendering thread share it). A frame that completes meanwhile drops
//   its input.
// - The prediction reads its own copy of the input, made in start(): the GPU runs the next
//   frame's packing, which rewrites the input, only after start() has returned.
// - A network that cannot predict (canPredict() false: no model) starts none. A prediction that
//   finds its ring buffer still sampled by a screen pass, whose input cannot be viewed or that
//   throws is no success: index and ready stay; the last two print "Failed to generate SR input"
//   and "SR prediction failed: <description>".
// - The queued prediction holds this object (and the queue) strongly, so a renderer may go away
//   meanwhile: the last reference may then be dropped on the queue, which nothing joins.

#include "kit/render/metal_buffer.hpp"
#include "kit/render/splat.hpp"
#include "kit/render/sr/sr_network_protocol.hpp"
#include "kit/render/sr/sr_pixel_buffer.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <atomic>
#include <memory>

namespace MivoKit {

class SRPredictor : public std::enable_shared_from_this<SRPredictor> {
public:
    SRPredictor(std::shared_ptr<platform::gpu::Device> device, std::shared_ptr<SRNetworkProtocol> network,
                std::shared_ptr<SRPixelBuffer> ring);

    // On the GPU's completion thread: starts a prediction from `input` (the buffer a frame packed,
    // or null) unless one is pending, the input was never sized (capacity 1) or the network cannot
    // predict.
    void start(const std::shared_ptr<MetalBuffer<PackedSRHalf8>>& input);

    int srTaskCount() const { return srTaskCount_.load(std::memory_order_acquire); }
    platform::dispatch::SerialQueue& srTaskQueue() { return *srTaskQueue_; }

private:
    void predict();

    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<SRNetworkProtocol> network_;
    std::shared_ptr<SRPixelBuffer> ring_;
    std::shared_ptr<platform::dispatch::SerialQueue> srTaskQueue_;
    std::atomic<int> srTaskCount_{0};
    // The prediction's input; only the holder of the task count touches it.
    std::shared_ptr<MetalBuffer<PackedSRHalf8>> input_;
};

} // namespace MivoKit
