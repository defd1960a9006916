// A character's point cloud as the kit reads it: the splat scene reader fills the cloud, splat
// binding ties each splat to a triangle of the FLAME head, and one frame poses them. The heads,
// the character's static offsets and shape and the frame come from the generated resources and
// the synthetic character, loaded once; only the point-cloud bytes are fuzzed.
//
// Oracles besides the sanitizers: start() throws only the readers' documented errors; every splat
// is bound to the triangle its binding names, or left out when that names none; the frame holds
// one point per bound splat, in order, with its colour and opacity.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/head/gs_manager.hpp"
#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/io/ply_reader_error.hpp"
#include "kit/io/splat_ply_scene_reader.hpp"
#include "kit/model/animation.hpp"
#include "kit/model/character.hpp"
#include "platform/files/directories.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <bit>
#include <cmath>
#include <string>

using namespace MivoKit;

namespace {

constexpr FlameVersion kVersion = FlameVersion::V_2023;

// What every run shares: loaded once, as MvCharacterBufferProvider loads it on its first frame.
struct Character {
    GSManager::HeadMap heads;
    std::size_t triangles = 0;
    std::vector<simd::float3> staticOffset;
    std::vector<float> shape;
    FlameFrameData frame;

    Character() {
        platform::files::setResourceDirectory(fuzz::resourceDirectory());
        FlameModelFiles files;
        for (auto version : {FlameVersion::Mix, FlameVersion::V_2023, FlameVersion::V_2020}) {
            auto head = std::make_shared<FlameHead>(300, 100, version);
            head->loadResource(files);
            if (!head->isLoaded()) fuzz::fail("character: the generated FLAME resources do not load");
            triangles = std::max(triangles, head->faces.size());
            heads[version] = std::move(head);
        }
        const auto paths = Mivo::AssetPaths::assetPaths("synthetic", fuzz::syntheticCharacterDirectory().parent_path());
        const MvCharacterBufferProvider provider(paths, platform::audio::AudioFormat::standard(24000, 1));
        staticOffset = provider.loadStaticOffset();
        shape = provider.loadShape();
        const auto frames = loadAnimationFrames(paths.idleFramesUrl->string());
        if (frames.size() < 2 || staticOffset.empty() || shape.empty())
            fuzz::fail("character: the synthetic character does not load");
        frame = frames[frames.size() / 3];
    }
};

Character& character() {
    static Character* shared = new Character(); // the heads outlive every background task
    return *shared;
}

bool same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (a != a && b != b); }
bool same(simd::float3 a, simd::float3 b) { return same(a.x, b.x) && same(a.y, b.y) && same(a.z, b.z); }

// The triangle a binding names, as the binder reads it: none unless finite, not negative and
// within the head's triangles.
std::ptrdiff_t triangleOf(const std::optional<float>& binding, std::size_t triangles) {
    if (!binding || !std::isfinite(*binding) || *binding < 0) return -1;
    const double face = std::trunc(double(*binding));
    return face < double(triangles) ? std::ptrdiff_t(face) : -1;
}

// ---- seeds ----

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    seeds.push_back(fuzz::bytesOf(fuzz::syntheticCloud(12)));
    // Bindings past the triangles, negative, fractional and not finite; the teeth's triangles.
    ply_writer::VertexTable table(ply_writer::characterLayout());
    const float bindings[] = {0, 9887.9f, 9888, 10055, 10056, -1, -0.5f, std::nanf(""), 1e30f, 4294967296.0f};
    for (float binding : bindings)
        table.addPoint(std::vector<float>{0.01f, -0.02f, 0.03f, 0.5f, -0.5f, 0.1f, 2, -4, -5, -6, 1, 0.1f, 0, 0, binding});
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table, ply_writer::Format::binaryLittleEndian)));
    seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table, ply_writer::Format::ascii)));
    return seeds;
}

// The heads, offsets, shape and frame load before the first input, outside its time limit.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    character();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    auto& c = character();
    const auto path = fuzz::writeInput("point_cloud.ply", data, size);

    GSManager manager(path, c.heads);
    manager.setFlameVersion(kVersion);
    // On the fuzzing thread alone: the kit's helper threads would carry allocations of one run
    // into the next (prepared output lists), which makes every run a leak check.
    manager.setMaxWorkers(1);
    const bool started =
        fuzz::endsWithOnly<PLYReaderError, SplatPLYSceneReader::Error, SplatMemoryBuffer::BufferReader::Error>(
            "GSManager::start", [&] { manager.start(); });
    if (!started) {
        if (!manager.originPointCloud().points.empty()) fuzz::fail("character: a failed read left points behind");
        return 0;
    }

    const auto& points = manager.originPointCloud().points;
    const auto& binding = manager.binding();
    if (binding.size() != points.size()) fuzz::fail("character: not one binding per splat");
    std::vector<std::size_t> bound;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (binding[i] != triangleOf(points[i].binding, c.triangles))
            fuzz::fail("character: a splat bound to another triangle than its binding names");
        if (binding[i] >= 0) bound.push_back(i);
    }

    manager.loadFlameStaticData(c.staticOffset, c.shape, std::nullopt);
    SplatMemoryBuffer frame;
    bool posed = false;
    fuzz::endsWithOnly<>("GSManager::computeFrame", [&] { posed = manager.computeFrame(c.frame, kVersion, frame); });
    if (!posed) fuzz::fail("character: the head of the frame's version is missing");
    if (frame.points.size() != bound.size()) fuzz::fail("character: the frame does not hold one point per bound splat");
    for (std::size_t k = 0; k < bound.size(); ++k) {
        const auto& source = points[bound[k]];
        const auto& placed = frame.points[k];
        if (!same(placed.color.linearRGB(), source.color.linearRGB()) ||
            !same(placed.opacity.linear(), source.opacity.linear()))
            fuzz::fail("character: a posed splat lost its colour or opacity");
        if (!std::holds_alternative<SplatScenePoint::Scale::LinearFloat>(placed.scale) || placed.binding || placed.normal)
            fuzz::fail("character: a posed splat in the wrong encodings");
    }
    return 0;
}
