// The FLAME model files: decoding, mapping (or mixing, for the mixed head), validation, the load
// of a head from its resources, and one forward pass.
//
// The input is the model file. It is written as both "flame_model.pb" and "flame_model_2020.pb"
// into a resource directory of the process that holds small companion resources (mesh, eyelids,
// landmarks, masks), and a head of one of the three versions (by input size) loads it the way the
// kit loads its heads: fresh, or over a head that had loaded a valid model before.
//
// Oracles besides the sanitizers: only FlameModelError leaves the decoding, mapping and
// validation; a model that validates is what the head holds afterwards, one that does not leaves
// a fresh head empty and a loaded head exactly as it was; the forward pass poses every vertex of
// a loaded model and, over a kept model, gives what it gave before.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/head/flame_head.hpp"
#include "kit/head/flame_model_file.hpp"
#include "platform/files/directories.hpp"

#include <bit>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

using namespace MivoKit;

namespace {

constexpr std::ptrdiff_t kShapeParams = 300, kExprParams = 100;
constexpr std::size_t kCompanionVertices = 24;

std::string_view text(const std::uint8_t* data, std::size_t size) { return {reinterpret_cast<const char*>(data), size}; }

void writeText(const std::string& name, const std::string& contents) { fuzz::writeInput(name, contents); }

// The other resources of a head, small: a mesh of kCompanionVertices vertices, its eyelids, the
// landmarks, no mask regions beyond the fixed ones.
void writeCompanions() {
    std::string obj, lid = "[";
    for (std::size_t v = 0; v < kCompanionVertices; ++v) {
        obj += "v " + std::to_string(float(v) * 0.01f) + " 0.1 -0.02\nvt 0.5 " + std::to_string(float(v) / 24) + "\n";
        lid += std::string(v ? "," : "") + "[0,0.001," + std::to_string(float(v) * 1e-4f) + "]";
    }
    for (std::size_t f = 0; f + 2 < kCompanionVertices; f += 3)
        obj += "f " + std::to_string(f + 1) + "/" + std::to_string(f + 1) + " " + std::to_string(f + 2) + "/" +
               std::to_string(f + 2) + " " + std::to_string(f + 3) + "/" + std::to_string(f + 3) + "\n";
    writeText("head_template_mesh.obj", obj);
    writeText("l_eyelid.json", lid + "]");
    writeText("r_eyelid.json", lid + "]");
    writeText("flame_landmark_embedding.json", R"({"full_lmk_faces_idx":[[0,1]],"full_lmk_bary_coords":[[[0.2,0.3,0.5],[1,0,0]]]})");
    writeText("flame_masks.json", "{}");
}

void writeModel(std::string_view bytes) {
    fuzz::writeInput("flame_model.pb", bytes);
    fuzz::writeInput("flame_model_2020.pb", bytes);
}

// The first `vertices` vertices of a model, every array cut to match: still a valid model.
FlameData trimmed(const FlameData& full, int vertices) {
    FlameData out;
    for (int v = 0; v < vertices; ++v) {
        *out.add_vtemplate() = full.vtemplate(v);
        *out.add_weights() = full.weights(v);
        *out.add_shapedirs() = full.shapedirs(v);
    }
    *out.mutable_kintreetable() = full.kintreetable();
    for (const auto& row : full.posedirs()) {
        auto* cut = out.add_posedirs();
        for (int i = 0; i < 3 * vertices; ++i) cut->add_values(row.values(i));
    }
    for (const auto& row : full.jregressor()) {
        auto* cut = out.add_jregressor();
        for (int i = 0; i < vertices; ++i) cut->add_values(row.values(i));
    }
    return out;
}

// The generated model file (tens of megabytes: read whole, not byte by byte).
std::string generatedModelBytes(const char* name) {
    std::ifstream in(fuzz::resourceDirectory() / name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) fuzz::fail(std::string("flame model: cannot read the generated ") + name);
    return std::move(bytes).str();
}

std::optional<FlameData> generatedModel(const char* name) {
    FlameData data;
    if (!data.ParseFromString(generatedModelBytes(name))) return std::nullopt;
    return data;
}

// A frame that moves every joint, every blend shape, the eyelids and the vertices' offsets.
FlameHead::Pose pose() {
    static const std::vector<float> shape = [] {
        std::vector<float> v(300);
        for (std::size_t k = 0; k < v.size(); ++k) v[k] = float(k % 7) * 0.1f - 0.3f;
        return v;
    }();
    static const std::vector<float> expr = [] {
        std::vector<float> v(100);
        for (std::size_t k = 0; k < v.size(); ++k) v[k] = float(k % 5) * 0.2f - 0.4f;
        return v;
    }();
    static const std::vector<float> rotation{0.1f, -0.2f, 0.05f}, neck{0.05f, 0.1f, 0}, jaw{0.2f, 0, 0},
        eyes{0.1f, 0.05f, 0, -0.1f, 0.05f, 0}, eyelid{0.4f, 0.8f};
    static const std::vector<simd::float3> offsets{{0.001f, 0, 0}, {0, 0.002f, 0}, {0, 0, -0.003f}};
    return {shape, expr, rotation, neck, jaw, eyes, simd::float3{0.01f, -0.02f, 0.3f}, offsets, eyelid};
}

// FNV-style digest of a head's model arrays.
struct Digest {
    std::uint64_t value = 1469598103934665603ull;
    template <class T>
    void add(const std::vector<T>& items) {
        const std::size_t n = items.size();
        addBytes(&n, sizeof n);
        if (n) addBytes(items.data(), n * sizeof(T));
    }
    template <class T>
    void add(const std::vector<std::vector<T>>& rows) {
        const std::size_t n = rows.size();
        addBytes(&n, sizeof n);
        for (const auto& row : rows) add(row);
    }
    void addBytes(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            value = (value ^ word) * 1099511628211ull;
        }
        for (; i < size; ++i) value = (value ^ p[i]) * 1099511628211ull;
    }
};

std::uint64_t modelDigest(const FlameHead& head) {
    Digest d;
    d.add(head.v_template);
    d.add(head.kintree_table);
    d.add(head.lbs_weights);
    d.add(head.shapedirsFlat);
    d.add(head.posedirsFlat);
    d.add(head.J_regressor);
    d.add(head.parents);
    return d.value;
}

std::uint64_t arraysDigest(const FlameModelArrays& a) {
    Digest d;
    d.add(a.v_template);
    d.add(a.kintree_table);
    d.add(a.lbs_weights);
    std::vector<float> flat;
    for (const auto& matrix : a.shapedirs)
        for (const auto& row : matrix) flat.insert(flat.end(), row.begin(), row.end());
    d.add(flat);
    flat.clear();
    for (const auto& row : a.posedirs) flat.insert(flat.end(), row.begin(), row.end());
    d.add(flat);
    d.add(a.J_regressor);
    d.add(a.parents);
    return d.value;
}

std::uint64_t posedDigest(const std::vector<simd::float3>& posed) {
    Digest d;
    d.add(posed);
    return d.value;
}

// The arrays the head of `version` would take from this file, when they form a head.
std::optional<FlameModelArrays> validArrays(std::string_view bytes, FlameVersion version) {
    std::optional<FlameModelArrays> arrays;
    fuzz::endsWithOnly<FlameModelError>("FLAME model decoding", [&] {
        const auto data = decodeFlameData(bytes);
        auto a = version == FlameVersion::Mix
                     ? FlameModelArrays::mix(data, data, std::size_t(kShapeParams), std::size_t(kExprParams))
                     : FlameModelArrays::map(data);
        a.validate(std::size_t(kShapeParams + kExprParams));
        arrays = std::move(a);
    });
    return arrays;
}

// Heads of every version that loaded the trimmed generated model, to load over.
struct Loaded {
    std::map<FlameVersion, FlameHead> heads;
    std::map<FlameVersion, std::uint64_t> posed;

    Loaded() {
        platform::files::setResourceDirectory(fuzz::inputFolder());
        writeCompanions();
        const auto full = generatedModel("flame_model.pb");
        if (!full) fuzz::fail("flame model: the generated model does not decode");
        writeModel(trimmed(*full, int(kCompanionVertices)).SerializeAsString());
        for (auto version : {FlameVersion::V_2023, FlameVersion::V_2020, FlameVersion::Mix}) {
            FlameHead head(kShapeParams, kExprParams, version);
            head.loadResource();
            if (head.v_template.size() != kCompanionVertices) fuzz::fail("flame model: the trimmed model does not load");
            std::vector<simd::float3> out;
            head.forwardInto(pose(), out, 1);
            if (out.size() != kCompanionVertices) fuzz::fail("flame model: the trimmed model does not pose");
            posed[version] = posedDigest(out);
            heads.emplace(version, std::move(head));
        }
    }
};

const Loaded& loaded() {
    static const Loaded* shared = new Loaded();
    return *shared;
}

// Loads the model into `head` and poses it; checks what it holds against `expected` (the arrays
// of a valid model) or, without them, against what it held before.
void loadAndPose(FlameHead& head, const std::optional<FlameModelArrays>& expected, std::uint64_t previousModel,
                 std::optional<std::uint64_t> previousPose) {
    fuzz::endsWithOnly<>("FlameHead::loadResource", [&] { head.loadResource(); });
    const auto held = modelDigest(head);
    if (expected) {
        if (held != arraysDigest(*expected)) fuzz::fail("flame model: a valid model is not what the head holds");
    } else if (held != previousModel) {
        fuzz::fail("flame model: a model that does not form a head changed the head");
    }
    std::vector<simd::float3> posed;
    fuzz::endsWithOnly<>("FlameHead::forwardInto", [&] { head.forwardInto(pose(), posed, 1); });
    const std::size_t vertices = expected ? expected->v_template.size() : previousPose ? kCompanionVertices : 0;
    if (posed.size() != vertices) fuzz::fail("flame model: the forward pass did not pose every vertex");
    if (!expected && previousPose && posedDigest(posed) != *previousPose)
        fuzz::fail("flame model: a kept model poses differently");
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    for (const char* name : {"flame_model.pb", "flame_model_2020.pb"}) {
        seeds.push_back(fuzz::bytesOf(generatedModelBytes(name)));
        if (const auto full = generatedModel(name)) {
            seeds.push_back(fuzz::bytesOf(trimmed(*full, 6).SerializeAsString()));
            seeds.push_back(fuzz::bytesOf(trimmed(*full, int(kCompanionVertices)).SerializeAsString()));
        }
    }
    return seeds;
}

// The companion resources and the heads to load over are made before the first input, outside its
// time limit.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    loaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto& base = loaded();
    constexpr FlameVersion versions[] = {FlameVersion::V_2023, FlameVersion::V_2020, FlameVersion::Mix};
    const FlameVersion version = versions[size % 3];

    const auto expected = validArrays(text(data, size), version);
    // Loading a head builds its mask regions, which costs far more than the model steps: each
    // input loads one head, fresh or over a loaded one, and of the models that are refused (most
    // inputs) one in eight is loaded at all.
    if (!expected && (size / 3) % 8 != 0) return 0;
    writeModel(text(data, size));
    if ((size / 3) % 2 == 0) {
        FlameHead fresh(kShapeParams, kExprParams, version);
        loadAndPose(fresh, expected, modelDigest(fresh), std::nullopt);
    } else {
        FlameHead reloaded = base.heads.at(version);
        loadAndPose(reloaded, expected, modelDigest(reloaded), base.posed.at(version));
    }
    return 0;
}
