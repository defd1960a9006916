#include "tools/service_peer/keyframe_source.hpp"

#include "kit/model/animation.hpp"
#include "kit/model/json_values.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

using namespace MivoKit;

namespace service_peer {
namespace {

constexpr std::size_t kNeutralExpressionLength = 100;

// The first `length` values, padded with zeros.
void addValues(google::protobuf::RepeatedField<float>* field, const std::vector<float>& values, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) field->Add(i < values.size() ? values[i] : 0.0f);
}

} // namespace

KeyframeSource::KeyframeSource() : base_({0, 0, 0}, {0, 0, 0}, std::vector<float>(kNeutralExpressionLength, 0.0f),
                                         {0, 0, 0}, {0, 0, 0}, std::vector<float>(6, 0.0f), std::nullopt,
                                         std::nullopt, std::vector<float>{0, 0}) {}

KeyframeSource::KeyframeSource(const std::filesystem::path& characterDirectory) {
    const auto path = characterDirectory / "animation" / "idle.json";
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error;
    const auto document = json_values::parse(text, &error);
    if (!document) throw std::runtime_error(path.string() + " is not JSON: " + error);
    if (!document->is_array() || document->empty()) throw std::runtime_error(path.string() + " holds no frame");
    base_ = parseAnimationFrame(document->front());
}

KeyframeSource KeyframeSource::forCharacter(const std::optional<std::filesystem::path>& characterDirectory) {
    return characterDirectory ? KeyframeSource(*characterDirectory) : KeyframeSource();
}

api::realtime::v1::Flame KeyframeSource::keyframe(float jaw) const {
    api::realtime::v1::Flame flame;
    addValues(flame.mutable_translation(), {base_.translation.x, base_.translation.y, base_.translation.z}, 3);
    addValues(flame.mutable_rotation(), base_.rotation, 3);
    addValues(flame.mutable_neck_pose(), base_.neck_pose, 3);
    addValues(flame.mutable_jaw_pose(), base_.jaw_pose, 3);
    flame.mutable_jaw_pose()->Set(0, jaw);
    addValues(flame.mutable_eye_pose(), base_.eyes_pose, 6);
    addValues(flame.mutable_eye_lid(), base_.eyelid.value_or(std::vector<float>{}), 2);
    addValues(flame.mutable_expression(), base_.expr, base_.expr.size());
    return flame;
}

} // namespace service_peer
