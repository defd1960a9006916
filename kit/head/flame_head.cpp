#include "kit/head/flame_head.hpp"

#include "kit/head/resource_file.hpp"
#include "kit/io/obj_parser.hpp"
#include "kit/model/json_values.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"

#include <algorithm>

namespace MivoKit {

using json_values::arrayView;
using json_values::element;
using json_values::lenientNumber;
using json_values::member;

namespace {

constexpr std::size_t kTeethVertices = 120;

std::vector<float> floatsOf(const nlohmann::json& list) {
    std::vector<float> out;
    for (const auto& v : arrayView(list)) out.push_back(static_cast<float>(lenientNumber(v)));
    return out;
}

std::vector<std::vector<float>> rowsOf(const nlohmann::json& list) {
    std::vector<std::vector<float>> out;
    for (const auto& row : arrayView(list)) out.push_back(floatsOf(row));
    return out;
}

} // namespace

FlameHead::FlameHead(std::ptrdiff_t shapeParams_, std::ptrdiff_t exprParams_, FlameVersion flameVersion)
    : shapeParams(shapeParams_), exprParams(exprParams_), flameVersion_(flameVersion) {}

void FlameHead::loadResource() {
    FlameModelFiles files;
    loadResource(files);
}

void FlameHead::loadResource(FlameModelFiles& files) {
    bool modelLoaded = false;
    switch (flameVersion_) {
    case FlameVersion::V_2023: modelLoaded = loadFlameModel(files); break;
    case FlameVersion::V_2020: modelLoaded = loadFlameModel2020(files); break;
    case FlameVersion::Mix: modelLoaded = loadMixFlameModel(files); break;
    }
    const bool landmarksLoaded = loadLandmarks();
    const bool meshLoaded = loadTemplateMesh();
    const bool eyelidsLoaded = loadEyelids();
    if (teeth_) removeTeeth(!modelLoaded, !meshLoaded);
    flameMask.emplace(faces, face_uvs_idx, static_cast<std::ptrdiff_t>(v_template.size()));
    const bool teethAdded = addTeeth();
    flatten();
    modelDataChanged();
    loaded_ = modelLoaded && landmarksLoaded && meshLoaded && eyelidsLoaded && teethAdded;
}

void FlameHead::removeTeeth(bool fromModel, bool fromMesh) {
    const auto base = *teeth_;
    teeth_.reset();
    if (fromModel) {
        v_template.resize(std::min(v_template.size(), base.vertices));
        shapedirs.resize(std::min(shapedirs.size(), base.vertices));
        lbs_weights.resize(std::min(lbs_weights.size(), base.vertices));
        for (auto& row : posedirs) row.resize(std::min(row.size(), 3 * base.vertices));
        for (auto& row : J_regressor) row.resize(std::min(row.size(), base.vertices));
    }
    if (fromMesh) {
        vertex_uvs.resize(std::min(vertex_uvs.size(), base.uvs));
        faces.resize(std::min(faces.size(), base.faces));
        face_uvs_idx.resize(std::min(face_uvs_idx.size(), base.faces));
    }
}

void FlameHead::flatten() {
    shapedirsFlat.clear();
    for (const auto& matrix : shapedirs)
        for (const auto& row : matrix) shapedirsFlat.insert(shapedirsFlat.end(), row.begin(), row.end());
    posedirsFlat.clear();
    for (const auto& row : posedirs) posedirsFlat.insert(posedirsFlat.end(), row.begin(), row.end());
}

bool FlameHead::loadLandmarks() {
    const auto document = loadLandmarkEmbedding();
    if (!document) return false;
    full_lmk_faces_idx.clear();
    for (const auto& v : arrayView(element(member(*document, "full_lmk_faces_idx"), 0)))
        full_lmk_faces_idx.push_back(head_resources::lenientIndex(v));
    full_lmk_bary_coords = rowsOf(element(member(*document, "full_lmk_bary_coords"), 0));
    return true;
}

std::optional<nlohmann::json> FlameHead::loadLandmarkEmbedding() {
    return head_resources::loadJSONResource("flame_landmark_embedding");
}

bool FlameHead::loadTemplateMesh() {
    const auto path = platform::files::resourcePath("head_template_mesh", "obj");
    if (!path) {
        platform::log::print("frame文件路径为空");
        return false;
    }
    OBJParser parser;
    parser.parseOBJFile(*path);
    vertices = std::move(parser.vertices);
    faces = std::move(parser.faces);
    vertex_uvs = std::move(parser.vt);
    face_uvs_idx = std::move(parser.vtIdx);
    return !faces.empty();
}

bool FlameHead::loadEyelids() {
    const auto left = head_resources::loadJSONResource("l_eyelid");
    if (!left) return false;
    l_eyelid = rowsOf(*left);
    const auto right = head_resources::loadJSONResource("r_eyelid");
    if (!right) return false;
    r_eyelid = rowsOf(*right);
    // The teeth never move with the eyelids.
    l_eyelid.insert(l_eyelid.end(), kTeethVertices, std::vector<float>{0, 0, 0});
    r_eyelid.insert(r_eyelid.end(), kTeethVertices, std::vector<float>{0, 0, 0});
    return true;
}

void FlameHead::modelDataChanged() {
    base_.valid = false;
    exprBasis_.reset();
    exprJoints_.clear();
    shared_.reset();
}

} // namespace MivoKit
