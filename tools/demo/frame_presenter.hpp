#pragma once
// Draws what a character's data provider holds, as the kit's view does: on the main queue, 30 times
// a second, it pulls the current video frame and, when it is a new one and fewer than three frames
// are in flight, converts it, sorts and draws it with the direct splat renderer from the provider's
// camera transform. Each presented image is handed to the sink on the GPU thread.

#include "kit/conversation/mv_character_data_provider.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/dispatch/clock.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "tools/demo/image_files.hpp"

#include <atomic>
#include <functional>
#include <memory>

namespace demo {

struct PresentedFrame {
    std::uint64_t number = 0;                  // 1 for the first frame drawn
    platform::dispatch::Nanoseconds pulledAt{}; // when the draw pulled it (main queue)
    platform::dispatch::Nanoseconds presentedAt{};
    FlameFrameData frame;                       // what it was computed from
    RGBAImage image;
};

class FramePresenter {
public:
    static constexpr double drawsPerSecond = 30;
    static constexpr int maxFramesInFlight = 3;

    // Called on the GPU thread, one frame at a time, in drawing order.
    using Sink = std::function<void(PresentedFrame)>;
    // Called on the main queue when a pull finds a new frame, before it is drawn.
    using PullObserver = std::function<void(const Mivo::VideoFrame&, std::uint64_t number)>;

    FramePresenter(std::uint32_t width, std::uint32_t height, Sink sink);
    ~FramePresenter();

    // Starts pulling from `provider`, which must outlive stop().
    void start(MvCharacterDataProvider& provider, PullObserver observer = {});
    // No more pulls; returns when the frames in flight have been presented.
    void stop();

    std::uint64_t framesDrawn() const { return drawn_; }

private:
    struct Target;
    void pull();
    void draw(const Mivo::VideoFrame& frame, const Mivo::Transform& transform);

    std::uint32_t width_, height_;
    Sink sink_;
    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<platform::gpu::CommandQueue> queue_;
    SplatRenderer renderer_;
    std::vector<std::shared_ptr<Target>> targets_; // one per frame in flight
    std::size_t nextTarget_ = 0;
    std::atomic<int> inFlight_{0};

    MvCharacterDataProvider* provider_ = nullptr;
    PullObserver observer_;
    std::shared_ptr<platform::dispatch::Timer> timer_;
    bool running_ = false;
    const void* lastBuffer_ = nullptr; // the points of the frame drawn last
    std::uint64_t drawn_ = 0;
};

} // namespace demo
