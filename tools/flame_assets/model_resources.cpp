// The head model resources: the two model files, the template mesh and the JSON companions.

#include "tools/flame_assets/asset_files.hpp"
#include "tools/flame_assets/model_bases.hpp"

#include "kit/model/json_values.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <charconv>
#include <random>
#include <string>

using namespace MivoKit;

namespace synthetic {
namespace {

using nlohmann::json;

void appendNumber(std::string& out, float value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

std::string templateMesh(const Head& head) {
    std::string obj = "# synthetic FLAME head template\n";
    for (const auto& v : head.vertices) {
        obj += "v";
        for (float x : {v.x, v.y, v.z}) {
            obj += ' ';
            appendNumber(obj, x);
        }
        obj += '\n';
    }
    for (const auto& uv : head.uvs) {
        obj += "vt ";
        appendNumber(obj, uv.x);
        obj += ' ';
        appendNumber(obj, uv.y);
        obj += '\n';
    }
    for (const auto& f : head.faces) {
        obj += "f";
        for (auto i : f) obj += ' ' + std::to_string(i + 1) + '/' + std::to_string(i + 1);
        obj += '\n';
    }
    return obj;
}

json rows(const std::vector<simd::float3>& offsets) {
    json out = json::array();
    for (const auto& d : offsets)
        out.push_back({json_values::encodeFloat(d.x), json_values::encodeFloat(d.y), json_values::encodeFloat(d.z)});
    return out;
}

// Landmarks on face triangles: a batch of one, as the embedding file holds it.
json landmarkEmbedding(const Head& head) {
    std::mt19937 random(68);
    std::uniform_real_distribution<float> unit(0, 1);
    std::vector<std::size_t> faceTriangles;
    for (std::size_t f = 0; f < head.faces.size(); ++f) {
        const auto& i = head.info[std::size_t(head.faces[f][0])];
        if (i.part == Part::skin && std::cos(i.phi) > 0.6f && i.theta > 1.0f && i.theta < 2.8f) faceTriangles.push_back(f);
    }
    json faces = json::array(), bary = json::array();
    for (std::size_t l = 0; l < 68; ++l) {
        faces.push_back(faceTriangles[l * faceTriangles.size() / 68]);
        float a = unit(random), b = unit(random);
        if (a + b > 1) a = 1 - a, b = 1 - b;
        bary.push_back({json_values::encodeFloat(a), json_values::encodeFloat(b), json_values::encodeFloat(1 - a - b)});
    }
    return {{"full_lmk_faces_idx", json::array({faces})}, {"full_lmk_bary_coords", json::array({bary})}};
}

json masks(const Head& head) {
    json out = json::object();
    for (const auto& [name, indices] : head.regions) out[name] = indices;
    return out;
}

} // namespace

void writeModelResources(const Head& head, const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    ply_writer::writeFileAtomically(directory / "flame_model.pb", makeFlameData(head, ModelYear::y2023).SerializeAsString());
    ply_writer::writeFileAtomically(directory / "flame_model_2020.pb", makeFlameData(head, ModelYear::y2020).SerializeAsString());
    ply_writer::writeFileAtomically(directory / "head_template_mesh.obj", templateMesh(head));
    ply_writer::writeFileAtomically(directory / "flame_landmark_embedding.json", landmarkEmbedding(head).dump());
    const auto lids = eyelidShapes(head);
    ply_writer::writeFileAtomically(directory / "l_eyelid.json", rows(lids[0]).dump());
    ply_writer::writeFileAtomically(directory / "r_eyelid.json", rows(lids[1]).dump());
    ply_writer::writeFileAtomically(directory / "flame_masks.json", masks(head).dump());
}

} // namespace synthetic
