#pragma once
// One FLAME head model of one FlameVersion: the constant arrays the forward pass poses (template,
// blend shapes, pose correctives, joint regressor, skinning weights, eyelids) and the template
// mesh that splats are bound to. loadResource() fills everything from the kit's resources and
// appends two rows of teeth; forward() poses the head for one frame.
//
// Apart from `faces`, the fields belong to the head module (the forward pass, the teeth and the
// splat binder read them). Code that changes the model arrays by hand calls modelDataChanged().

#include "kit/head/flame_mask.hpp"
#include "kit/head/flame_model_files.hpp"
#include "kit/head/lbs.hpp"
#include "kit/head/shared_flame_bases.hpp"
#include "kit/model/flame_version.hpp"
#include "platform/simd/simd.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace MivoKit {

class FlameHead {
public:
    using Face = std::array<std::ptrdiff_t, 3>;

    FlameHead(std::ptrdiff_t shapeParams, std::ptrdiff_t exprParams, FlameVersion flameVersion);

    std::vector<simd::float3> v_template;               // template vertices, then the teeth
    std::vector<std::vector<std::int32_t>> kintree_table;
    std::vector<std::vector<float>> lbs_weights;         // per vertex, one weight per joint
    std::vector<std::ptrdiff_t> full_lmk_faces_idx;      // per landmark, its triangle
    std::vector<std::vector<float>> full_lmk_bary_coords; // per landmark, barycentric coordinates
    std::vector<std::ptrdiff_t> parents;                 // parent joint of each joint
    std::vector<std::vector<std::vector<float>>> shapedirs; // vertex -> x, y, z -> coefficient
    std::vector<float> shapedirsFlat;                    // index ((v * 3) + c) * coefficients + k
    std::vector<std::vector<float>> posedirs;            // pose feature -> x, y, z of every vertex
    std::vector<float> posedirsFlat;                     // the rows one after the other
    std::vector<std::vector<float>> J_regressor;         // joint -> weight per vertex
    std::vector<Face> faces;                             // template triangles, then the teeth's
    std::vector<simd::float3> vertices;                  // vertices as the mesh file stores them
    std::vector<Face> face_uvs_idx;                      // per triangle, its texture coordinates
    std::vector<simd::float2> vertex_uvs;
    std::ptrdiff_t shapeParams;
    std::ptrdiff_t exprParams;
    std::optional<FlameMask> flameMask;
    std::vector<std::vector<float>> l_eyelid;            // per vertex, the left eyelid's x, y, z offset
    std::vector<std::vector<float>> r_eyelid;

    FlameVersion flameVersion() const { return flameVersion_; }
    // shapeParams and exprParams as counts (a negative parameter counts as none).
    std::size_t shapeCount() const { return shapeParams > 0 ? std::size_t(shapeParams) : 0; }
    std::size_t expressionCount() const { return exprParams > 0 ? std::size_t(exprParams) : 0; }

    // Loads the model of this head's version, the landmarks, the template mesh, the eyelids and the
    // masks, adds the teeth and flattens the blend shapes. Failures are printed, never raised; the
    // fields of a failed step keep what they held. The overload shares decoded model files
    // between the heads of one loading pass.
    void loadResource();
    void loadResource(FlameModelFiles& files);
    // True after a loadResource() in which every step succeeded.
    bool isLoaded() const { return loaded_; }

    // The steps of loadResource(); each returns whether it succeeded. The model loaders read
    // their files through `files` when given, else afresh.
    bool loadFlameModel(FlameModelFiles& files);     // "flame_model"
    bool loadFlameModel2020(FlameModelFiles& files); // "flame_model_2020"
    bool loadMixFlameModel(FlameModelFiles& files);  // shape from the first, the rest from the second
    bool loadFlameModel();
    bool loadFlameModel2020();
    bool loadMixFlameModel();
    bool loadLandmarks();
    std::optional<nlohmann::json> loadLandmarkEmbedding();
    bool loadTemplateMesh();
    bool loadEyelids();
    // Appends 120 teeth vertices behind the lips, with their triangles, blend shapes and weights.
    // Prints a line and changes nothing when the mask's outer lip rings are not in the template.
    bool addTeeth();

    // Poses the head for one frame: (posed vertices, shaped template). Lists of any length are
    // cut or zero-padded to the head's sizes (shapeParams, exprParams, 3 per joint); an unloaded or
    // ill-sized head gives two empty lists. zeroCenteredAtRootNode and dynamicOffset have no effect.
    std::pair<std::vector<simd::float3>, std::vector<simd::float3>>
    forward(const std::vector<float>& shape, const std::vector<float>& expr, const std::vector<float>& rotation,
            const std::vector<float>& neck, const std::vector<float>& jaw, const std::vector<float>& eyes,
            simd::float3 translation, bool zeroCenteredAtRootNode = false,
            const std::optional<std::vector<simd::float3>>& staticOffset = std::nullopt,
            const std::optional<std::vector<simd::float3>>& dynamicOffset = std::nullopt,
            const std::optional<std::vector<float>>& eyelid = std::nullopt);

    // One frame's parameters for forwardInto().
    struct Pose {
        std::span<const float> shape, expr, rotation, neck, jaw, eyes;
        simd::float3 translation;
        std::span<const simd::float3> staticOffset;
        std::optional<std::span<const float>> eyelid;
    };
    // The posed vertices of forward(), written into `posed` (its storage reused), computed on up to
    // `maxWorkers` threads (0: as many as the machine has). `shaped`, when given, receives the
    // shaped template.
    void forwardInto(const Pose& pose, std::vector<simd::float3>& posed, unsigned maxWorkers = 0,
                     std::vector<simd::float3>* shaped = nullptr);

    // The same pass in steps, for callers that run it inside parallel loops of their own:
    // beginForward prepares the frame and gives the number of vertices to compute (0 for an
    // unusable head, `posed` then empty); forwardRange computes vertices [begin, end) of that
    // number (disjoint ranges may run at once); `posed` is complete once every range ran.
    std::size_t beginForward(const Pose& pose, std::vector<simd::float3>& posed);
    void forwardRange(std::size_t begin, std::size_t end);

    // Drops what the forward pass derived from the model arrays (the shaped template of the last
    // shape and static offsets) and any shared bases. loadResource() calls it.
    void modelDataChanged();

    // The names of the model files (without ".pb") that loading a head of `version` reads.
    static std::vector<std::string> modelFileNames(FlameVersion version);

    // For a loaded head that is only posed from now on: moves the blend shapes and pose
    // correctives into bases held once in `bases` (shared with the other heads loaded with it)
    // in the layout the forward pass reads, and empties shapedirs, shapedirsFlat, posedirs and
    // posedirsFlat. The head poses exactly as before. Arrays the forward pass cannot use are
    // left as they are. A later modelDataChanged() drops the bases (the head then poses from its
    // own arrays).
    void shareModelArrays(SharedFlameBases& bases);

private:
    void flatten();
    // The expression columns of a flat basis of 3V rows of S + E values, coefficient by coefficient.
    static std::vector<float> expressionColumns(std::span<const float> flat, std::size_t V, std::size_t S, std::size_t E);
    // Takes the teeth out of the arrays of the model step, the mesh step or both, so a step that
    // failed on a reload leaves the arrays as its file gave them and the teeth go on once.
    void removeTeeth(bool fromModel, bool fromMesh);

    // The sizes before the teeth were added, while the arrays carry them.
    struct TeethBase {
        std::size_t vertices, uvs, faces;
    };
    std::optional<TeethBase> teeth_;

    FlameVersion flameVersion_;
    bool loaded_ = false;

    // Template + shape blend shapes + static offsets: constant for a character, so computed once
    // and reused while the shape coefficients and static offsets stay the same.
    struct ShapedBase {
        bool valid = false;
        std::vector<float> shape;
        std::vector<simd::float3> staticOffset;
        std::vector<simd::float3> vertices;
        std::vector<simd::float3> joints; // regressed from `vertices`
    } base_;
    // The expression columns of shapedirsFlat, coefficient by coefficient (exprParams rows of 3V),
    // so the per-frame sum runs over contiguous memory.
    std::shared_ptr<const std::vector<float>> exprBasis_;
    std::vector<simd::float3> exprJoints_; // per coefficient, the regression of its column

    // The bases of shareModelArrays(), which replace shapedirsFlat and posedirsFlat.
    struct SharedBases {
        bool hasBlendShapes = false;
        std::shared_ptr<const std::vector<float>> shape; // 3V rows of shapeParams coefficients
        std::shared_ptr<const std::vector<float>> pose;  // posedirsFlat as it was
    };
    std::optional<SharedBases> shared_;

    // Per-frame work space, kept to avoid allocating every frame.
    struct Workspace {
        std::vector<float> coefficients;
        std::vector<float> pose;
        std::vector<simd::float3> shaped;
        std::vector<simd::float3> joints;
        // The frame begun last.
        std::vector<simd::float3>* posed = nullptr;
        std::span<const float> exprCoefficients;
        std::span<const float> poseBasis;
        bool expressive = false;
        std::size_t columns = 0;
        std::size_t skinned = 0;
        bool hasEyelid = false;
        float leftLid = 0, rightLid = 0;
        simd::float3 translation;
    } work_;
    LBS::Rig rig_;
};

} // namespace MivoKit
