// The animation service's handling of what its server sends: WebSocket messages (binary, or Base64
// text) decoded as "api.driven_ingress.v1" envelopes into events, and the keyframes of those
// events posed into splat buffers as the player draws them.
//
// Input: a run of messages, each one flags byte (bit 0: a text message; bits 1-2: the FLAME
// version the frames are posed with), a 16-bit little-endian length and that many bytes (the last
// one takes what is left).

#include "fuzz/fuzz_support.hpp"
#include "kit/head/flame_model.pb.h"
#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/service/base64.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/proto/driven_ingress.pb.h"
#include "kit/service/wire_format.hpp"
#include "platform/files/directories.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>

using namespace MivoKit;

namespace ingress = api::driven_ingress::v1;
namespace realtime = api::realtime::v1;
using Event = MvCharacterServiceEvent;

namespace {

// Splat buffers posed per input, to keep runs short.
constexpr std::size_t kPosedFramesPerInput = 8;
// Frames whose every value lies within this bound must give finite splats.
constexpr float kModerate = 50;

struct Recorder : MvCharacterServiceDelegate {
    std::vector<Event> events;
    int connectionChanges = 0;
    void serviceConnectionChanged(bool) override { ++connectionChanges; }
    void handleServiceEvent(const Event& event) override { events.push_back(event); }
};

struct Message {
    std::uint8_t flags = 0;
    std::vector<std::uint8_t> bytes;
};

std::vector<Message> split(const std::uint8_t* data, std::size_t size) {
    std::vector<Message> messages;
    std::size_t at = 0;
    while (at < size) {
        Message m;
        m.flags = data[at];
        std::size_t length = size - at - 1;
        if (length >= 2) {
            length = std::min<std::size_t>(data[at + 1] | std::size_t(data[at + 2]) << 8, size - at - 3);
            at += 3;
        } else {
            at += 1;
        }
        m.bytes.assign(data + at, data + at + length);
        at += length;
        messages.push_back(std::move(m));
    }
    return messages;
}

FuzzBytes frame(const std::vector<Message>& messages) {
    FuzzBytes out;
    for (const auto& m : messages) {
        out.push_back(m.flags);
        out.push_back(std::uint8_t(m.bytes.size()));
        out.push_back(std::uint8_t(m.bytes.size() >> 8));
        out.insert(out.end(), m.bytes.begin(), m.bytes.end());
    }
    return out;
}

Message binary(const google::protobuf::MessageLite& message, std::uint8_t version = 0) {
    return {std::uint8_t(version << 1), encodeMessage(message)};
}
Message text(const std::string& text) { return {1, std::vector<std::uint8_t>(text.begin(), text.end())}; }

realtime::Flame keyframe(float marker, bool full) {
    realtime::Flame flame;
    for (float t : {0.01f * marker, -0.02f, 0.6f}) flame.add_translation(t);
    for (int i = 0; i < 3; ++i) flame.add_rotation(0.01f * marker);
    for (int i = 0; i < 3; ++i) flame.add_neck_pose(0.02f);
    for (int i = 0; i < 3; ++i) flame.add_jaw_pose(i == 0 ? 0.2f * marker : 0);
    for (int i = 0; i < 6; ++i) flame.add_eye_pose(0.05f);
    for (int i = 0; i < 2; ++i) flame.add_eye_lid(0.3f * marker);
    for (int i = 0; i < (full ? 100 : 12); ++i) flame.add_expression(i < 10 ? 0.05f * float(i) : 0);
    return flame;
}

ingress::Message animation(const std::string& reqId, int keyframes) {
    ingress::Message m;
    m.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    auto* answer = m.mutable_server_response_animation();
    answer->set_req_id(reqId);
    for (int i = 0; i < keyframes; ++i) *answer->mutable_animation()->add_keyframes() = keyframe(float(i), i == 0);
    return m;
}

ingress::Message error(const std::string& reason) {
    ingress::Message m;
    m.set_type(ingress::MESSAGE_ERROR);
    m.mutable_error()->set_req_id("u1");
    m.mutable_error()->set_code(429);
    m.mutable_error()->set_reason(reason);
    return m;
}

// A small head in the FLAME layout (12 vertices, 5 joints, 300 shape and 100 expression
// coefficients, pose correctives, eyelids, 13 triangles of which one degenerate), written as the
// kit's resources: the forward pass runs every step of the synthetic head's at a fraction of the
// cost.
constexpr std::size_t kVertices = 12;
constexpr std::size_t kJoints = 5;
constexpr std::size_t kCoefficients = 400;

simd::float3 vertexAt(std::size_t v) {
    const float angle = 0.5f * float(v % 6), height = v < 6 ? 0.0f : 0.05f;
    return {0.08f * std::sin(angle), height + 0.01f * float(v % 3), 0.08f * std::cos(angle)};
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) fuzz::fail("cannot write " + path.string());
}

void writeHead(const std::filesystem::path& directory) {
    FlameData d;
    for (std::size_t v = 0; v < kVertices; ++v) {
        auto* row = d.add_vtemplate();
        const auto p = vertexAt(v);
        for (float x : {p.x, p.y, p.z}) row->add_values(x);
    }
    auto* parents = d.add_kintreetable();
    for (int p : {-1, 0, 1, 1, 1}) parents->add_values(p);
    for (std::size_t v = 0; v < kVertices; ++v) {
        auto* row = d.add_weights();
        for (std::size_t j = 0; j < kJoints; ++j) row->add_values(j == 0 ? 0.5f : j == 1 + v % 4 ? 0.5f : 0.0f);
    }
    for (std::size_t v = 0; v < kVertices; ++v) {
        auto* matrix = d.add_shapedirs();
        for (int c = 0; c < 3; ++c) {
            auto* row = matrix->add_values();
            for (std::size_t k = 0; k < kCoefficients; ++k) row->add_values(0.001f * std::sin(float(v * 7 + k + c)));
        }
    }
    for (std::size_t p = 0; p < 9 * (kJoints - 1); ++p) {
        auto* row = d.add_posedirs();
        for (std::size_t i = 0; i < 3 * kVertices; ++i) row->add_values(0.002f * std::cos(float(p + i)));
    }
    for (std::size_t j = 0; j < kJoints; ++j) {
        auto* row = d.add_jregressor();
        for (std::size_t v = 0; v < kVertices; ++v) row->add_values(v == j || v == j + 6 ? 0.5f : 0.0f);
    }
    writeText(directory / "flame_model.pb", d.SerializeAsString());
    writeText(directory / "flame_model_2020.pb", d.SerializeAsString());

    std::string obj;
    for (std::size_t v = 0; v < kVertices; ++v) {
        const auto p = vertexAt(v);
        obj += "v " + std::to_string(p.x) + " " + std::to_string(p.y) + " " + std::to_string(p.z) + "\n";
        obj += "vt 0.5 0.5\n";
    }
    auto face = [&](std::size_t a, std::size_t b, std::size_t c) {
        obj += "f " + std::to_string(a + 1) + "/" + std::to_string(a + 1) + " " + std::to_string(b + 1) + "/" +
               std::to_string(b + 1) + " " + std::to_string(c + 1) + "/" + std::to_string(c + 1) + "\n";
    };
    for (std::size_t i = 0; i < 6; ++i) {
        const std::size_t next = (i + 1) % 6;
        face(i, next, i + 6);
        face(next, next + 6, i + 6);
    }
    face(0, 0, 1); // degenerate
    writeText(directory / "head_template_mesh.obj", obj);

    auto lid = nlohmann::json::array();
    for (std::size_t v = 0; v < kVertices; ++v) lid.push_back({0.0, v < 6 ? -0.004 : 0.0, 0.001});
    writeText(directory / "l_eyelid.json", lid.dump());
    writeText(directory / "r_eyelid.json", lid.dump());
    writeText(directory / "flame_landmark_embedding.json",
              R"({"full_lmk_faces_idx":[[0,3]],"full_lmk_bary_coords":[[[0.2,0.3,0.5],[0.3,0.3,0.4]]]})");
    writeText(directory / "flame_masks.json", "{}");
}

// The character the frames are posed for: the small head, a shape and static offsets, and a point
// cloud bound to its triangles (plus splats without a usable binding).
struct Character {
    std::filesystem::path directory = fuzz::scratchDirectory();
    Mivo::AssetPaths paths;
    std::optional<MvCharacterBufferProvider> provider;
    std::size_t boundSplats = 0;

    Character() {
        const auto resources = directory / "resources";
        std::filesystem::create_directories(resources);
        writeHead(resources);
        platform::files::setResourceDirectory(resources);

        paths = Mivo::AssetPaths::assetPaths("character", directory);
        std::filesystem::create_directories(paths.pointCloudModelUrl->parent_path());
        auto shape = nlohmann::json::array();
        for (int k = 0; k < 300; ++k) shape.push_back(k < 20 ? 0.1 * std::sin(k) : 0.0);
        writeText(*paths.shapeJsonUrl, shape.dump());
        auto offsets = nlohmann::json::array();
        for (std::size_t v = 0; v < kVertices; ++v) offsets.push_back({0.0, 0.0005 * double(v), 0.0});
        writeText(*paths.staticOffsetJsonUrl, offsets.dump());

        ply_writer::VertexTable table{ply_writer::characterLayout()};
        for (int i = 0; i < 40; ++i) {
            const float binding = i < 36 ? float(i % 13) : std::array{-1.0f, 1e9f, NAN, 0.5f}[std::size_t(i - 36)];
            const float row[] = {0.1f * float(i % 3), 0.05f, -0.1f, 0.2f, 0.1f, 0.0f, 2.0f, -4.0f, -4.5f, -4.0f,
                                 1, 0.1f * float(i % 5), 0, 0, binding};
            table.addPoint(row);
        }
        ply_writer::writePLY(*paths.pointCloudModelUrl, table, ply_writer::Format::binaryLittleEndian);

        provider.emplace(paths, platform::audio::AudioFormat::standard(16000, 1));
        provider->gsManager().setMaxWorkers(1);
        // The first frame loads the heads and the cloud.
        const auto first = provider->makeSplatBuffer(FlameFrameData(), FlameVersion::V_2023);
        if (!first || !provider->loadedStaticData()) fuzz::fail("the fuzzing character does not load");
        for (const auto& [version, head] : provider->gsManager().flameHeadMap())
            if (head->v_template.size() != kVertices || head->faces.size() != 13)
                fuzz::fail("a head of the fuzzing character did not load");
        boundSplats = first->points.size();
        if (boundSplats != 37) fuzz::fail("the fuzzing cloud binds " + std::to_string(boundSplats) + " splats, not 37");
    }
};

Character& character() {
    static Character c;
    return c;
}

bool moderate(const FlameFrameData& frame) {
    auto within = [](float v) { return std::fabs(v) <= kModerate; };
    auto allWithin = [&](const std::vector<float>& values) { return std::all_of(values.begin(), values.end(), within); };
    return within(frame.translation.x) && within(frame.translation.y) && within(frame.translation.z) &&
           allWithin(frame.rotation) && allWithin(frame.expr) && allWithin(frame.neck_pose) &&
           allWithin(frame.jaw_pose) && allWithin(frame.eyes_pose) && (!frame.eyelid || allWithin(*frame.eyelid));
}

void pose(const FlameFrameData& frame, FlameVersion version) {
    auto& c = character();
    std::optional<SplatMemoryBuffer> buffer;
    fuzz::endsWithOnly<>("MvCharacterBufferProvider::makeSplatBuffer", [&] { buffer = c.provider->makeSplatBuffer(frame, version); });
    if (!buffer) fuzz::fail("a frame gave no splat buffer");
    if (buffer->points.size() != c.boundSplats) fuzz::fail("a frame gave another number of splats than the cloud binds");
    if (!moderate(frame)) return;
    for (const auto& point : buffer->points) {
        const auto scale = point.scale.linear();
        const bool finite = std::isfinite(point.position.x) && std::isfinite(point.position.y) &&
                            std::isfinite(point.position.z) && std::isfinite(scale.x) && std::isfinite(scale.y) &&
                            std::isfinite(scale.z) && std::isfinite(point.rotation.x) &&
                            std::isfinite(point.rotation.y) && std::isfinite(point.rotation.z) &&
                            std::isfinite(point.rotation.w);
        if (!finite) fuzz::fail("a frame of moderate values gave a splat that is not finite");
    }
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    // Each server type alone, binary and Base64 text, posed with each version.
    for (std::uint8_t version = 0; version < 3; ++version) seeds.push_back(frame({binary(animation("u1", 2), version)}));
    seeds.push_back(frame({text(fuzz::base64(binary(animation("u1", 3)).bytes))}));
    seeds.push_back(frame({binary(error("overloaded"))}));
    seeds.push_back(frame({text(fuzz::base64(binary(error("")).bytes))}));
    // An answer in pieces, an absent animation, a type holding another member, ignored types.
    seeds.push_back(frame({binary(animation("u2", 1)), binary(animation("u2", 4), 1), binary(animation("u2", 0), 2)}));
    seeds.push_back(frame({binary(animation("u2", 2)), binary(error("late"))}));
    ingress::Message bare;
    bare.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    seeds.push_back(frame({binary(bare)}));
    auto mismatched = error("x");
    mismatched.set_type(ingress::MESSAGE_SERVER_RESPONSE_ANIMATION);
    seeds.push_back(frame({binary(mismatched)}));
    for (int type : {0, 2003, 1000, 1}) {
        ingress::Message other;
        other.set_type(static_cast<ingress::MessageType>(type));
        other.mutable_client_audio_input()->set_req_id("u3");
        other.mutable_client_audio_input()->set_audio(std::string("\x01\x02\x03", 3));
        other.mutable_client_audio_input()->set_end(true);
        seeds.push_back(frame({binary(other)}));
    }
    // Keyframes with arrays of other lengths, and out-of-range values.
    auto odd = animation("u4", 1);
    auto* flame = odd.mutable_server_response_animation()->mutable_animation()->mutable_keyframes(0);
    flame->clear_translation();
    flame->add_translation(0.1f);
    for (int i = 0; i < 200; ++i) flame->add_expression(0.001f * float(i));
    flame->add_eye_lid(1e30f);
    flame->add_rotation(INFINITY);
    flame->add_jaw_pose(NAN);
    seeds.push_back(frame({binary(odd)}));
    // Text that is not Base64: the envelope in protobuf's JSON form.
    std::string json;
    (void)google::protobuf::util::MessageToJsonString(animation("u5", 1), &json);
    seeds.push_back(frame({text(json)}));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    auto service = std::make_shared<MvCharacterAnimationService>();
    auto recorder = std::make_shared<Recorder>();
    service->delegate = recorder;

    std::size_t posed = 0;
    for (const auto& received : split(data, size)) {
        // As the receive loop hands messages on: text only when it is Base64.
        std::optional<std::vector<std::uint8_t>> bytes = received.bytes;
        if (received.flags & 1)
            bytes = decodeBase64(std::string_view(reinterpret_cast<const char*>(received.bytes.data()), received.bytes.size()));
        const std::size_t before = recorder->events.size();
        if (bytes) fuzz::endsWithOnly<>("MvCharacterAnimationService::handleMessageData", [&] { service->handleMessageData(*bytes); });
        const std::size_t given = recorder->events.size() - before;

        // Keyframes and server errors give one event each; everything else none.
        ingress::Message message;
        const bool decodes = bytes && decodeMessage(message, *bytes);
        const bool givesEvent = decodes && (message.type() == ingress::MESSAGE_SERVER_RESPONSE_ANIMATION ||
                                            message.type() == ingress::MESSAGE_ERROR);
        if (given != (givesEvent ? 1u : 0u))
            fuzz::fail("a message gave " + std::to_string(given) + " events, not " + (givesEvent ? "1" : "0"));
        if (given == 0) continue;
        const auto& event = recorder->events.back();
        if (message.type() == ingress::MESSAGE_ERROR) {
            const auto* error = std::get_if<Event::Error>(&event);
            if (!error || error->message != message.error().reason()) fuzz::fail("a server error gave another event");
            continue;
        }
        const auto* frames = std::get_if<Event::AnimationFrames>(&event);
        const auto& sent = message.server_response_animation();
        if (!frames || frames->reqId != sent.req_id() || frames->frames.size() != std::size_t(sent.animation().keyframes_size()))
            fuzz::fail("keyframes gave another event or another number of frames");
        for (std::size_t i = 0; i < frames->frames.size(); ++i) {
            const auto& frame = frames->frames[i];
            const auto& keyframe = sent.animation().keyframes(int(i));
            const auto& t = keyframe.translation();
            if (frame.translation.x != (t.size() > 0 ? t[0] : 0.0f) && !std::isnan(frame.translation.x))
                fuzz::fail("a frame's translation is not its keyframe's");
            if (!frame.eyelid || frame.eyelid->size() != std::size_t(keyframe.eye_lid_size()) ||
                frame.expr.size() != std::size_t(keyframe.expression_size()) || frame.shape || frame.static_offset)
                fuzz::fail("a keyframe became a frame of other lists");
        }

        // The player poses the frames with the character's head.
        static constexpr FlameVersion versions[] = {FlameVersion::V_2023, FlameVersion::V_2020, FlameVersion::Mix, FlameVersion::V_2023};
        const auto version = versions[(received.flags >> 1) & 3];
        for (const auto& frame : frames->frames) {
            if (posed == kPosedFramesPerInput) break;
            pose(frame, version);
            ++posed;
        }
    }
    if (recorder->connectionChanges != 0) fuzz::fail("received messages changed the connection");
    return 0;
}
