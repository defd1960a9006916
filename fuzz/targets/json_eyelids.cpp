// Eyelid JSON: the head's eyelid resources ("l_eyelid.json", "r_eyelid.json": one x, y, z offset
// per vertex, read leniently) as the forward pass applies them, and the description's strict
// eyelid settings.
//
// Input: one byte (bit 0: the fuzzed file is the right eyelid's, else the left's), then the JSON.
// The other eyelid file holds a fixed valid table.

#include "fuzz/fuzz_support.hpp"
#include "kit/head/flame_head.hpp"
#include "kit/model/character_meta.hpp"
#include "platform/files/directories.hpp"

#include <cmath>
#include <fstream>
#include <optional>

using namespace MivoKit;

using json_values::JsonDecodeError;
using Mivo::CharacterMeta;

namespace {

constexpr std::size_t kVertices = 8;
constexpr std::size_t kTeethRows = 120; // appended by the head after each file's rows

void write(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) fuzz::fail("cannot write " + path.string());
}

nlohmann::json validTable() {
    auto rows = nlohmann::json::array();
    for (std::size_t v = 0; v < kVertices; ++v) rows.push_back({0.001 * double(v), -0.002, 0.5});
    return rows;
}

// A head of kVertices vertices on one joint, without blend shapes or correctives: posed at rest,
// every vertex stays where the template has it, so the eyelids' offsets show alone.
struct Fixture {
    std::filesystem::path resources;
    FlameHead head{0, 0, FlameVersion::V_2023};

    Fixture() : resources(fuzz::scratchDirectory()) {
        platform::files::setResourceDirectory(resources);
        for (std::size_t v = 0; v < kVertices; ++v) head.v_template.push_back({0.1f * float(v), 0.2f, -0.3f * float(v)});
        head.parents = {-1};
        head.J_regressor = {std::vector<float>(kVertices, 0.0f)};
        head.J_regressor[0][0] = 1;
        head.lbs_weights.assign(kVertices, {1.0f});
        head.modelDataChanged();
    }

    std::vector<simd::float3> pose(float left, float right) {
        const std::vector<float> lids{left, right};
        FlameHead::Pose pose{{}, {}, {}, {}, {}, {}, {0, 0, 0}, {}, std::span<const float>(lids)};
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

// The first rows of a table file, as a seed of useful size.
FuzzBytes firstRows(const std::filesystem::path& file, std::size_t rows) {
    const auto bytes = fuzz::readFile(file);
    const auto table = json_values::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!table || !table->is_array() || table->size() < rows) fuzz::fail("not a table of rows: " + file.string());
    return fuzz::bytesOf(nlohmann::json(std::vector<nlohmann::json>(table->begin(), table->begin() + std::ptrdiff_t(rows))).dump());
}

void checkSettings(const std::optional<nlohmann::json>& document) {
    if (!document) return;
    std::optional<CharacterMeta::Eyelid> eyelid;
    fuzz::endsWithOnly<JsonDecodeError>("CharacterMeta::Eyelid::decode", [&] { eyelid = CharacterMeta::Eyelid::decode(*document); });
    if (!eyelid) return;
    const auto encoded = eyelid->encode().dump();
    std::optional<CharacterMeta::Eyelid> again;
    fuzz::endsWithOnly<JsonDecodeError>("CharacterMeta::Eyelid::decode of its own encoding", [&] {
        const auto reparsed = json_values::parse(encoded);
        if (!reparsed) fuzz::fail("eyelid settings encode to text that is not JSON: " + encoded);
        again = CharacterMeta::Eyelid::decode(*reparsed);
    });
    if (!again) fuzz::fail("decoded eyelid settings do not decode from their own encoding: " + encoded);
    if (!(*again == *eyelid) || std::hash<CharacterMeta::Eyelid>{}(*again) != std::hash<CharacterMeta::Eyelid>{}(*eyelid))
        fuzz::fail("eyelid settings change through their own encoding: " + encoded);
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    auto withSide = [](std::uint8_t side, FuzzBytes json) {
        json.insert(json.begin(), side);
        return json;
    };
    seeds.push_back(withSide(0, firstRows(fuzz::resourceDirectory() / "l_eyelid.json", 16)));
    seeds.push_back(withSide(1, firstRows(fuzz::resourceDirectory() / "r_eyelid.json", 16)));
    seeds.push_back(withSide(0, fuzz::bytesOf(validTable().dump())));
    seeds.push_back(withSide(1, fuzz::bytesOf(R"([[1,"2",true],[0.5],null,["nan",1e308,"-1e39"],[1,2,3,4],{"x":1}])")));
    seeds.push_back(withSide(0, fuzz::bytesOf(R"({"rows":[[1,2,3]]})")));
    // The description's eyelid settings.
    seeds.push_back(withSide(0, fuzz::bytesOf(CharacterMeta::Eyelid{true, false, 0.35f, {0.1f, 0.9f}}.encode().dump())));
    seeds.push_back(withSide(1, fuzz::bytesOf(R"({"auto_eyelid_adjustment":false,"enabled":true,"eyelid_threshold":3.4028235e38,"targets":[]})")));
    seeds.push_back(withSide(0, fuzz::bytesOf(R"({"auto_eyelid_adjustment":1,"enabled":null,"eyelid_threshold":"0.5","targets":[1e39]})")));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    if (size == 0) return 0;
    const bool right = data[0] & 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto document = json_values::parse(bytes);
    checkSettings(document);

    auto& f = fixture();
    static const std::string valid = validTable().dump();
    write(f.resources / "l_eyelid.json", right ? std::string_view(valid) : bytes);
    write(f.resources / "r_eyelid.json", right ? bytes : std::string_view(valid));
    bool loaded = false;
    fuzz::endsWithOnly<>("FlameHead::loadEyelids", [&] { loaded = f.head.loadEyelids(); });

    // Any JSON document loads: a list gives one row per element, anything else no rows.
    if (loaded != document.has_value()) fuzz::fail(loaded ? "eyelids loaded from a file that is not JSON" : "JSON eyelids did not load");
    if (!loaded) return 0;
    const auto& table = right ? f.head.r_eyelid : f.head.l_eyelid;
    const std::size_t rows = document->is_array() ? document->size() : 0;
    if (table.size() != rows + kTeethRows) fuzz::fail("the eyelid table does not hold one row per element of the file");

    // Closing that eyelid moves each vertex by its row.
    const auto open = f.pose(0, 0);
    const auto closed = right ? f.pose(0, 1) : f.pose(1, 0);
    if (open.size() != kVertices || closed.size() != kVertices) fuzz::fail("the head posed a different number of vertices");
    for (std::size_t v = 0; v < kVertices && v < table.size(); ++v) {
        const auto& row = table[v];
        if (row.size() != 3) continue;
        const simd::float3 offset{row[0], row[1], row[2]};
        if (!isFinite(offset) || !isFinite(open[v])) continue;
        const auto expected = open[v] + offset;
        if (!(closed[v].x == expected.x && closed[v].y == expected.y && closed[v].z == expected.z))
            fuzz::fail("a closed eyelid does not move its vertex by the file's offset");
    }
    return 0;
}
