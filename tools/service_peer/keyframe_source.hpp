#pragma once
// The FLAME keyframes the peer sends: every keyframe is the base frame with its jaw opened by the
// lip sync. The base frame is the first frame of a character's "animation/idle.json", read with the
// kit's own frame parser, or a neutral frame. Arrays have the lengths the services send: translation
// 3, rotation 3, neck_pose 3, jaw_pose 3, eye_pose 6, eye_lid 2, expression as long as the base
// frame's (100 in the neutral frame). Immutable after construction, usable from any thread.

#include "kit/model/flame_frame_data.hpp"
#include "kit/service/proto/realtime.pb.h"

#include <filesystem>
#include <optional>

using namespace MivoKit;

namespace service_peer {

class KeyframeSource {
public:
    // The neutral base frame.
    KeyframeSource();
    // The character's first idle frame; throws std::runtime_error when the file cannot be read or
    // holds no frame.
    explicit KeyframeSource(const std::filesystem::path& characterDirectory);
    static KeyframeSource forCharacter(const std::optional<std::filesystem::path>& characterDirectory);

    const FlameFrameData& base() const { return base_; }
    // The base frame with jaw_pose[0] = jaw (radians).
    api::realtime::v1::Flame keyframe(float jaw) const;

private:
    FlameFrameData base_;
};

} // namespace service_peer
