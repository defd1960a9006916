// The idle animation of a character ("animation/idle.json"): read leniently into frames, played in
// a loop and blended into the frames around it.

#include "fuzz/fuzz_support.hpp"
#include "kit/model/animation.hpp"
#include "kit/model/json_values.hpp"

#include <algorithm>
#include <fstream>

using namespace MivoKit;

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    // The synthetic character's first frames (the whole file is too large to mutate quickly).
    const auto idle = fuzz::readFile(fuzz::syntheticCharacterDirectory() / "animation" / "idle.json");
    const auto document = json_values::parse(std::string_view(reinterpret_cast<const char*>(idle.data()), idle.size()));
    if (!document || document->size() < 2) fuzz::fail("the synthetic idle frames are not a list of frames");
    seeds.push_back(fuzz::bytesOf(nlohmann::json::array({(*document)[0]}).dump()));
    seeds.push_back(fuzz::bytesOf(nlohmann::json::array({(*document)[0], (*document)[1]}).dump()));
    // Lenient values: numeric strings, booleans, short and missing rows, other shapes.
    seeds.push_back(fuzz::bytesOf(R"([{"content":{"translation":[["0.5",true,null]],"rotation":[[1,2,3,4]],
"expr":[["1e3","nan","-inf","0x1p3"]],"neck_pose":[],"jaw_pose":[[]],"eyes_pose":"x"}},{"content":[]},7,null])"));
    seeds.push_back(fuzz::bytesOf(R"([{"content":{"expr":[[1,2],[3,4]],"translation":[[1e308,-1e308,4.9e-324]]}}])"));
    seeds.push_back(fuzz::bytesOf(R"({"content":{}})"));
    seeds.push_back(fuzz::bytesOf("[]"));
    return seeds;
}

namespace {

const std::filesystem::path& idleFile() {
    static const std::filesystem::path file = fuzz::scratchDirectory() / "idle.json";
    return file;
}

void checkBlend(const FlameFrameData& a, const FlameFrameData& b, double t) {
    const auto blended = blendFlameFrames(a, b, t);
    const auto shorter = [](const std::vector<float>& x, const std::vector<float>& y) { return std::min(x.size(), y.size()); };
    if (blended.rotation.size() != shorter(a.rotation, b.rotation) || blended.expr.size() != shorter(a.expr, b.expr) ||
        blended.neck_pose.size() != shorter(a.neck_pose, b.neck_pose) ||
        blended.jaw_pose.size() != shorter(a.jaw_pose, b.jaw_pose) ||
        blended.eyes_pose.size() != shorter(a.eyes_pose, b.eyes_pose))
        fuzz::fail("a blend of two idle frames is not as long as the shorter lists");
    if (blended.shape != a.shape || blended.static_offset != a.static_offset)
        fuzz::fail("a blend does not keep the first frame's shape and static offsets");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    {
        std::ofstream out(idleFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
        if (!out) fuzz::fail("cannot write the idle frames file");
    }
    std::vector<FlameFrameData> frames;
    fuzz::endsWithOnly<>("loadAnimationFrames", [&] { frames = loadAnimationFrames(idleFile().string()); });

    // One frame per element of a JSON list; nothing for anything else.
    const auto document = json_values::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::size_t expected = document && document->is_array() ? document->size() : 0;
    if (frames.size() != expected) fuzz::fail("the idle frames are not one per element of the file's list");
    for (const auto& frame : frames)
        if (frame.eyelid || frame.shape || frame.static_offset)
            fuzz::fail("an idle frame carries eyelids, shape or static offsets the file has no place for");

    // The idle loop hands every frame out once per round, in order.
    Mivo::Animation animation(frames, FlameVersion::V_2023, 0, 0.2, true, false);
    animation.currentIndex = -1;
    for (std::size_t round = 0; round < 2 * frames.size(); ++round) {
        const auto next = animation.nextFrame();
        if (!next || animation.currentIndex != std::int64_t(round % frames.size()))
            fuzz::fail("the idle loop does not hand out its frames in order");
    }
    if (frames.empty() && animation.nextFrame()) fuzz::fail("an empty idle loop hands out a frame");

    // Transitions blend neighbouring frames (and the last into the first).
    for (std::size_t i = 0; i < std::min<std::size_t>(frames.size(), 8); ++i) {
        const auto& a = frames[i];
        const auto& b = frames[(i + 1) % frames.size()];
        for (double t : {0.0, 0.5, 1.0}) checkBlend(a, b, t);
    }
    return 0;
}
