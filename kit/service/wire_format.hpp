#pragma once
// Encoding and decoding of the wire envelopes, and the keyframe conversion both services share.

#include "kit/model/flame_frame_data.hpp"
#include "kit/service/mv_character_service_event.hpp"
#include "kit/service/proto/realtime.pb.h"

#include <google/protobuf/message_lite.h>
#include <google/protobuf/repeated_ptr_field.h>

#include <cstdint>
#include <span>
#include <vector>

namespace MivoKit {

// The binary protobuf form of `message` (encoding these messages cannot fail).
std::vector<std::uint8_t> encodeMessage(const google::protobuf::MessageLite& message);

// Replaces `message` with the decoding of `bytes`; false, and `message` cleared, when the bytes
// are not a well-formed encoding. The protobuf runtime's complaints (about invalid UTF-8, say) are
// silenced: an undecodable message is dropped without a report.
bool decodeMessage(google::protobuf::MessageLite& message, std::span<const std::uint8_t> bytes);

// One frame per keyframe, in order: translation from the first three values (a missing one is
// 0, extra ones are ignored), the other arrays as they are, eyelid always present, no shape and no
// static offset.
std::vector<FlameFrameData> convertKeyframes(const google::protobuf::RepeatedPtrField<api::realtime::v1::Flame>& keyframes);

// The events both services make of the records they share: keyframes (an absent animation gives no
// frames) and a server error (its reason only).
MvCharacterServiceEvent::AnimationFrames animationFramesEvent(const api::realtime::v1::ServerResponseAnimationData& answer);
MvCharacterServiceEvent::Error errorEvent(const api::realtime::v1::ErrorInfo& error);

} // namespace MivoKit
