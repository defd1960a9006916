#include "kit/model/animation.hpp"

#include "kit/model/json_values.hpp"
#include "platform/log/log.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>

namespace MivoKit {

using json_values::arrayView;
using json_values::element;
using json_values::lenientNumber;
using json_values::member;
using nlohmann::json;

namespace Mivo {

std::optional<FlameFrameData> Animation::nextFrame() {
    const auto count = static_cast<std::int64_t>(frames.size());
    std::int64_t next = currentIndex + 1;
    if (next < 0 || next >= count) next = 0;
    if (next >= count) return std::nullopt;
    currentIndex = next;
    return frames[static_cast<std::size_t>(next)];
}

} // namespace Mivo

std::optional<json> readJSONFile(const std::filesystem::path& url) {
    platform::log::print("文件路径：" + url.string());
    std::ifstream in(url, std::ios::binary);
    if (!in) {
        platform::log::print("读取 JSON 文件时出错：" + std::string("The file \"") + url.filename().string() +
                             "\" couldn't be opened: " + std::strerror(errno));
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) {
        platform::log::print("读取 JSON 文件时出错：" + std::string("The file \"") + url.filename().string() +
                             "\" couldn't be read.");
        return std::nullopt;
    }
    std::string error;
    auto parsed = json_values::parse(bytes.str(), &error);
    if (!parsed) {
        platform::log::print("读取 JSON 文件时出错：" + error);
        return std::nullopt;
    }
    return parsed;
}

std::vector<FlameFrameData> loadAnimationFrames(const std::optional<std::string>& path) {
    if (!path) return {};
    auto document = readJSONFile(*path);
    if (!document || !document->is_array() || document->empty()) return {};
    std::vector<FlameFrameData> frames;
    frames.reserve(document->size());
    for (const auto& frame : *document) frames.push_back(parseAnimationFrame(frame));
    return frames;
}

namespace {

// The first row of content[key]; an empty array when anything is missing.
const json& firstRow(const json& content, const char* key) { return arrayView(element(member(content, key), 0)); }

std::vector<float> rowValues(const json& row) {
    std::vector<float> out;
    out.reserve(row.size());
    for (const auto& v : row) out.push_back(static_cast<float>(lenientNumber(v)));
    return out;
}

float component(const json& row, std::size_t i) { return static_cast<float>(lenientNumber(element(row, i))); }

} // namespace

FlameFrameData parseAnimationFrame(const json& frame) {
    const json& content = member(frame, "content");
    const json& t = firstRow(content, "translation");
    const json& r = firstRow(content, "rotation");
    return FlameFrameData({component(t, 0), component(t, 1), component(t, 2)},
                          {component(r, 0), component(r, 1), component(r, 2)},
                          rowValues(firstRow(content, "expr")), rowValues(firstRow(content, "neck_pose")),
                          rowValues(firstRow(content, "jaw_pose")), rowValues(firstRow(content, "eyes_pose")),
                          std::nullopt, std::nullopt, std::nullopt);
}

FlameFrameData blendFlameFrames(const FlameFrameData& a, const FlameFrameData& b, double t) {
    const float w = static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * t));
    auto lerp = [w](float x, float y) { return x + (y - x) * w; };

    std::optional<std::vector<float>> eyelid;
    if (!a.eyelid) eyelid = b.eyelid;
    else if (!b.eyelid) eyelid = a.eyelid;
    else eyelid = zipMap(*a.eyelid, *b.eyelid, lerp);

    return FlameFrameData({lerp(a.translation.x, b.translation.x), lerp(a.translation.y, b.translation.y),
                           lerp(a.translation.z, b.translation.z)},
                          zipMap(a.rotation, b.rotation, lerp), zipMap(a.expr, b.expr, lerp),
                          zipMap(a.neck_pose, b.neck_pose, lerp), zipMap(a.jaw_pose, b.jaw_pose, lerp),
                          zipMap(a.eyes_pose, b.eyes_pose, lerp), a.shape, a.static_offset, std::move(eyelid));
}

} // namespace MivoKit
