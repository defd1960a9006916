#pragma once
// Animations (a list of frames with a cursor), the idle-frames file and the blend of two frames.

#include "kit/model/flame_frame_data.hpp"
#include "kit/model/flame_version.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

namespace Mivo {

// A shared reference object (held by std::shared_ptr): advancing it advances it for every holder.
class Animation {
public:
    Animation(std::vector<FlameFrameData> frames, FlameVersion flameVersion, std::int64_t currentIndex,
              double transitionDuration, bool isRepeat, bool toIdle)
        : frames(std::move(frames)), flameVersion(flameVersion), currentIndex(currentIndex),
          transitionDuration(transitionDuration), isRepeat(isRepeat), toIdle(toIdle) {}

    std::vector<FlameFrameData> frames;
    FlameVersion flameVersion;
    std::int64_t currentIndex;  // index of the frame most recently handed out
    double transitionDuration;  // seconds
    bool isRepeat;              // not consulted by nextFrame(): the cursor always wraps
    bool toIdle;                // a transition that leads back to the idle animation

    // Advances the cursor (wrapping to 0 past the end or from a negative index) and returns a copy
    // of the new current frame; nothing, with the index unchanged, when there are no frames.
    std::optional<FlameFrameData> nextFrame();
};

} // namespace Mivo

// Prints "文件路径：" + the path, then reads and parses the file; on failure prints
// "读取 JSON 文件时出错：" + the error's description and returns nothing.
std::optional<nlohmann::json> readJSONFile(const std::filesystem::path& url);

// The frames of an idle-frames file, in order; empty on any failure or without a path.
std::vector<FlameFrameData> loadAnimationFrames(const std::optional<std::string>& path);

// One frame object of the idle-frames file ("content" with the first row of each parameter).
FlameFrameData parseAnimationFrame(const nlohmann::json& frame);

// Blends a into b at t with the ease w = 0.5 - 0.5 cos(pi t): translation and the pose lists are
// a + (b - a) w over the shorter length; eyelid likewise when both have one, else the one present;
// shape and static_offset come from a.
FlameFrameData blendFlameFrames(const FlameFrameData& a, const FlameFrameData& b, double t);

// f over pairs of equal index, as long as the shorter list.
template <class F>
std::vector<float> zipMap(const std::vector<float>& a, const std::vector<float>& b, F f) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    std::vector<float> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(f(a[i], b[i]));
    return out;
}

} // namespace MivoKit
