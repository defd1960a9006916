#include "tools/demo/frame_writer.hpp"

#include <algorithm>
#include <stdexcept>

using namespace MivoKit;

namespace demo {

FrameWriter::FrameWriter(unsigned threads, std::size_t maxHeld)
    : maxHeld_(std::max<std::size_t>(maxHeld, std::max(threads, 1u))) {
    for (unsigned i = 0; i < std::max(threads, 1u); ++i) threads_.emplace_back([this] { run(); });
}

FrameWriter::~FrameWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void FrameWriter::write(std::filesystem::path path, RGBAImage image) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_ < maxHeld_; });
    ++held_;
    queue_.emplace_back(std::move(path), std::move(image));
    lock.unlock();
    changed_.notify_all();
}

void FrameWriter::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_ == 0; });
}

std::size_t FrameWriter::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

void FrameWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return; // stopping, and everything is written
        auto [path, image] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        bool written = true;
        try {
            writePNG(path, image);
        } catch (const std::runtime_error&) {
            written = false;
        }
        image = {}; // the frame's memory goes before the next one is let in
        lock.lock();
        if (!written) ++failures_;
        --held_;
        changed_.notify_all();
    }
}

} // namespace demo
