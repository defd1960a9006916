#pragma once
// Named regions of the FLAME template mesh: vertex lists (from the "flame_masks" resource and the
// fixed lists of the template) and, from them, the triangles that lie inside each region.

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace MivoKit {

class FlameMask {
public:
    using Face = std::array<std::ptrdiff_t, 3>;
    using Indices = std::vector<std::ptrdiff_t>;

    // Builds every region: the resource's, the fixed ones, the combined ones, then the face lists.
    FlameMask(std::vector<Face> faces, std::vector<Face> facesT, std::ptrdiff_t numVerts);

    std::map<std::string, Indices> vMask;            // region -> vertex indices
    std::map<std::string, Indices> fMask;            // region -> triangle positions in `faces`
    std::vector<Face> faces;
    std::vector<Face> facesT;                        // kept with the mask, not used by it
    std::ptrdiff_t numVerts;
    std::ptrdiff_t numFaces;
    std::map<std::ptrdiff_t, std::vector<std::string>> vidToRegion; // vertex -> its regions

    // Reads the regions of the "flame_masks" resource into vMask.
    void loadMasks();
    // Stores the fixed regions (replacing file regions of the same name), then the combined ones.
    void buildRegions();
    void buildVertexToRegion();
    // A triangle joins every region named three or more times among its vertices' regions.
    void buildFaceMasks(const std::vector<Face>& faces);

    // The lists of the named regions one after the other; unknown names contribute nothing.
    Indices vertexIds(const std::vector<std::string>& regions) const;
    // Every vertex in 0 ..< numVerts outside the named regions, each once, ascending.
    Indices vertexIdsOutside(const std::vector<std::string>& regions) const;

    // The fixed regions of the FLAME template, in the order they are stored.
    static const std::vector<std::pair<std::string, Indices>>& fixedRegions();
};

} // namespace MivoKit
