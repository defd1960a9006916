#pragma once
// A super-resolution network: turns the eight feature channels of the offscreen splat rendering,
// at the network's size, into the image of the head at twice that size.
//
// loadModel() runs on the thread of whoever calls it (the renderer's set-up); prediction() on the
// renderer's serial queue "SRTaskQueue", one at a time; the size getters from any thread (they read
// constants).

#include "platform/ml/ml_multi_array.hpp"
#include "platform/ml/pixel_buffer.hpp"

namespace MivoKit {

class SRNetworkProtocol {
public:
    virtual ~SRNetworkProtocol() = default;

    // Loads the compiled model.
    virtual void loadModel() = 0;
    // Runs the model on `input` (16-bit floats, shape [8, height, width]) and writes the output image
    // into `outputRef`. The kit's networks never throw; a network that does has its frame dropped.
    virtual void prediction(const platform::ml::MLMultiArray& input, platform::ml::PixelBuffer& outputRef) = 0;
    virtual int getWidth() const = 0;
    virtual int getHeight() const = 0;
    // Width over height.
    virtual float getAspectRatio() const = 0;

    // Whether a prediction can produce an image now (a network without a loaded model cannot: its
    // predictions return without writing). Networks that always can need not override it.
    virtual bool canPredict() const { return true; }
};

} // namespace MivoKit
