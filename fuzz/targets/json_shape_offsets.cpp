// A character's shape coefficients ("model/shape.json") and static offsets
// ("model/static_offset.json"), read leniently by the buffer provider and applied by the head's
// forward pass.
//
// Input: one byte (bit 0: the fuzzed file is static_offset.json, else shape.json), then the JSON.
// The other file holds a fixed valid value.

#include "fuzz/fuzz_support.hpp"
#include "kit/head/flame_head.hpp"
#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/model/json_values.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

using namespace MivoKit;

namespace {

constexpr std::size_t kVertices = 8;
constexpr std::ptrdiff_t kShapeParams = 3;

void write(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) fuzz::fail("cannot write " + path.string());
}

std::string validShape() { return nlohmann::json({0.5, -0.25, 1.0, 2.0}).dump(); }

std::string validOffsets() {
    auto rows = nlohmann::json::array();
    for (std::size_t v = 0; v < kVertices; ++v) rows.push_back({0.001 * double(v), 0.002, -0.003});
    return rows.dump();
}

// A head of kVertices vertices on one joint with kShapeParams shape blend shapes and nothing
// else: posed at rest, a vertex is its template position plus blend shapes plus static offset.
struct Fixture {
    Mivo::AssetPaths paths;
    MvCharacterBufferProvider provider;
    FlameHead head{kShapeParams, 0, FlameVersion::V_2023};

    Fixture()
        : paths(Mivo::AssetPaths::assetPaths("fuzzed", fuzz::scratchDirectory())),
          provider(paths, platform::audio::AudioFormat::standard(24000, 1)) {
        std::filesystem::create_directories(paths.shapeJsonUrl->parent_path());
        for (std::size_t v = 0; v < kVertices; ++v) head.v_template.push_back({0.1f * float(v), 0.2f, -0.3f * float(v)});
        head.parents = {-1};
        head.J_regressor = {std::vector<float>(kVertices, 0.0f)};
        head.J_regressor[0][0] = 1;
        head.lbs_weights.assign(kVertices, {1.0f});
        for (std::size_t i = 0; i < kVertices * 3 * std::size_t(kShapeParams); ++i)
            head.shapedirsFlat.push_back(0.01f * float(i % 7) - 0.02f);
        head.modelDataChanged();
    }

    std::vector<simd::float3> pose(std::span<const float> shape, std::span<const simd::float3> offsets) {
        FlameHead::Pose pose{shape, {}, {}, {}, {}, {}, {0, 0, 0}, offsets, std::nullopt};
        std::vector<simd::float3> posed;
        head.forwardInto(pose, posed, 1);
        return posed;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

bool isFinite(simd::float3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

bool sameBits(const std::vector<simd::float3>& a, const std::vector<simd::float3>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    auto withFile = [](std::uint8_t file, FuzzBytes json) {
        json.insert(json.begin(), file);
        return json;
    };
    const auto model = fuzz::syntheticCharacterDirectory() / "model";
    seeds.push_back(withFile(0, fuzz::readFile(model / "shape.json")));
    // The first rows of the synthetic character's offsets.
    const auto offsets = fuzz::readFile(model / "static_offset.json");
    const auto table = json_values::parse(std::string_view(reinterpret_cast<const char*>(offsets.data()), offsets.size()));
    if (!table || !table->is_array() || table->size() < 16) fuzz::fail("the synthetic static offsets are not a table");
    seeds.push_back(withFile(1, fuzz::bytesOf(nlohmann::json(std::vector<nlohmann::json>(table->begin(), table->begin() + 16)).dump())));
    seeds.push_back(withFile(0, fuzz::bytesOf(validShape())));
    seeds.push_back(withFile(1, fuzz::bytesOf(validOffsets())));
    // Lenient values: numeric strings, booleans, nulls, short and long rows, other shapes.
    seeds.push_back(withFile(0, fuzz::bytesOf(R"([0.5,"2",true,null,"nan","-1e39",[1],{"a":1},1e308])")));
    seeds.push_back(withFile(1, fuzz::bytesOf(R"([[1,2],[3,"4",5,6],"x",null,[],[true,false,"inf"],[1e38,1e38,1e38]])")));
    seeds.push_back(withFile(1, fuzz::bytesOf(R"({"offsets":[[1,2,3]]})")));
    seeds.push_back(withFile(0, fuzz::bytesOf("[]")));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    if (size == 0) return 0;
    const bool offsetsFuzzed = data[0] & 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    auto& f = fixture();
    static const std::string shapeText = validShape(), offsetsText = validOffsets();
    write(*f.paths.shapeJsonUrl, offsetsFuzzed ? std::string_view(shapeText) : bytes);
    write(*f.paths.staticOffsetJsonUrl, offsetsFuzzed ? bytes : std::string_view(offsetsText));

    std::vector<float> shape;
    std::vector<simd::float3> offsets;
    fuzz::endsWithOnly<>("MvCharacterBufferProvider::loadShape", [&] { shape = f.provider.loadShape(); });
    fuzz::endsWithOnly<>("MvCharacterBufferProvider::loadStaticOffset", [&] { offsets = f.provider.loadStaticOffset(); });

    // One value per element of a JSON list; nothing for anything else.
    const auto document = json_values::parse(bytes);
    const std::size_t expected = document && document->is_array() ? document->size() : 0;
    if ((offsetsFuzzed ? offsets.size() : shape.size()) != expected)
        fuzz::fail("the file's values are not one per element of its list");

    // Coefficients past the head's count change nothing.
    const auto posed = f.pose(shape, offsets);
    if (posed.size() != kVertices) fuzz::fail("the head posed a different number of vertices");
    const std::span<const float> cut(shape.data(), std::min(shape.size(), std::size_t(kShapeParams)));
    if (!sameBits(f.pose(cut, offsets), posed)) fuzz::fail("shape coefficients past the head's count moved it");

    // Offset v moves vertex v; vertices without an offset stay. (An offset that is not finite
    // reaches every vertex through the regressed joint, whatever its weight.)
    if (!std::all_of(offsets.begin(), offsets.end(), isFinite)) return 0;
    const auto bare = f.pose(shape, {});
    for (std::size_t v = 0; v < kVertices; ++v) {
        if (!isFinite(bare[v])) continue;
        if (v >= offsets.size()) {
            if (!(posed[v].x == bare[v].x && posed[v].y == bare[v].y && posed[v].z == bare[v].z))
                fuzz::fail("a vertex without a static offset moved");
            continue;
        }
        const auto expectedPosition = bare[v] + offsets[v];
        if (!isFinite(expectedPosition)) continue;
        if (!(posed[v].x == expectedPosition.x && posed[v].y == expectedPosition.y && posed[v].z == expectedPosition.z))
            fuzz::fail("a static offset does not move its vertex by its value");
    }
    return 0;
}
