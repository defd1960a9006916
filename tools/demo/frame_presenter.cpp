#include "tools/demo/frame_presenter.hpp"

#include "kit/model/camera_math.hpp"

#include <thread>

using namespace platform::gpu;

namespace demo {

struct FramePresenter::Target {
    std::shared_ptr<Texture> color, depth;
};

FramePresenter::FramePresenter(std::uint32_t width, std::uint32_t height, Sink sink)
    : width_(width), height_(height), sink_(std::move(sink)), device_(createSystemDefaultDevice()),
      queue_(device_->makeCommandQueue()),
      renderer_(device_, ColorFormat::RGB, PixelFormat::depth32Float, PixelFormat::invalid, 1, 1, maxFramesInFlight) {
    for (int i = 0; i < maxFramesInFlight; ++i) {
        auto target = std::make_shared<Target>();
        target->color = device_->makeTexture(
            {PixelFormat::bgra8Unorm, width, height, 1, TextureUsage::renderTarget | TextureUsage::shaderRead});
        target->depth = device_->makeTexture({PixelFormat::depth32Float, width, height, 1, TextureUsage::renderTarget});
        targets_.push_back(std::move(target));
    }
}

FramePresenter::~FramePresenter() { stop(); }

void FramePresenter::start(MvCharacterDataProvider& provider, PullObserver observer) {
    provider_ = &provider;
    observer_ = std::move(observer);
    running_ = true;
    pull();
}

void FramePresenter::stop() {
    running_ = false;
    if (timer_) timer_->cancel();
    while (inFlight_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FramePresenter::pull() {
    if (!running_) return;
    timer_ = platform::dispatch::Timer::scheduleOnMain(platform::dispatch::Seconds(1.0 / drawsPerSecond), [this] { pull(); });
    const auto& frame = provider_->currentVideoFrame();
    const auto& transform = provider_->frameTransform();
    if (!frame || !transform || frame->buffer().points.data() == lastBuffer_) return;
    // A draw that would overtake the GPU waits for the next pull, as the view's semaphore does.
    if (inFlight_.load() >= maxFramesInFlight) return;
    lastBuffer_ = frame->buffer().points.data();
    if (observer_) observer_(*frame, drawn_ + 1);
    draw(*frame, *transform);
}

void FramePresenter::draw(const Mivo::VideoFrame& frame, const Mivo::Transform& transform) {
    const auto& target = targets_[nextTarget_];
    nextTarget_ = (nextTarget_ + 1) % targets_.size();
    renderer_.update(frame.buffer());
    ViewportDescriptor view;
    view.viewport = {0, 0, double(width_), double(height_), 0, 1};
    view.projectionMatrix = perspectiveMatrix(transform.fovyRadians, float(width_) / float(height_), 0.01f, 100.0f);
    view.viewMatrix = simd::inverse(transform.translation) * simd::inverse(transform.rotation);
    view.screenSize = {width_, height_};

    auto commandBuffer = queue_->makeCommandBuffer();
    PresentedFrame presented;
    presented.number = ++drawn_;
    presented.pulledAt = platform::dispatch::monotonicNow();
    presented.frame = frame.flameFrameData();
    commandBuffer->addCompletedHandler([this, target, presented = std::move(presented)](CommandBuffer&) mutable {
        presented.presentedAt = platform::dispatch::monotonicNow();
        presented.image = readTexture(*target->color);
        if (sink_) sink_(std::move(presented));
        inFlight_.fetch_sub(1);
    });
    ++inFlight_;
    renderer_.render({view}, target->color, StoreAction::store, target->depth, nullptr, nullptr, 0, commandBuffer, queue_)
        ->commit();
}

} // namespace demo
