#include "kit/head/flame_mask.hpp"

#include "kit/head/resource_file.hpp"
#include "kit/model/json_values.hpp"

#include <algorithm>
#include <unordered_set>

namespace MivoKit {

using json_values::arrayView;

FlameMask::FlameMask(std::vector<Face> faces_, std::vector<Face> facesT_, std::ptrdiff_t numVerts_)
    : faces(std::move(faces_)), facesT(std::move(facesT_)), numVerts(numVerts_),
      numFaces(static_cast<std::ptrdiff_t>(faces.size())) {
    loadMasks();
    buildRegions();
    buildVertexToRegion();
    buildFaceMasks(faces);
}

namespace {

FlameMask::Indices indicesOf(const nlohmann::json& list) {
    FlameMask::Indices out;
    for (const auto& v : arrayView(list)) out.push_back(head_resources::lenientIndex(v));
    return out;
}

const FlameMask::Indices& regionOrEmpty(const std::map<std::string, FlameMask::Indices>& mask, const std::string& name) {
    static const auto* none = new FlameMask::Indices(); // never destroyed: heads are built in the background
    const auto it = mask.find(name);
    return it == mask.end() ? *none : it->second;
}

FlameMask::Indices concat(const FlameMask::Indices& a, const FlameMask::Indices& b) {
    FlameMask::Indices out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// The values of `from` that are in none of `without`, each once, ascending.
FlameMask::Indices difference(const FlameMask::Indices& from, const std::vector<const FlameMask::Indices*>& without) {
    std::unordered_set<std::ptrdiff_t> excluded;
    for (const auto* list : without) excluded.insert(list->begin(), list->end());
    std::unordered_set<std::ptrdiff_t> seen;
    FlameMask::Indices out;
    for (auto v : from)
        if (!excluded.contains(v) && seen.insert(v).second) out.push_back(v);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

void FlameMask::loadMasks() {
    const auto document = head_resources::loadJSONResource("flame_masks");
    if (!document) return;
    if (document->is_object()) {
        for (const auto& [name, list] : document->items()) vMask[name] = indicesOf(list);
    } else if (document->is_array()) {
        for (std::size_t i = 0; i < document->size(); ++i) vMask[std::to_string(i)] = indicesOf((*document)[i]);
    }
}

void FlameMask::buildRegions() {
    for (const auto& [name, list] : fixedRegions()) vMask[name] = list;

    const auto region = [this](const char* name) -> const Indices& { return regionOrEmpty(vMask, name); };
    vMask["hair"] = difference(region("scalp"), {&region("face"), &region("neck")});
    vMask["ears"] = concat(region("right_ear"), region("left_ear"));
    vMask["eyeballs"] = concat(region("right_eyeball"), region("left_eyeball"));
    vMask["irises"] = concat(region("right_iris"), region("left_iris"));
    vMask["left_eye"] = concat(region("left_eye_region"), region("left_eyeball"));
    vMask["right_eye"] = concat(region("right_eye_region"), region("right_eyeball"));
    vMask["eyelids"] = concat(region("left_eyelid"), region("right_eyelid"));
    auto ring = concat(region("lip_inside_ring_upper"), region("lip_inside_ring_lower"));
    ring.push_back(1594);
    ring.push_back(2730);
    vMask["lip_inside_ring"] = std::move(ring);
    vMask["sclerae"] = difference(region("eyeballs"), {&region("irises")});

    std::vector<std::string> notSkin = {"eyeballs", "hair", "lips_tight", "boundary"};
    if (numVerts == 5083) notSkin.push_back("teeth");
    vMask["skin"] = vertexIdsOutside(notSkin);
}

void FlameMask::buildVertexToRegion() {
    vidToRegion.clear();
    for (const auto& [name, list] : vMask)
        for (auto v : list) vidToRegion[v].push_back(name);
}

void FlameMask::buildFaceMasks(const std::vector<Face>& triangles) {
    std::map<std::string, Indices> faceLists;
    std::vector<std::pair<const std::string*, int>> counts;
    for (std::size_t f = 0; f < triangles.size(); ++f) {
        counts.clear();
        for (auto v : triangles[f]) {
            const auto it = vidToRegion.find(v);
            if (it == vidToRegion.end()) continue;
            for (const auto& name : it->second) {
                auto c = std::find_if(counts.begin(), counts.end(), [&](const auto& e) { return *e.first == name; });
                if (c == counts.end()) counts.emplace_back(&name, 1);
                else ++c->second;
            }
        }
        for (const auto& [name, n] : counts)
            if (n >= 3) faceLists[*name].push_back(static_cast<std::ptrdiff_t>(f));
    }
    for (auto& [name, list] : faceLists) fMask[name] = std::move(list);
}

FlameMask::Indices FlameMask::vertexIds(const std::vector<std::string>& regions) const {
    Indices out;
    for (const auto& name : regions) {
        const auto& list = regionOrEmpty(vMask, name);
        out.insert(out.end(), list.begin(), list.end());
    }
    return out;
}

FlameMask::Indices FlameMask::vertexIdsOutside(const std::vector<std::string>& regions) const {
    const auto inside = vertexIds(regions);
    const std::unordered_set<std::ptrdiff_t> excluded(inside.begin(), inside.end());
    Indices out;
    for (std::ptrdiff_t v = 0; v < numVerts; ++v)
        if (!excluded.contains(v)) out.push_back(v);
    return out;
}

} // namespace MivoKit
