// The tile kernels: every variant this CPU runs against the portable reference, on tiles and on
// whole images, and the reference against the generic per-fragment path.

#include "render_fixture.hpp"

#include "kit/render/shaders/splat_shading.hpp"
#include "kit/render/shaders/splat_tile_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace MivoKit;

using namespace rendertest;

namespace {

using shaders::GatherChannel;
using shaders::GatherTile;
using shaders::kGatherTileSize;
using shaders::SplatPrimitive;
using shaders::SplatTileKernels;

constexpr int kPixels = kGatherTileSize * kGatherTileSize;

std::vector<const SplatTileKernels*> fasterVariants() {
    const SplatTileKernels* variants[8];
    const int count = shaders::availableSplatTileKernels(variants, 8);
    return {variants, variants + count - 1}; // the last is the portable reference
}

std::string nameOf(const ::testing::TestParamInfo<const SplatTileKernels*>& info) { return info.param->name; }

// A splat centred at (x, y) with axes of `major` and `minor` pixels at three standard deviations,
// the major one at `angle`.
SplatPrimitive splatAt(float x, float y, float major, float minor, float angle, float r, float g, float b,
                       float opacity) {
    const float c = std::cos(angle), s = std::sin(angle);
    // Axis matrix [[major c, -minor s], [major s, minor c]]; its inverse scaled by 3.
    const float det = major * minor;
    SplatPrimitive p{x, y, 0.5f, 3 * minor * c / det, 3 * minor * s / det, -3 * major * s / det, 3 * major * c / det,
                     r, g, b, opacity, 0};
    p.maxDistance2 = 2.0f * std::log(255.0f * std::min(opacity, 1.0f)) * 1.001f + 1e-4f;
    return p;
}

// One tile's memory: transmittance, open pixels and nine channel planes (three attachments).
struct TileState {
    std::vector<float> transmittance = std::vector<float>(kPixels, 1.0f);
    std::vector<float> planes = std::vector<float>(9 * kPixels, 0.0f);
    std::vector<std::uint16_t> open;
    std::uint32_t openRows = 0;

    // The tile's first w x h pixels lie inside the target.
    TileState(int w, int h) : open(kGatherTileSize, 0) {
        for (int y = 0; y < h; ++y) open[y] = std::uint16_t((1u << w) - 1);
        openRows = (1u << h) - 1;
    }
};

// Gathers `splats` nearest first into a tile at window (32, 48) whose first w x h pixels are in the
// target: most splats into three plain channels, some into channels that clamp, some into eight
// channels of three attachments, each over its own rectangle.
TileState gatherAll(const SplatTileKernels& kernels, const std::vector<SplatPrimitive>& splats, int w, int h) {
    TileState state(w, h);
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> corner(0, 6), size(4, 16);
    for (std::size_t i = 0; i < splats.size(); ++i) {
        const SplatPrimitive& p = splats[i];
        float* plane = state.planes.data();
        GatherChannel plain[8], clamped[3];
        int plainCount = 0, clampedCount = 0;
        if (i % 7 == 3) { // a colour outside 0..1 into a normalised attachment
            clamped[clampedCount++] = {plane, p.red * 1.7f};
            clamped[clampedCount++] = {plane + kPixels, -0.4f};
            plain[plainCount++] = {plane + 2 * kPixels, p.blue};
        } else if (i % 7 == 5) { // the super-resolution features, three attachments
            for (int k = 0; k < 8; ++k) plain[plainCount++] = {plane + k * kPixels, 0.1f * float(k) + p.green};
        } else {
            plain[plainCount++] = {plane, p.red};
            plain[plainCount++] = {plane + kPixels, p.green};
            plain[plainCount++] = {plane + 2 * kPixels, p.blue};
        }
        const GatherTile tile{32, 48, state.transmittance.data(), state.open.data(), &state.openRows, 1.0f / 1024.0f,
                              plain, plainCount, clamped, clampedCount};
        // Whole tile for most, a part of it (as a rectangle cut by the target or the footprint) for some.
        int x0 = 0, y0 = 0, x1 = w, y1 = h;
        if (i % 3 == 1) {
            x0 = corner(rng), y0 = corner(rng);
            x1 = std::min(w, x0 + size(rng)), y1 = std::min(h, y0 + size(rng));
        }
        if (x0 < x1 && y0 < y1) kernels.gather(p, tile, 32 + x0, 48 + y0, 32 + x1, 48 + y1);
    }
    return state;
}

std::vector<SplatPrimitive> randomSplats(int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> position(28.0f, 68.0f), reach(0.7f, 30.0f), thin(0.05f, 1.0f),
        angle(0.0f, 3.14159f), unit(0.0f, 1.0f);
    std::vector<SplatPrimitive> splats;
    for (int i = 0; i < count; ++i) {
        // One draw per statement: the order in which a call's arguments are evaluated differs
        // between compilers, and so would the scene.
        const float major = reach(rng);
        const float x = position(rng), y = position(rng);
        const float minor = std::max(0.5f, major * thin(rng));
        const float turn = angle(rng);
        const float r = unit(rng), g = unit(rng), b = unit(rng);
        const float alpha = 0.02f + 0.98f * unit(rng);
        splats.push_back(splatAt(x, y, major, minor, turn, r, g, b, alpha));
    }
    return splats;
}

struct TileVariants : ::testing::TestWithParam<const SplatTileKernels*> {};

TEST_P(TileVariants, SameImageAsTheReference) {
    // Splats from below a pixel to far past the tile, needle-thin and round, faint and nearly
    // opaque, on a whole tile and on a tile cut by the target's edge; enough of them that pixels
    // close.
    for (const auto& [w, h] : {std::pair{16, 16}, std::pair{11, 7}}) {
        const auto splats = randomSplats(250, 21);
        const TileState reference = gatherAll(shaders::portableSplatTileKernels(), splats, w, h);
        const TileState variant = gatherAll(*GetParam(), splats, w, h);
        // FMA rounds once where the reference rounds twice (splat_tile_kernels.hpp): values within a
        // few float steps; the same pixels gathered and closed.
        for (int i = 0; i < kPixels; ++i)
            ASSERT_NEAR(variant.transmittance[i], reference.transmittance[i], 2e-6f) << "pixel " << i;
        for (std::size_t i = 0; i < reference.planes.size(); ++i)
            ASSERT_NEAR(variant.planes[i], reference.planes[i], 2e-6f) << "plane " << i / kPixels << " pixel " << i % kPixels;
        EXPECT_EQ(variant.open, reference.open);
        EXPECT_EQ(variant.openRows, reference.openRows);
        // The scene closes some pixels and leaves others open, and pixels outside the target are
        // never gathered.
        EXPECT_NE(reference.open, TileState(w, h).open);
        EXPECT_NE(reference.openRows, 0u);
        for (int y = 0; y < kGatherTileSize; ++y)
            for (int x = 0; x < kGatherTileSize; ++x)
                if (x >= w || y >= h) {
                    ASSERT_EQ(reference.transmittance[y * kGatherTileSize + x], 1.0f) << x << "," << y;
                }
    }
}

TEST(TileKernels, AWholeTileInOneCallGathersWhatItsSplatsGatherOneByOne) {
    // The direct draw hands a kernel a tile's splats in one call, farthest first in draw order,
    // each over its own rectangle; one by one, nearest first, the same splats through gather() must
    // give the same bits. Some colours leave 0..1 (clamped in a normalised attachment), the tile is
    // cut by the target's edge, and enough splats come that pixels and rows close. Every variant
    // also stays within a few float steps of the reference.
    constexpr int kW = 13, kH = 11;
    const auto splats = randomSplats(250, 33);
    std::vector<shaders::SplatGatherRecord> records;
    std::vector<platform::gpu::TileEntry> entries; // draw order: the nearest splat last
    std::mt19937 rng(4);
    std::uniform_int_distribution<int> corner(0, 6), size(3, 16);
    for (std::size_t i = splats.size(); i-- > 0;) {
        SplatPrimitive p = splats[i];
        if (i % 7 == 2) p.red *= 1.8f;
        if (i % 7 == 4) p.blue = -0.3f;
        records.push_back({p, shaders::rowReachOf(p)});
        int x0 = 0, y0 = 0, x1 = kW, y1 = kH;
        if (i % 3 == 1) {
            x0 = corner(rng);
            y0 = corner(rng);
            x1 = std::min(kW, x0 + size(rng));
            y1 = std::min(kH, y0 + size(rng));
        }
        entries.push_back({std::uint32_t(records.size() - 1), std::uint8_t(x0), std::uint8_t(y0), std::uint8_t(x1),
                           std::uint8_t(y1)});
    }
    const auto inOneCall = [&](const SplatTileKernels& kernels) {
        TileState state(kW, kH);
        const GatherTile tile{32, 48, state.transmittance.data(), state.open.data(), &state.openRows, 1e-4f,
                              nullptr, 0, nullptr, 0};
        kernels.gatherEntries(reinterpret_cast<const std::byte*>(records.data()), sizeof(shaders::SplatGatherRecord),
                              entries.data(), entries.size(), tile, {state.planes.data(), true});
        return state;
    };
    const auto oneByOne = [&](const SplatTileKernels& kernels) {
        TileState state(kW, kH);
        for (std::size_t e = entries.size(); e-- > 0;) {
            const platform::gpu::TileEntry& entry = entries[e];
            const SplatPrimitive& p = records[entry.slot].splat;
            const bool inRange = p.red >= 0 && p.red <= 1 && p.green >= 0 && p.green <= 1 && p.blue >= 0 && p.blue <= 1;
            const GatherChannel channels[3] = {{state.planes.data(), p.red},
                                               {state.planes.data() + kPixels, p.green},
                                               {state.planes.data() + 2 * kPixels, p.blue}};
            const GatherTile tile{32, 48, state.transmittance.data(), state.open.data(), &state.openRows, 1e-4f,
                                  channels, inRange ? 3 : 0, channels, inRange ? 0 : 3};
            if (entry.x0 < entry.x1 && entry.y0 < entry.y1)
                kernels.gather(p, tile, 32 + entry.x0, 48 + entry.y0, 32 + entry.x1, 48 + entry.y1);
        }
        return state;
    };
    const SplatTileKernels* variants[8];
    const int count = shaders::availableSplatTileKernels(variants, 8);
    const TileState reference = inOneCall(shaders::portableSplatTileKernels());
    for (int v = 0; v < count; ++v) {
        const TileState whole = inOneCall(*variants[v]), single = oneByOne(*variants[v]);
        EXPECT_TRUE(whole.transmittance == single.transmittance) << variants[v]->name;
        EXPECT_TRUE(whole.planes == single.planes) << variants[v]->name;
        EXPECT_EQ(whole.open, single.open) << variants[v]->name;
        EXPECT_EQ(whole.openRows, single.openRows) << variants[v]->name;
        for (int i = 0; i < kPixels; ++i)
            ASSERT_NEAR(whole.transmittance[i], reference.transmittance[i], 2e-6f) << variants[v]->name << " pixel " << i;
        for (std::size_t i = 0; i < 3 * kPixels; ++i)
            ASSERT_NEAR(whole.planes[i], reference.planes[i], 2e-6f) << variants[v]->name << " plane value " << i;
        EXPECT_EQ(whole.open, reference.open) << variants[v]->name;
    }
    // The scene closes some pixels and leaves others open; a clamped colour shows: no plane value
    // above the light gathered (1 - transmittance).
    EXPECT_NE(reference.open, TileState(kW, kH).open);
    EXPECT_NE(reference.openRows, 0u);
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < kPixels; ++i)
            ASSERT_LE(reference.planes[c * kPixels + i], 1.0f - reference.transmittance[i] + 1e-5f) << c << " " << i;
}

TEST_P(TileVariants, RendersTheSameFramesAsTheReference) {
    const SplatPointList points = randomCloud(1500, 4, 0.005f, 0.15f, 0.2f);
    auto render = [&](const SplatTileKernels& kernels) {
        const SplatTileKernels& before = shaders::activeSplatTileKernels();
        shaders::setActiveSplatTileKernels(kernels);
        auto device = makeDevice(3);
        auto target = makeTarget(*device, 97, 83);
        SplatRenderer renderer(device, ColorFormat::RGB, PixelFormat::invalid, PixelFormat::invalid, 1, 1, 3);
        SplatMemoryBuffer frame;
        frame.points = points;
        renderer.update(frame);
        renderFrame(renderer, {cameraView(97, 83, 2.5f, 0.9f)}, target);
        shaders::setActiveSplatTileKernels(before);
        return readImage(*target);
    };
    const Image reference = render(shaders::portableSplatTileKernels());
    const Image variant = render(*GetParam());
    int worst = 0, differing = 0;
    for (std::size_t i = 0; i < reference.bgra.size(); ++i) {
        const int d = std::abs(int(variant.bgra[i]) - int(reference.bgra[i]));
        worst = std::max(worst, d);
        differing += d != 0;
    }
    EXPECT_LE(worst, 1); // a value on a rounding edge of the 8-bit store
    EXPECT_LT(differing, 20);
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TileVariants);
INSTANTIATE_TEST_SUITE_P(ThisCPU, TileVariants, ::testing::ValuesIn(fasterVariants()), nameOf);

// `points` from a camera 2.5 away, on the generic per-fragment path or fused with `kernels`.
Image renderWith(const SplatTileKernels* kernels, const SplatPointList& points, std::uint32_t w,
                 std::uint32_t h) {
    const SplatTileKernels& before = shaders::activeSplatTileKernels();
    if (kernels) shaders::setActiveSplatTileKernels(*kernels);
    const Image image = renderCloud(4, kernels != nullptr, points, w, h);
    shaders::setActiveSplatTileKernels(before);
    return image;
}

TEST(TileKernels, ThinSlantedSplatsLookAsOnTheGenericPathWhichCutsTheSquare) {
    // Needles across many tiles at several angles, faint and nearly opaque: the fused path bins
    // and shades them by the ellipse where alpha reaches 1/255, the generic path draws the whole
    // 3-sigma quad. A tile or a row span the ellipse wrongly left out would show as missing pixels.
    SplatPointList points;
    for (int i = 0; i < 6; ++i) {
        const float half = 0.5f * (0.3f + 0.4f * float(i)); // rotation about z by 0.3 ... 2.3 radians
        points.push_back(point({0.1f * float(i - 3), 0.05f * float(i % 2), 0.1f * float(i)},
                               {0.9f, 0.2f + 0.1f * float(i), 0.5f}, i % 2 ? 0.95f : 0.08f, {0.5f, 0.004f, 0.004f},
                               {0, 0, std::sin(half), std::cos(half)}));
    }
    const Image generic = renderWith(nullptr, points, 160, 120);
    const SplatTileKernels* variants[8];
    const int count = shaders::availableSplatTileKernels(variants, 8);
    for (int v = 0; v < count; ++v) {
        const Image fused = renderWith(variants[v], points, 160, 120);
        int worst = 0, drawnFused = 0, drawnGeneric = 0;
        for (std::size_t i = 0; i < fused.bgra.size(); ++i) worst = std::max(worst, std::abs(int(fused.bgra[i]) - int(generic.bgra[i])));
        for (std::size_t i = 0; i < fused.bgra.size(); i += 4) {
            drawnFused += fused.bgra[i + 3] != 255 || fused.bgra[i] != 255 || fused.bgra[i + 1] != 255;
            drawnGeneric += generic.bgra[i + 3] != 255 || generic.bgra[i] != 255 || generic.bgra[i + 1] != 255;
        }
        EXPECT_LE(worst, 3) << variants[v]->name; // the tolerance of the fused path's other tests
        EXPECT_NEAR(drawnFused, drawnGeneric, 10) << variants[v]->name; // pixel centres on the quad's edge
        EXPECT_GT(drawnGeneric, 600);
    }
}

TEST(TileKernels, TheReferenceMatchesTheGenericShaderPath) {
    // As SplatRendererImages.FusedPathMatchesTheGenericShaderPath, with the portable kernel forced.
    const SplatPointList points = randomCloud(400, 11);
    const Image fused = renderWith(&shaders::portableSplatTileKernels(), points, 90, 70);
    const Image generic = renderWith(nullptr, points, 90, 70);
    int worst = 0;
    double total = 0;
    for (std::size_t i = 0; i < fused.bgra.size(); ++i) {
        const int d = std::abs(int(fused.bgra[i]) - int(generic.bgra[i]));
        worst = std::max(worst, d);
        total += d;
    }
    EXPECT_LE(worst, 3);
    EXPECT_LT(total / double(fused.bgra.size()), 0.05);
}

TEST(SplatSetUp, FourAtATimeGivesTheBitsOfOneAtATime) {
    // The fused draw sets splats up four to a vector register; the rest of a run, and the
    // super-resolution draw, one at a time. A lane mixed up, or arithmetic that differs between the
    // two, would make a splat's pixels depend on where it falls in a run. Splats of every kind: in
    // view, behind the eye, beyond the far plane, faint, degenerate, not a number.
    SplatPointList points = randomCloud(200, 31, 0.001f, 0.3f, 0.2f);
    points[5].position = {0, 0, 9}; // behind the camera at 2.5
    points[9].position = {0, 0, -200};
    points[13].opacity = SplatScenePoint::Opacity::LinearFloat{0.001f};
    points[17].scale = SplatScenePoint::Scale::LinearFloat{0, 0, 0};
    points[21].position = {NAN, 0, 0};
    points[25].scale = SplatScenePoint::Scale::LinearFloat{1e6f, 1e-6f, 1.0f};
    std::vector<Splat> splats;
    for (const auto& p : points) splats.emplace_back(p, ColorFormat::RGB);
    const ViewportDescriptor view = cameraView(97, 83, 2.5f, 0.9f);
    UniformsArray uniforms{};
    uniforms.uniforms0 = {view.projectionMatrix, view.viewMatrix, {97, 83}};
    BindingTable bindings;
    bindings.buffers[0] = {reinterpret_cast<const std::byte*>(&uniforms), sizeof uniforms};
    bindings.buffers[1] = {reinterpret_cast<const std::byte*>(splats.data()), splats.size() * sizeof(Splat)};
    const DrawContext context{&bindings, &bindings, 0, ViewportTransform{view.viewport}, 0, 4};
    int kept = 0;
    for (std::uint32_t first = 0; first + 4 <= splats.size(); first += 4) {
        SplatPrimitive four[4]{}, one[4]{};
        SplatPrimitive* const slots[4] = {&four[0], &four[1], &four[2], &four[3]};
        WindowBounds fourBounds[4];
        shaders::setupSplatPrimitives(context, first, slots, fourBounds);
        for (int i = 0; i < 4; ++i) {
            const Splat* splat = nullptr;
            const WindowBounds oneBounds = shaders::setupSplatPrimitive(context, first + i, one[i], splat);
            ASSERT_EQ(fourBounds[i].empty(), oneBounds.empty()) << first + i;
            if (oneBounds.empty()) continue;
            ++kept;
            EXPECT_EQ(std::memcmp(&four[i], &one[i], sizeof(SplatPrimitive)), 0) << first + i;
            EXPECT_EQ(std::memcmp(&fourBounds[i], &oneBounds, sizeof(WindowBounds)), 0) << first + i;
        }
    }
    EXPECT_GT(kept, 150);
    EXPECT_LT(kept, 200);
}

TEST(TileKernelChoice, ThePortableReferenceIsAlwaysThereAndLast) {
    const SplatTileKernels* variants[8];
    const int count = shaders::availableSplatTileKernels(variants, 8);
    ASSERT_GE(count, 1);
    EXPECT_EQ(variants[count - 1], &shaders::portableSplatTileKernels());
    // The active variant is one of them, the forced one when MIVO_SPLAT_KERNELS names one.
    const SplatTileKernels* active = &shaders::activeSplatTileKernels();
    EXPECT_NE(std::find(variants, variants + count, active), variants + count);
    if (const char* forced = std::getenv("MIVO_SPLAT_KERNELS"); forced && std::string(forced) == "portable") {
        EXPECT_EQ(active, &shaders::portableSplatTileKernels());
    }
}

} // namespace
