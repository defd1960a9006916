#include "kit/service/wire_format.hpp"

#include <google/protobuf/stubs/logging.h>

namespace MivoKit {

std::vector<std::uint8_t> encodeMessage(const google::protobuf::MessageLite& message) {
    std::vector<std::uint8_t> bytes(message.ByteSizeLong());
    message.SerializeWithCachedSizesToArray(bytes.data());
    return bytes;
}

bool decodeMessage(google::protobuf::MessageLite& message, std::span<const std::uint8_t> bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
        message.Clear();
        return false;
    }
    google::protobuf::LogSilencer silence;
    if (message.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return true;
    message.Clear();
    return false;
}

namespace {

std::vector<float> toVector(const google::protobuf::RepeatedField<float>& values) {
    return std::vector<float>(values.begin(), values.end());
}

} // namespace

std::vector<FlameFrameData> convertKeyframes(const google::protobuf::RepeatedPtrField<api::realtime::v1::Flame>& keyframes) {
    std::vector<FlameFrameData> frames;
    frames.reserve(static_cast<std::size_t>(keyframes.size()));
    for (const auto& flame : keyframes) {
        const auto& t = flame.translation();
        const simd::float3 translation{t.size() > 0 ? t[0] : 0.0f, t.size() > 1 ? t[1] : 0.0f, t.size() > 2 ? t[2] : 0.0f};
        frames.emplace_back(translation, toVector(flame.rotation()), toVector(flame.expression()),
                            toVector(flame.neck_pose()), toVector(flame.jaw_pose()), toVector(flame.eye_pose()),
                            std::nullopt, std::nullopt, toVector(flame.eye_lid()));
    }
    return frames;
}

MvCharacterServiceEvent::AnimationFrames animationFramesEvent(const api::realtime::v1::ServerResponseAnimationData& answer) {
    return {convertKeyframes(answer.animation().keyframes()), answer.req_id()};
}

MvCharacterServiceEvent::Error errorEvent(const api::realtime::v1::ErrorInfo& error) { return {error.reason()}; }

} // namespace MivoKit
