#include "kit/head/gs_manager.hpp"

#include "kit/io/autodetect_scene_reader.hpp"
#include "platform/dispatch/parallel_for.hpp"
#include "platform/log/log.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace MivoKit {

using platform::dispatch::parallelStage;
using platform::dispatch::parallelStages;

namespace {

constexpr std::size_t kVertexChunk = 256;
constexpr std::size_t kFaceChunk = 512;
constexpr std::size_t kSplatChunk = 2048;

// x / |x|, or the zero vector when |x| <= 1e-8. `length` receives |x|.
simd::float3 normalise(simd::float3 v, float& length) {
    length = simd::length(v);
    if (length <= 1e-8f) return {};
    return v * (1.0f / length);
}

simd::float3 normalise(simd::float3 v) {
    float length;
    return normalise(v, length);
}

struct FaceFrame {
    Float3x3 orientation;
    float size = 0;
    simd::float3 center;
};

// The frame of one triangle: columns (a0, n, -a2), its size and its centre. A triangle with a
// corner that is not a vertex gets the zero frame.
FaceFrame faceFrame(const std::vector<simd::float3>& vertices, const FlameHead::Face& face) {
    for (auto i : face)
        if (i < 0 || std::size_t(i) >= vertices.size()) return {};
    const auto p0 = vertices[std::size_t(face[0])], p1 = vertices[std::size_t(face[1])],
               p2 = vertices[std::size_t(face[2])];
    const auto edge = p1 - p0, diagonal = p2 - p0;
    float edgeLength;
    const auto a0 = normalise(edge, edgeLength);
    const auto n = normalise(simd::cross(a0, diagonal));
    const auto a2 = normalise(simd::cross(n, a0));
    const auto minusA2 = simd::float3{-a2.x, -a2.y, -a2.z};
    FaceFrame f;
    f.orientation = Float3x3::fromColumns(a0, n, minusA2);
    f.size = 0.5f * (edgeLength + std::fabs(simd::dot(diagonal, minusA2)));
    f.center = (p0 + p1 + p2) * (1.0f / 3);
    return f;
}

// Every colour channel as stored above `limit`: bytes as their fraction of 255, every
// super-resolution feature (none counts as all above).
bool allChannelsAbove(const SplatScenePoint::Color& color, float limit) {
    return std::visit(
        [limit](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, SplatScenePoint::Color::SuperResolution>) {
                const auto values = c.values();
                return std::all_of(values.begin(), values.end(), [&](float v) { return v > limit; });
            } else if constexpr (std::is_same_v<C, SplatScenePoint::Color::LinearUInt8>) {
                return c.r / 255.0f > limit && c.g / 255.0f > limit && c.b / 255.0f > limit;
            } else {
                return c.r > limit && c.g > limit && c.b > limit;
            }
        },
        static_cast<const SplatScenePoint::Color::variant&>(color));
}

std::string_view caseName(FlameVersion version) {
    switch (version) {
    case FlameVersion::V_2023: return "V_2023";
    case FlameVersion::V_2020: return "V_2020";
    case FlameVersion::Mix: return "Mix";
    }
    return {};
}

} // namespace

GSManager::GSManager(std::optional<std::filesystem::path> gsModelURL, HeadMap flameHeadMap)
    : gsModelURL_(std::move(gsModelURL)), flameHeadMap_(std::move(flameHeadMap)) {}

FlameHead* GSManager::flameHead() const {
    const auto it = flameHeadMap_.find(flameVersion_);
    return it == flameHeadMap_.end() ? nullptr : it->second.get();
}

void GSManager::addDebugPoint(simd::float3) {}

void GSManager::start() {
    // Each model file is decoded once and dropped after the last head that reads it; the heads
    // keep their bases once, shared where they hold the same values.
    std::map<std::string, int> readers;
    for (const auto& [version, head] : flameHeadMap_)
        if (head && !head->isLoaded())
            for (const auto& name : FlameHead::modelFileNames(head->flameVersion())) ++readers[name];
    FlameModelFiles files;
    SharedFlameBases bases;
    for (auto& [version, head] : flameHeadMap_) {
        if (!head || head->isLoaded()) continue;
        head->loadResource(files);
        if (head->isLoaded()) head->shareModelArrays(bases);
        for (const auto& name : FlameHead::modelFileNames(head->flameVersion()))
            if (--readers[name] == 0) files.release(name);
    }
    loadOriginPointCloud();
    bindSplats();
    platform::log::print("GSManager: start");
}

void GSManager::loadOriginPointCloud() {
    if (!gsModelURL_) {
        platform::log::print("ply文件路径为空");
        return;
    }
    AutodetectSceneReader reader(*gsModelURL_);
    SplatMemoryBuffer cloud;
    cloud.read(reader);
    originPointCloud_ = std::move(cloud);
    platform::log::print("GSManager: loadOriginPointCloud");
}

void GSManager::bindSplats() {
    std::size_t triangles = 0;
    for (const auto& [version, head] : flameHeadMap_)
        if (head) triangles = std::max(triangles, head->faces.size());

    const auto& points = originPointCloud_.points;
    binding_.assign(points.size(), -1);
    boundSplats_.clear();
    boundSplats_.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const auto& p = points[i];
        // A binding that names no triangle would index past the triangle list every frame.
        if (!p.binding || !std::isfinite(*p.binding) || *p.binding < 0) continue;
        const double face = std::trunc(double(*p.binding));
        if (face >= double(triangles) || face > double(std::numeric_limits<std::uint32_t>::max())) continue;
        binding_[i] = std::ptrdiff_t(face);
        boundSplats_.push_back({p.position, p.scale.linear(), simd::normalize(p.rotation), std::uint32_t(face),
                                std::uint32_t(i)});
    }
    SplatPointList prototype;
    prototype.reserve(boundSplats_.size());
    for (const auto& splat : boundSplats_) {
        const auto& p = points[splat.source];
        prototype.emplace_back(p.position, std::nullopt, p.color, p.opacity, SplatScenePoint::Scale::LinearFloat{},
                               simd::quatf{}, std::nullopt);
    }
    outputLists_.setPrototype(std::move(prototype));
}

void GSManager::loadFlameStaticData(std::vector<simd::float3> staticOffset, std::vector<float> shape,
                                    std::optional<ShapeMetaData> shapeMetaData) {
    staticOffset_ = std::move(staticOffset);
    shape_ = std::move(shape);
    shapeMetaData_ = shapeMetaData;
    platform::log::print("GSManager: loadFlameStaticData");
}

SplatMemoryBuffer GSManager::computeFrame(const FlameFrameData& frame, std::optional<FlameVersion> version) {
    SplatMemoryBuffer out;
    computeFrame(frame, version, out);
    return out;
}

bool GSManager::computeFrame(const FlameFrameData& frame, std::optional<FlameVersion> version, SplatMemoryBuffer& out) {
    FlameHead* head = nullptr;
    if (version) {
        const auto it = flameHeadMap_.find(*version);
        if (it != flameHeadMap_.end()) head = it->second.get();
    }
    if (!head) head = flameHead();
    if (!head) {
        platform::log::print("FlameHead not found for version: " + std::string(caseName(flameVersion_)));
        out.points.clear();
        return false;
    }

    faces_ = head->faces;
    FlameHead::Pose pose{shape_, frame.expr, frame.rotation, frame.neck_pose, frame.jaw_pose, frame.eyes_pose,
                         frame.translation, staticOffset_, std::nullopt};
    if (frame.eyelid) pose.eyelid = std::span<const float>(*frame.eyelid);
    if (!filteredIndices_ && shapeMetaData_) filteredIndices_.emplace(originPointCloud_.points.size(), false);

    // Pose the head, frame every triangle, then (without the filter) place every splat: one
    // parallel run, so the helper threads are woken once per frame.
    const std::size_t vertexCount = head->beginForward(pose, vertices_);
    auto poseVertices = [head](std::size_t begin, std::size_t end) { head->forwardRange(begin, end); };
    resizeFaceFrames();
    auto frameTriangles = [this](std::size_t begin, std::size_t end) { computeFaceFrames(begin, end); };
    if (filteredIndices_ || maxWorkers_ == 1) {
        parallelStages(maxWorkers_, {parallelStage(vertexCount, kVertexChunk, poseVertices),
                                     parallelStage(faces_.size(), kFaceChunk, frameTriangles)});
        if (filteredIndices_) writeFiltered(out.points);
        else writeOneByOne(out.points);
        return true;
    }
    auto list = outputLists_.take();
    auto placeSplats = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) placeInto(list[i], place(boundSplats_[i]));
    };
    parallelStages(maxWorkers_, {parallelStage(vertexCount, kVertexChunk, poseVertices),
                                 parallelStage(faces_.size(), kFaceChunk, frameTriangles),
                                 parallelStage(list.size(), kSplatChunk, placeSplats)});
    out.points = std::move(list);
    outputLists_.prepareNext();
    return true;
}

GSManager::Placement GSManager::place(const BoundSplat& splat) const {
    if (splat.face >= faceCenter_.size()) {
        // A triangle the posing head does not have: the zero frame.
        return {{}, {}, splat.rotation * simd::quatf{0, 0, 0, 0.5f}};
    }
    const float s = (*faceScaling_)[splat.face];
    const auto& q = faceOrienQuat_[splat.face];
    return {faceCenter_[splat.face] + (faceOrienMat_[splat.face] * splat.position) * s, splat.scale * s,
            splat.rotation * simd::quatf{q[1], q[2], q[3], q[0]}};
}

void GSManager::placeInto(SplatScenePoint& point, const Placement& placed) {
    point.position = placed.position;
    point.scale.emplace<SplatScenePoint::Scale::LinearFloat>(
        SplatScenePoint::Scale::LinearFloat{placed.scale.x, placed.scale.y, placed.scale.z});
    point.rotation = placed.rotation;
}

void GSManager::writeOneByOne(SplatPointList& points) {
    // Each point is copied from the prototype and placed while it is in cache.
    const auto& prototype = outputLists_.prototype();
    points.clear();
    points.reserve(prototype.size());
    for (std::size_t i = 0; i < prototype.size(); ++i) {
        points.push_back(prototype[i]);
        placeInto(points.back(), place(boundSplats_[i]));
    }
}

void GSManager::writeFiltered(SplatPointList& points) {
    // The filter only ever grows: a splat once removed stays removed.
    const float cutLine = shapeMetaData_ ? shapeMetaData_->bottomLineY : 0.0f;
    auto& filtered = *filteredIndices_;
    const auto& prototype = outputLists_.prototype();
    points.clear();
    points.reserve(boundSplats_.size());
    for (std::size_t i = 0; i < boundSplats_.size(); ++i) {
        const auto& splat = boundSplats_[i];
        if (filtered[splat.source]) continue;
        const auto placed = place(splat);
        if (allChannelsAbove(prototype[i].color, 0.9f) || !(placed.position.y > cutLine)) {
            filtered[splat.source] = true;
            continue;
        }
        points.push_back(prototype[i]);
        placeInto(points.back(), placed);
    }
}

void GSManager::resizeFaceFrames() {
    const std::size_t n = faces_.size();
    faceCenter_.resize(n);
    faceOrienMat_.resize(n);
    faceOrienQuat_.resize(n);
    if (!faceScaling_) faceScaling_.emplace();
    faceScaling_->resize(n);
}

void GSManager::computeFaceFrames(std::size_t begin, std::size_t end) {
    for (std::size_t f = begin; f < end; ++f) {
        const auto frame = faceFrame(vertices_, faces_[f]);
        faceCenter_[f] = frame.center;
        faceOrienMat_[f] = frame.orientation;
        (*faceScaling_)[f] = frame.size;
        faceOrienQuat_[f] = rotationMatrixToQuaternion(frame.orientation);
    }
}

std::vector<std::array<simd::float3, 3>> GSManager::computeFaceVertices() const {
    std::vector<std::array<simd::float3, 3>> out;
    out.reserve(faces_.size());
    for (const auto& face : faces_) {
        std::array<simd::float3, 3> corners{};
        for (int k = 0; k < 3; ++k)
            if (face[k] >= 0 && std::size_t(face[k]) < vertices_.size()) corners[k] = vertices_[std::size_t(face[k])];
        out.push_back(corners);
    }
    return out;
}

std::vector<simd::float3> GSManager::computeFaceCenters() const {
    std::vector<simd::float3> out;
    out.reserve(faces_.size());
    for (const auto& face : faces_) out.push_back(faceFrame(vertices_, face).center);
    return out;
}

std::pair<std::vector<Float3x3>, std::optional<std::vector<float>>>
GSManager::computeFaceOrientation(const std::vector<simd::float3>& vertices, const std::vector<Face>& faces,
                                  bool computeScaling) {
    std::vector<Float3x3> matrices;
    std::optional<std::vector<float>> sizes;
    if (computeScaling) sizes.emplace();
    matrices.reserve(faces.size());
    for (const auto& face : faces) {
        const auto frame = faceFrame(vertices, face);
        matrices.push_back(frame.orientation);
        if (sizes) sizes->push_back(frame.size);
    }
    return {std::move(matrices), std::move(sizes)};
}

simd::float4 GSManager::rotationMatrixToQuaternion(const Float3x3& a) {
    const auto m = [&](int r, int c) { return a.m[r][c]; };
    const float tr = m(0, 0) + m(1, 1) + m(2, 2);
    float w, x, y, z;
    // Divisions by S done as products with 1 / S: equal within rounding, and off the critical path.
    if (tr >= 0) {
        const float s = 2 * std::sqrt(tr + 1), r = 1 / s;
        w = s / 4, x = (m(2, 1) - m(1, 2)) * r, y = (m(0, 2) - m(2, 0)) * r, z = (m(1, 0) - m(0, 1)) * r;
    } else if (m(0, 0) >= m(1, 1) && m(0, 0) >= m(2, 2)) {
        const float s = 2 * std::sqrt(1 + m(0, 0) - m(1, 1) - m(2, 2)), r = 1 / s;
        x = s / 4, y = (m(0, 1) + m(1, 0)) * r, z = (m(0, 2) + m(2, 0)) * r, w = (m(2, 1) - m(1, 2)) * r;
    } else if (m(2, 2) <= m(1, 1)) {
        const float s = 2 * std::sqrt(1 + m(1, 1) - m(0, 0) - m(2, 2)), r = 1 / s;
        y = s / 4, x = (m(0, 1) + m(1, 0)) * r, z = (m(1, 2) + m(2, 1)) * r, w = (m(0, 2) - m(2, 0)) * r;
    } else {
        const float s = 2 * std::sqrt(1 + m(2, 2) - m(0, 0) - m(1, 1)), r = 1 / s;
        z = s / 4, x = (m(0, 2) + m(2, 0)) * r, y = (m(1, 2) + m(2, 1)) * r, w = (m(1, 0) - m(0, 1)) * r;
    }
    return {w, x, y, z};
}

} // namespace MivoKit
