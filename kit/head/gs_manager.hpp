#pragma once
// Carries a character's Gaussian splats with the posed FLAME mesh. Every splat of the point cloud
// follows one triangle (its binding): each frame the head is posed, every triangle gets a frame
// (orientation, centre, size) and every splat is re-expressed in its triangle's frame.
//
// Calling order: start(), loadFlameStaticData(), then computeFrame() once per frame. One frame at
// a time: computeFrame overwrites the per-triangle state.

#include "kit/head/flame_head.hpp"
#include "kit/head/float3x3.hpp"
#include "kit/head/prepared_splat_lists.hpp"
#include "kit/model/flame_frame_data.hpp"
#include "kit/model/splat_memory_buffer.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace MivoKit {

// Settings of the optional splat filter: splats whose posed height is not above bottomLineY, or
// whose colour is near white, are dropped. targetColor is kept but not used.
struct ShapeMetaData {
    struct Color {
        float r = 0, g = 0, b = 0;
    };
    float bottomLineY = 0;
    Color targetColor;
};

class GSManager {
public:
    using Face = FlameHead::Face;
    using HeadMap = std::map<FlameVersion, std::shared_ptr<FlameHead>>;

    GSManager(std::optional<std::filesystem::path> gsModelURL, HeadMap flameHeadMap);

    // Loads every head that has not loaded yet (each model file decoded once), reads the point
    // cloud and binds its splats. Splats without a usable binding (none, not finite, negative or
    // past every head's triangles) are left out. Throws the point-cloud reader's error.
    void start();
    // Reads gsModelURL into originPointCloud; prints "ply文件路径为空" without one. Throws the
    // reader's error, leaving originPointCloud as it was.
    void loadOriginPointCloud();
    // The character's static offsets (one per vertex) and shape coefficients, and the filter settings.
    void loadFlameStaticData(std::vector<simd::float3> staticOffset, std::vector<float> shape,
                             std::optional<ShapeMetaData> shapeMetaData);

    // The splats posed by `frame` with the head of `version` (else of the current version). A
    // version that has no head prints "FlameHead not found for version: " and the version's case
    // name and gives an empty buffer.
    SplatMemoryBuffer computeFrame(const FlameFrameData& frame, std::optional<FlameVersion> version = std::nullopt);
    // The same into `out` (its storage reused); false, with `out` emptied, when there is no head.
    bool computeFrame(const FlameFrameData& frame, std::optional<FlameVersion> version, SplatMemoryBuffer& out);

    void setFlameVersion(FlameVersion version) { flameVersion_ = version; }
    FlameVersion flameVersion() const { return flameVersion_; }
    // The head of the current version, or null.
    FlameHead* flameHead() const;
    const HeadMap& flameHeadMap() const { return flameHeadMap_; }
    // Ends the filter; the next frame with filter settings starts it again, empty.
    void clearFilterCache() { filteredIndices_.reset(); }
    // Has no effect.
    void addDebugPoint(simd::float3 position);

    // Frame computation uses up to this many threads (0, the default: as many as the machine has).
    void setMaxWorkers(unsigned workers) { maxWorkers_ = workers; }

    // ---- state of the last frame and of the character ----
    const std::optional<std::filesystem::path>& gsModelURL() const { return gsModelURL_; }
    const SplatMemoryBuffer& originPointCloud() const { return originPointCloud_; }
    // Per splat of originPointCloud: its triangle, or -1 for a splat left out.
    const std::vector<std::ptrdiff_t>& binding() const { return binding_; }
    const std::vector<Face>& faces() const { return faces_; }
    const std::vector<simd::float3>& vertices() const { return vertices_; }
    const std::vector<simd::float3>& faceCenter() const { return faceCenter_; }
    const std::vector<Float3x3>& faceOrienMat() const { return faceOrienMat_; }
    // Per triangle: (w, x, y, z) in components 0 to 3.
    const std::vector<simd::float4>& faceOrienQuat() const { return faceOrienQuat_; }
    const std::optional<std::vector<float>>& faceScaling() const { return faceScaling_; }
    // Per splat of originPointCloud: whether the filter removed it; absent while the filter is off.
    const std::optional<std::vector<bool>>& filteredIndices() const { return filteredIndices_; }
    const std::vector<simd::float3>& staticOffset() const { return staticOffset_; }
    const std::vector<float>& shape() const { return shape_; }
    const std::optional<ShapeMetaData>& shapeMetaData() const { return shapeMetaData_; }

    // ---- the per-triangle steps ----
    // The three posed positions of every triangle of the last frame.
    std::vector<std::array<simd::float3, 3>> computeFaceVertices() const;
    std::vector<simd::float3> computeFaceCenters() const;
    // Per triangle: columns (a0, n, -a2) of its frame and, when asked, its size. A triangle whose
    // corners are not all vertices gets a zero frame at the origin.
    static std::pair<std::vector<Float3x3>, std::optional<std::vector<float>>>
    computeFaceOrientation(const std::vector<simd::float3>& vertices, const std::vector<Face>& faces, bool computeScaling);
    // The quaternion (w, x, y, z) of a rotation matrix.
    static simd::float4 rotationMatrixToQuaternion(const Float3x3& m);

private:
    // What a splat needs each frame, prepared once at start.
    struct BoundSplat {
        simd::float3 position;   // in its triangle's frame
        simd::float3 scale;      // linear
        simd::quatf rotation;    // unit
        std::uint32_t face;
        std::uint32_t source;    // index in originPointCloud
    };

    // Where a splat goes this frame.
    struct Placement {
        simd::float3 position;
        simd::float3 scale;
        simd::quatf rotation;
    };

    void bindSplats();
    void resizeFaceFrames();
    void computeFaceFrames(std::size_t begin, std::size_t end);
    Placement place(const BoundSplat& splat) const;
    static void placeInto(SplatScenePoint& point, const Placement& placed);
    void writeOneByOne(SplatPointList& points);
    void writeFiltered(SplatPointList& points);

    std::optional<std::filesystem::path> gsModelURL_;
    HeadMap flameHeadMap_;
    FlameVersion flameVersion_ = FlameVersion::V_2023;
    SplatMemoryBuffer originPointCloud_;
    std::vector<std::ptrdiff_t> binding_;
    std::vector<BoundSplat> boundSplats_;
    PreparedSplatLists outputLists_; // prototype: the bound splats with their constant fields
    std::vector<simd::float3> staticOffset_;
    std::vector<float> shape_;
    std::optional<ShapeMetaData> shapeMetaData_;
    std::optional<std::vector<bool>> filteredIndices_;
    unsigned maxWorkers_ = 0;

    std::vector<Face> faces_;
    std::vector<simd::float3> vertices_;
    std::vector<simd::float3> faceCenter_;
    std::vector<Float3x3> faceOrienMat_;
    std::vector<simd::float4> faceOrienQuat_;
    std::optional<std::vector<float>> faceScaling_ = std::vector<float>{};
};

} // namespace MivoKit
