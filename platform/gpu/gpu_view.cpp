#include "platform/gpu/gpu_view.hpp"

#include <algorithm>
#include <cmath>

namespace MivoKit {

namespace platform::gpu {
namespace {

// Sizes are clamped: a size that is not a finite positive number gives no drawable.
std::optional<std::uint32_t> pixels(double size) {
    if (!(size >= 1)) return std::nullopt;
    return static_cast<std::uint32_t>(std::min(size, 16384.0));
}

} // namespace

// A drawable from the view's pool: shows its texture once presented, and goes back to the pool
// when the last holder drops it.
class GPUView::PooledDrawable : public Drawable {
public:
    PooledDrawable(std::shared_ptr<Texture> texture, std::weak_ptr<GPUView> view, std::uint64_t drawNumber)
        : texture_(std::move(texture)), view_(std::move(view)), drawNumber_(drawNumber) {}
    ~PooledDrawable() override {
        if (auto view = view_.lock()) view->returnToPool(std::move(texture_));
    }
    std::shared_ptr<Texture> texture() const override { return texture_; }
    void present() override {
        if (auto view = view_.lock()) view->presentDrawable(*texture_, drawNumber_);
    }

private:
    std::shared_ptr<Texture> texture_;
    std::weak_ptr<GPUView> view_;
    std::uint64_t drawNumber_;
};

std::shared_ptr<GPUView> GPUView::make() { return std::shared_ptr<GPUView>(new GPUView()); }

GPUView::~GPUView() {
    if (displayLink_) displayLink_->cancel();
}

void GPUView::setDrawableSize(double width, double height) {
    if (width == drawableWidth_ && height == drawableHeight_) return;
    drawableWidth_ = width;
    drawableHeight_ = height;
    if (auto target = delegate()) target->drawableSizeWillChange(*this, width, height);
}

std::shared_ptr<Drawable> GPUView::currentDrawable() {
    const auto width = pixels(drawableWidth_), height = pixels(drawableHeight_);
    if (!drawableAvailable_ || !device_ || !width || !height) return nullptr;
    std::shared_ptr<Texture> texture;
    {
        std::lock_guard lock(poolMutex_);
        auto fits = std::find_if(pool_.begin(), pool_.end(), [&](const auto& t) {
            return t->width() == *width && t->height() == *height && t->pixelFormat() == colorPixelFormat;
        });
        if (fits != pool_.end()) {
            texture = std::move(*fits);
            pool_.erase(fits);
        }
    }
    if (!texture) {
        texture = device_->makeTexture(
            {colorPixelFormat, *width, *height, 1, TextureUsage::renderTarget | TextureUsage::shaderRead});
        if (!texture) return nullptr;
        ++drawablesMade_;
    }
    return std::make_shared<PooledDrawable>(std::move(texture), weak_from_this(), draws_);
}

void GPUView::returnToPool(std::shared_ptr<Texture> texture) {
    std::lock_guard lock(poolMutex_);
    pool_.push_back(std::move(texture));
}

std::shared_ptr<Texture> GPUView::depthStencilTexture() {
    const auto width = pixels(drawableWidth_), height = pixels(drawableHeight_);
    if (!device_ || !width || !height || depthStencilPixelFormat == PixelFormat::invalid) return nullptr;
    if (!depth_ || depth_->width() != *width || depth_->height() != *height ||
        depth_->pixelFormat() != depthStencilPixelFormat)
        depth_ = device_->makeTexture({depthStencilPixelFormat, *width, *height, 1, TextureUsage::renderTarget});
    return depth_;
}

void GPUView::startDisplayLink() {
    if (displayLinkRunning_) return;
    displayLinkRunning_ = true;
    scheduleNextDraw();
}

void GPUView::stopDisplayLink() {
    displayLinkRunning_ = false;
    if (displayLink_) displayLink_->cancel();
    displayLink_.reset();
}

void GPUView::scheduleNextDraw() {
    const double rate = preferredFramesPerSecond > 0 ? preferredFramesPerSecond : 60;
    displayLink_ = dispatch::Timer::scheduleOnMain(dispatch::Seconds(1.0 / rate), [weak = weak_from_this()] {
        auto view = weak.lock();
        if (!view || !view->displayLinkRunning_) return;
        view->scheduleNextDraw();
        view->draw();
    });
}

void GPUView::draw() {
    ++draws_;
    if (auto target = delegate()) target->draw(*this);
}

void GPUView::addPresentationSink(PresentationSink sink) {
    std::lock_guard lock(presentMutex_);
    sinks_.push_back(std::move(sink));
}

std::optional<PresentedImage> GPUView::lastPresented() const {
    std::lock_guard lock(presentMutex_);
    return lastPresented_;
}

std::uint64_t GPUView::presentedCount() const {
    std::lock_guard lock(presentMutex_);
    return presented_;
}

void GPUView::presentDrawable(const Texture& texture, std::uint64_t drawNumber) {
    PresentedImage image;
    image.drawNumber = drawNumber;
    image.width = texture.width();
    image.height = texture.height();
    image.rgba.resize(std::size_t(image.width) * image.height * 4);
    texture.getBytes(image.rgba.data(), std::size_t(image.width) * 4, {0, 0, image.width, image.height});
    // The drawable holds blue, green, red, alpha; the image is RGBA.
    for (std::size_t i = 0; i < image.rgba.size(); i += 4) std::swap(image.rgba[i], image.rgba[i + 2]);
    std::vector<PresentationSink> sinks;
    {
        std::lock_guard lock(presentMutex_);
        image.number = ++presented_;
        lastPresented_ = image;
        sinks = sinks_;
    }
    for (const auto& sink : sinks) sink(image);
}

} // namespace platform::gpu

} // namespace MivoKit
