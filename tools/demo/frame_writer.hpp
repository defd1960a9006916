#pragma once
// Writes the demo's frames as PNG files on threads of its own. Encoding is slower than drawing on
// a loaded machine, so the frames waiting for a writer are bounded: write() waits while that many
// are held, instead of the backlog growing by a frame (2 MB) every draw.

#include "tools/demo/image_files.hpp"

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace MivoKit;

namespace demo {

class FrameWriter {
public:
    // `threads` writers (at least one), at most `maxHeld` frames held (at least `threads`).
    FrameWriter(unsigned threads, std::size_t maxHeld);
    // Writes what was queued, then stops the writers.
    ~FrameWriter();
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // Queues one file; waits while maxHeld frames are held. A file that cannot be written is
    // counted in failures().
    void write(std::filesystem::path path, RGBAImage image);
    // Waits until every queued file is written.
    void finish();
    std::size_t failures() const;

private:
    void run();

    const std::size_t maxHeld_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::filesystem::path, RGBAImage>> queue_;
    std::size_t held_ = 0; // queued or being written
    std::size_t failures_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace demo
