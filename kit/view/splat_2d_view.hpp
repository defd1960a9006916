#pragma once
// The kit's GPU view as a user-interface view value: what to show (render mode, network, the GPU
// view to host, the player to pull from). The framework that hosts it calls makeCoordinator() once
// and makeUIView() once, when it first makes the underlying view; later values only update it.
// The coordinator keeps the draw loop alive, since the GPU view holds its delegate weakly.
// Main queue only.

#include "kit/view/splat_2d_renderer.hpp"
#include "platform/dispatch/dispatch.hpp"

#include <memory>
#include <optional>

namespace MivoKit {

struct Splat2DView {
    struct Coordinator {
        std::shared_ptr<Splat2DRenderer> renderer;
    };

    std::optional<std::shared_ptr<platform::dispatch::Timer>> _timer; // view state, not read
    RenderMode renderMode = RenderMode::Default;
    std::shared_ptr<SRNetworkProtocol> srNetwork;
    std::shared_ptr<platform::gpu::GPUView> mtkView;
    std::shared_ptr<MvCharacterDataProvider> characterDataProvider;

    // A coordinator without a renderer.
    std::shared_ptr<Coordinator> makeCoordinator() const;
    // Gives the GPU view the system's default device and a draw loop (kept by the coordinator),
    // makes the loop its delegate (none without a device or a renderer) and asks for 30 frames a
    // second; returns the view.
    std::shared_ptr<platform::gpu::GPUView> makeUIView(Coordinator& context) const;
};

} // namespace MivoKit
