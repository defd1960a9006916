#pragma once
// The per-pixel loop of the splat shaders when they compose front to back: set-up splats gathered
// into one 16x16 tile, in several variants chosen once per process from what the CPU has.
//
//   portable  GCC vector types four pixels at a time, built for baseline x86-64: the reference,
//             and the fallback on every other CPU.
//   avx2      eight pixels at a time with AVX2 and FMA (splat_tile_avx2.cpp, built with its own
//             flags; it uses no inline function of a shared header, so that no AVX2 copy of one
//             can become the copy the linker keeps for every caller).
//
// MIVO_SPLAT_KERNELS=portable (or avx2) forces a variant for the whole process; a name the CPU
// cannot run is ignored with a warning.
//
// Each variant has two entries: gatherEntries takes a whole tile's splats of the direct draw at
// once (one call per tile, so that nothing is set up again per splat), gather one splat into any
// channels (the super-resolution draw).
//
// FMA makes the variants differ: avx2 fuses the multiplications and additions of the position
// (u, v), the exponential's polynomial and the sums, so each rounds once where portable rounds
// twice (it fuses those its code names and no others: built without implicit contraction, a
// splat rounds the same through both entries). Gathered colours and transmittances differ by a
// few float steps (at most 2e-7 on the tests' scenes, which allow 2e-6), far below an 8-bit or
// half-float step; a stored 8-bit value may differ by 1 where it lies on a rounding edge. A pixel
// centre within about 1e-6 of a cut (the 3-sigma square, the smallest kept alpha) may fall on the
// other side, which changes that pixel by at most the splat's alpha there (under 0.012); no scene
// of the tests has one.
//
// Both variants decide the same pixels otherwise: a pixel is gathered while its transmittance is
// at least the tile's limit, only on the columns of a row where the splat's alpha can reach 1/255
// (the ellipse maxDistance2 of SplatPrimitive, a little wider), so results do not depend on how
// many pixels one step handles or where a step starts. Every entry runs on the thread that shades
// the tile; nothing is shared between calls.

#include "platform/gpu/shader.hpp"

#include <cstddef>
#include <cstdint>

namespace MivoKit {

namespace shaders {

// One splat set up in window coordinates. (u, v) = inverse * (p - centre) gives the position in
// standard deviations along the axes.
struct SplatPrimitive {
    float centreX, centreY, depth;
    float i00, i01, i10, i11; // inverse of the axis matrix, scaled by 3
    float red, green, blue, opacity;
    float maxDistance2; // beyond this u^2 + v^2 no fragment reaches the smallest kept alpha
};

// Where the ellipse u^2 + v^2 <= maxDistance2 meets the rows of the window: along the row at
// dy = y - centreY it covers the window x within
//   centreX + slope * dy -+ sqrt(reach - narrowing * dy^2) * inverseWidth
// (none where the root's argument is negative), so that a kernel finds a row's columns with a
// square root and no division.
struct SplatRowReach {
    float slope, reach, narrowing, inverseWidth;
};

// The reach of `p`: worked out once per splat and frame by the direct draw's set-up, once per
// splat and tile by gather().
SplatRowReach rowReachOf(const SplatPrimitive& p);

// The direct draw's set-up record: one cache line.
struct SplatGatherRecord {
    SplatPrimitive splat;
    SplatRowReach rows;
};
static_assert(sizeof(SplatGatherRecord) == 64);

inline constexpr int kGatherTileSize = 16;

// One colour channel of one attachment: its plane of kGatherTileSize^2 floats and the splat's
// value for it.
struct GatherChannel {
    float* plane;
    float value;
};

// What a kernel sees of the tile. Rows are kGatherTileSize floats long.
struct GatherTile {
    int originX, originY;     // window position of the tile's first pixel
    float* transmittance;     // per pixel
    std::uint16_t* openPixels; // per row: bit x set while pixel x lets through `limit` or more
    std::uint32_t* openRows;   // bit y set while row y has an open pixel
    float limit;
    // Channels that gather transmittance * alpha * value, and those that gather
    // transmittance * clamp(alpha * value, 0, 1) (normalised attachments, colours outside 0..1).
    // gatherEntries uses neither (see GatheredPlanes).
    const GatherChannel* plain;
    int plainCount;
    const GatherChannel* clamped;
    int clampedCount;
};

// Where gatherEntries puts the splats' own colours: the red, green and blue planes of one
// attachment, one after the other from `rgb` on; with `clamps` (a normalised attachment) a splat
// whose colour leaves 0..1 gathers transmittance * clamp(alpha * value, 0, 1) in every channel.
struct GatheredPlanes {
    float* rgb;
    bool clamps;
};

// Gathers splat `p` under what the tile holds on the pixels [x0, x1) x [y0, y1) (inside the tile):
// for each open pixel with fragment alpha a and transmittance t, every channel gets t * a * value
// (or t * clamp(a * value)), t becomes t - t * a, and the pixel closes once t < limit.
using GatherFunction = void (*)(const SplatPrimitive& p, const GatherTile& tile, int x0, int y0, int x1, int y1);

// Gathers one tile's entries of the direct draw as gather() does, into `planes`: records at
// records + slot * stride (SplatGatherRecord), entries in draw order (farthest first) and taken
// nearest first, each over its rectangle, until no row of the tile is open.
using GatherEntriesFunction = void (*)(const std::byte* records, std::size_t stride,
                                       const platform::gpu::TileEntry* entries, std::size_t count,
                                       const GatherTile& tile, const GatheredPlanes& planes);

struct SplatTileKernels {
    const char* name;
    GatherFunction gather;
    GatherEntriesFunction gatherEntries;
};

const SplatTileKernels& portableSplatTileKernels();
#if defined(__x86_64__) || defined(__i386__)
const SplatTileKernels& avx2SplatTileKernels();
#endif

// Every variant this CPU can run, fastest first; the portable one last.
int availableSplatTileKernels(const SplatTileKernels* out[], int capacity);
// The variant the shaders use: chosen on first use (MIVO_SPLAT_KERNELS, else the fastest).
const SplatTileKernels& activeSplatTileKernels();
// Replaces it for the whole process (benchmarks compare variants); must be one this CPU can run.
void setActiveSplatTileKernels(const SplatTileKernels& kernels);

} // namespace shaders

} // namespace MivoKit
