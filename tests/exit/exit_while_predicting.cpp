// Quits while the super-resolution network predicts on its serial queue, the draw loop of an SR
// view having handed it a frame of splats.
#include "tests/exit/exit_program.hpp"

#include "kit/conversation/mv_character_data_provider.hpp"
#include "kit/view/splat_2d_renderer.hpp"
#include "kit/render/sr/sr_networks.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/gpu_view.hpp"

#include <random>

namespace {

using namespace MivoKit;

// A frame of a few thousand splats in front of the camera.
struct CloudProvider : MvCharacterDataProvider {
    std::optional<Mivo::VideoFrame> frame;
    std::optional<Mivo::Transform> transform;
    std::shared_ptr<EyeTrackingLogic> eyes;
    CloudProvider() {
        std::mt19937 random(7);
        std::uniform_real_distribution<float> unit(-0.3f, 0.3f);
        SplatMemoryBuffer buffer;
        for (int i = 0; i < 4000; ++i) {
            auto& p = buffer.points.emplace_back();
            p.position = {unit(random), unit(random), unit(random)};
            p.color = SplatScenePoint::Color::LinearFloat256{200, 120, 90};
            p.opacity = SplatScenePoint::Opacity::LinearFloat{0.8f};
            p.scale = SplatScenePoint::Scale::LinearFloat{0.02f, 0.02f, 0.02f};
        }
        frame.emplace(buffer, FlameFrameData());
        auto back = simd::float4x4::identity();
        back.columns[3] = {0, 0, 1.5f, 1};
        transform = Mivo::Transform(back, simd::float4x4::identity(), 0.8f);
    }
    const std::optional<Mivo::VideoFrame>& currentVideoFrame() const override { return frame; }
    std::optional<Mivo::Transform>& frameTransform() override { return transform; }
    std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() override { return eyes; }
};

} // namespace

int main() {
    using namespace exitprogram;
    auto view = platform::gpu::GPUView::make();
    view->setDevice(platform::gpu::createSystemDefaultDevice());
    auto renderer = Splat2DRenderer::make(view, std::make_shared<CloudProvider>(), RenderMode::SR,
                                          SRNetworkFactory::createNetwork(SRNetworkFactory::NetworkType::tolmira2023));
    view->setDelegate(renderer);
    view->setDrawableSize(120, 140);
    // The first draw pulls the splats and the camera; the next ones hand frames to the network.
    pumpUntilRunning("the network predicts", [&] {
        view->draw();
        return backgroundWorkRuns();
    });
    return 0;
}
