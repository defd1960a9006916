#include "tests/kit/head/head_fixtures.hpp"

#include "platform/files/directories.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <fstream>

using namespace MivoKit;

namespace headtest {

FlameData TinyModel::data() const {
    FlameData d;
    const std::size_t V = vertices.size();
    for (const auto& p : vertices) {
        auto* row = d.add_vtemplate();
        for (float x : {p.x, p.y, p.z}) row->add_values(x);
    }
    auto* parents = d.add_kintreetable();
    for (int p : {-1, 0, 1, 1, 1}) parents->add_values(p);
    for (std::size_t v = 0; v < V; ++v) {
        auto* row = d.add_weights();
        const int j = v < joint.size() ? joint[v] : 0;
        for (int k = 0; k < 5; ++k) row->add_values(k == j ? 1.0f : 0.0f);
    }
    for (std::size_t v = 0; v < V; ++v) {
        auto* matrix = d.add_shapedirs();
        for (int c = 0; c < 3; ++c) {
            auto* row = matrix->add_values();
            for (std::size_t k = 0; k < coefficients; ++k) row->add_values(c == 0 ? float(k + 1) * shapeStep : 0.0f);
        }
    }
    for (int p = 0; p < 36; ++p) {
        auto* row = d.add_posedirs();
        for (std::size_t i = 0; i < 3 * V; ++i) row->add_values(0.0f);
    }
    for (std::size_t j = 0; j < 5; ++j) {
        auto* row = d.add_jregressor();
        for (std::size_t v = 0; v < V; ++v) row->add_values(v == j ? 1.0f : 0.0f);
    }
    return d;
}

void writeJSON(const std::filesystem::path& path, const nlohmann::json& value) { testsupport::writeFile(path, value.dump()); }

void writeModel(const std::filesystem::path& directory, const std::string& name, const FlameData& data) {
    testsupport::writeFile(directory / (name + ".pb"), data.SerializeAsString());
}

void writeCompanions(const std::filesystem::path& directory, const std::vector<simd::float3>& vertices,
                     const std::vector<std::array<int, 3>>& faces) {
    std::string obj;
    for (const auto& v : vertices)
        obj += "v " + std::to_string(v.x) + " " + std::to_string(v.y) + " " + std::to_string(v.z) + "\n";
    for (std::size_t i = 0; i < vertices.size(); ++i) obj += "vt 0.5 0.5\n";
    for (const auto& f : faces) {
        obj += "f";
        for (int i : f) obj += " " + std::to_string(i + 1) + "/" + std::to_string(i + 1);
        obj += "\n";
    }
    testsupport::writeFile(directory / "head_template_mesh.obj", obj);
    nlohmann::json lid = nlohmann::json::array();
    for (std::size_t i = 0; i < vertices.size(); ++i) lid.push_back({0, 0, 0});
    writeJSON(directory / "l_eyelid.json", lid);
    writeJSON(directory / "r_eyelid.json", lid);
    writeJSON(directory / "flame_landmark_embedding.json",
              {{"full_lmk_faces_idx", {{0}}}, {"full_lmk_bary_coords", {{{0.2, 0.3, 0.5}}}}});
    writeJSON(directory / "flame_masks.json", nlohmann::json::object());
}

std::vector<simd::float3> TriangleHead::vertices() {
    return {{0, 0, 0}, {1, 0, 0}, {0, 0, -1}, {0, 1, 0}, {2, 1, 0}, {0, 1, -2}, {5, 5, 5}, {5, 5, 5}, {5, 5, 5}};
}

std::vector<std::array<int, 3>> TriangleHead::faces() { return {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}}; }

void TriangleHead::write(const std::filesystem::path& directory) {
    TinyModel model{vertices(), {}, 400, 0.0f};
    writeModel(directory, "flame_model", model.data());
    writeModel(directory, "flame_model_2020", model.data());
    writeCompanions(directory, vertices(), faces());
}

void writeSplats(const std::filesystem::path& path, const std::vector<Splat>& splats) {
    ply_writer::VertexTable table(ply_writer::characterLayout());
    for (const auto& s : splats) {
        const float row[] = {s.position.x, s.position.y, s.position.z, s.dc[0], s.dc[1], s.dc[2], 2.0f,
                             s.logScale.x, s.logScale.y, s.logScale.z, s.rotation[0], s.rotation[1], s.rotation[2],
                             s.rotation[3], s.binding};
        table.addPoint(row);
    }
    ply_writer::writePLY(path, table, ply_writer::Format::binaryLittleEndian);
}

ResourceDirectory::ResourceDirectory() { platform::files::setResourceDirectory(dir_.path()); }
ResourceDirectory::~ResourceDirectory() { platform::files::setResourceDirectory(std::nullopt); }

std::filesystem::path generatedResources() { return MIVO_TEST_RESOURCE_DIR; }
std::filesystem::path syntheticDocuments() { return MIVO_TEST_DOCUMENTS_DIR; }

} // namespace headtest
