#include "platform/gpu/pass_executor.hpp"

#include "platform/gpu/draw_program.hpp"
#include "platform/gpu/footprint.hpp"
#include "platform/gpu/pixel_format.hpp"
#include "platform/dispatch/parallel_for.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

namespace MivoKit {

namespace platform::gpu {

// One view of one draw: its program, where it goes, and its binned primitives.
struct PassExecutor::Batch {
    std::unique_ptr<DrawProgram> program;
    const RenderPipelineState* pipeline = nullptr;
    const DepthStencilState* depthState = nullptr;
    std::uint32_t slice = 0;
    BindingTable vertexBindings;
    BindingTable fragmentBindings;

    // Scratch reused from pass to pass.
    std::vector<std::byte> primitives;
    struct PixelRect {
        std::int32_t x0, y0, x1, y1; // [x0, x1) x [y0, y1); x0 == x1 when culled
    };
    std::vector<std::uint32_t> chunkCounts; // chunk-major: counts[chunk * tiles + tile]
    std::vector<std::uint32_t> tileStart;   // tiles + 1 entries
    // Slots binned to tiles with the part of their rectangle inside the tile, so that shading reads
    // no other per-slot record than the primitive.
    std::vector<TileEntry> entries; // grouped by tile, in slot order
    // Per chunk of slots, the entries it found in slot order and their tiles: set-up finds each
    // slot's tiles once, the scatter into `entries` only copies.
    struct Hit {
        std::uint32_t tile;
        TileEntry entry;
    };
    struct ChunkHits {
        std::vector<Hit> hits; // only grows, so that frames after the first allocate nothing
        std::size_t count = 0;
    };
    std::vector<ChunkHits> chunkHits;
};

PassExecutor::PassExecutor(unsigned threadCount, bool useFusedDraws)
    : threadCount_(threadCount), useFusedDraws_(useFusedDraws) {}
PassExecutor::~PassExecutor() = default;

void PassExecutor::execute(const EncoderRecord& record) {
    if (record.kind == EncoderRecord::Kind::render) runRenderPass(record);
    else runCompute(record);
}

namespace {

void bind(BindingTable& table, const command::SetBuffer& c) {
    if (c.index >= kMaxBufferBindings) return;
    if (!c.buffer || c.offset > c.buffer->length()) table.buffers[c.index] = {};
    else table.buffers[c.index] = {c.buffer->contents() + c.offset, c.buffer->length() - c.offset};
}

void bind(BindingTable& table, const command::SetBytes& c) {
    if (c.index < kMaxBufferBindings) table.buffers[c.index] = {c.bytes.data(), c.bytes.size()};
}

void bind(BindingTable& table, const command::SetTexture& c) {
    if (c.index < kMaxTextureBindings) table.textures[c.index] = c.texture.get();
}

bool isPremultipliedOver(const RenderPipelineColorAttachmentDescriptor& a) {
    return a.blendingEnabled && a.rgbBlendOperation == BlendOperation::add &&
           a.alphaBlendOperation == BlendOperation::add && a.sourceRGBBlendFactor == BlendFactor::one &&
           a.sourceAlphaBlendFactor == BlendFactor::one &&
           a.destinationRGBBlendFactor == BlendFactor::oneMinusSourceAlpha &&
           a.destinationAlphaBlendFactor == BlendFactor::oneMinusSourceAlpha;
}

constexpr std::size_t kSlotsPerChunk = 2048;
constexpr int kTileShift = 4; // kTileSize = 1 << kTileShift
static_assert(kTileSize == 1 << kTileShift);
// Slots set up in one call: their bounds stay in the first level of cache until binned.
constexpr std::size_t kSlotsPerRun = 64;

// v within [lo, hi]; NaN becomes lo.
float held(float v, float lo, float hi) { return v > lo ? (v < hi ? v : hi) : lo; }

// The smallest whole number at least v, and the largest at most v, for |v| far below 2^31.
std::int32_t wholeAtLeast(float v) {
    const auto whole = std::int32_t(v); // towards zero
    return whole + (float(whole) < v);
}
std::int32_t wholeAtMost(float v) {
    const auto whole = std::int32_t(v);
    return whole - (float(whole) > v);
}

// Set-up records of up to 64 bytes get one cache line each; larger ones a multiple of 16 bytes.
std::size_t primitiveStride(std::size_t bytes) { return bytes <= 64 ? 64 : (bytes + 15) / 16 * 16; }

// The first 64-byte boundary in `storage`, which holds 63 bytes of slack for it.
std::byte* alignedBase(std::vector<std::byte>& storage) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    return storage.data() + ((64 - address % 64) % 64);
}

} // namespace

// The attachments of one render pass and its grid of tiles (every slice has its own tiles).
struct PassExecutor::Target {
    const RenderPassDescriptor* pass = nullptr;
    std::array<Texture*, kMaxColorAttachments> colors{};
    std::size_t colorCount = 0;
    Texture* depth = nullptr;
    Texture* stencil = nullptr;
    int width = 0, height = 0, tilesX = 0;
    std::size_t tilesPerLayer = 0;
    std::uint32_t layers = 1;

    // Every attachment has the same size (checked when the encoder was made).
    static std::optional<Target> of(const RenderPassDescriptor& pass) {
        Target t;
        t.pass = &pass;
        Texture* any = nullptr;
        for (std::size_t i = 0; i < kMaxColorAttachments; ++i) {
            t.colors[i] = pass.colorAttachments[i].texture.get();
            if (t.colors[i]) {
                t.colorCount = i + 1;
                any = t.colors[i];
            }
        }
        t.depth = pass.depthAttachment.texture.get();
        t.stencil = pass.stencilAttachment.texture.get();
        if (!any) any = t.depth ? t.depth : t.stencil;
        if (!any) return std::nullopt;
        t.width = static_cast<int>(any->width());
        t.height = static_cast<int>(any->height());
        t.layers = std::max<std::uint32_t>(1, pass.renderTargetArrayLength);
        for (std::size_t i = 0; i < t.colorCount; ++i)
            if (t.colors[i]) t.layers = std::min(t.layers, t.colors[i]->arrayLength());
        if (t.depth) t.layers = std::min(t.layers, t.depth->arrayLength());
        t.tilesX = (t.width + kTileSize - 1) / kTileSize;
        t.tilesPerLayer = std::size_t(t.tilesX) * ((t.height + kTileSize - 1) / kTileSize);
        return t;
    }
};

// One thread's tile memory.
struct PassExecutor::TileMemory {
    alignas(64) std::array<std::array<float, kTileSize * kTileSize * 4>, kMaxColorAttachments> color;
    std::array<float, kTileSize * kTileSize> depth;
    // Front to back: red, green and blue planes per attachment.
    alignas(64) std::array<std::array<float, kTileSize * kTileSize * 3>, kMaxColorAttachments> accumulated;
    alignas(64) std::array<float, kTileSize * kTileSize> transmittance;
    std::array<std::uint16_t, kTileSize> openPixels;
};

void PassExecutor::runRenderPass(const EncoderRecord& record) {
    const auto target = Target::of(*record.renderPass);
    if (!target) return;
    collectBatches(record, *target);
    // Busiest tiles first, so that no thread is left with a heavy tile when the others are done
    // (the image does not depend on the order: each tile is shaded whole by one thread).
    const std::size_t tileCount = target->tilesPerLayer * target->layers;
    tileCost_.assign(tileCount, 0);
    for (std::size_t b = 0; b < batchCount_; ++b) {
        const Batch& batch = *batches_[b];
        const std::size_t base = std::size_t(batch.slice) * target->tilesPerLayer;
        for (std::size_t tile = 0; tile < target->tilesPerLayer; ++tile)
            tileCost_[base + tile] += batch.tileStart[tile + 1] - batch.tileStart[tile];
    }
    tileOrder_.resize(tileCount);
    for (std::size_t t = 0; t < tileCount; ++t) tileOrder_[t] = std::uint32_t(t);
    std::sort(tileOrder_.begin(), tileOrder_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return tileCost_[a] != tileCost_[b] ? tileCost_[a] > tileCost_[b] : a < b;
    });
    dispatch::parallelFor(tileCount, 1, threadCount_, [&](std::size_t t0, std::size_t t1) {
        TileMemory memory;
        for (std::size_t t = t0; t < t1; ++t) shadeTile(*target, tileOrder_[t], memory);
    }, dispatch::Chunking::exact);

    // The stencil is never tested or written by draws: only its clear can change it.
    const RenderPassDescriptor& pass = *record.renderPass;
    if (Texture* stencil = target->stencil; stencil && pass.stencilAttachment.loadAction == LoadAction::clear &&
                                            pass.stencilAttachment.storeAction != StoreAction::dontCare) {
        for (std::uint32_t s = 0; s < std::min(target->layers, stencil->arrayLength()); ++s)
            for (std::uint32_t y = 0; y < stencil->height(); ++y)
                std::fill_n(reinterpret_cast<std::uint8_t*>(stencil->row(y, s)), stencil->width(),
                            static_cast<std::uint8_t>(pass.stencilAttachment.clearStencil));
    }
    for (std::size_t b = 0; b < batchCount_; ++b) batches_[b]->program.reset();
}

void PassExecutor::collectBatches(const EncoderRecord& record, const Target& target) {
    batchCount_ = 0;
    std::shared_ptr<RenderPipelineState> pipeline;
    std::shared_ptr<DepthStencilState> depthState;
    BindingTable vertexBindings, fragmentBindings;
    std::vector<Viewport> viewports;
    std::uint32_t amplification = 1;
    std::vector<VertexAmplificationViewMapping> mappings;
    for (const Command& c : record.commands) {
        if (const auto* p = std::get_if<command::SetRenderPipelineState>(&c)) pipeline = p->state;
        else if (const auto* d = std::get_if<command::SetDepthStencilState>(&c)) depthState = d->state;
        else if (const auto* b = std::get_if<command::SetBuffer>(&c))
            bind(b->stage == ShaderStage::fragment ? fragmentBindings : vertexBindings, *b);
        else if (const auto* y = std::get_if<command::SetBytes>(&c))
            bind(y->stage == ShaderStage::fragment ? fragmentBindings : vertexBindings, *y);
        else if (const auto* t = std::get_if<command::SetTexture>(&c))
            bind(t->stage == ShaderStage::fragment ? fragmentBindings : vertexBindings, *t);
        else if (const auto* v = std::get_if<command::SetViewports>(&c)) viewports = v->viewports;
        else if (const auto* a = std::get_if<command::SetVertexAmplification>(&c)) {
            amplification = std::max<std::uint32_t>(1, a->count);
            mappings = a->mappings;
        } else if (const auto* draw = std::get_if<command::DrawPrimitives>(&c)) {
            if (!pipeline || draw->instanceCount == 0) continue;
            // One batch per amplified view.
            for (std::uint32_t view = 0; view < amplification; ++view) {
                std::uint32_t viewportIndex = 0, slice = 0;
                if (amplification > 1 && view < mappings.size()) {
                    viewportIndex = mappings[view].viewportArrayIndexOffset;
                    slice = mappings[view].renderTargetArrayIndexOffset;
                }
                if (slice >= target.layers) continue; // no such layer: nothing is written
                Viewport viewport{0, 0, double(target.width), double(target.height), 0, 1};
                if (viewportIndex < viewports.size()) viewport = viewports[viewportIndex];
                else if (!viewports.empty()) viewport = viewports.back();

                if (batches_.size() <= batchCount_) batches_.push_back(std::make_unique<Batch>());
                Batch& batch = *batches_[batchCount_++];
                batch.pipeline = pipeline.get();
                batch.depthState = depthState.get();
                batch.slice = slice;
                batch.vertexBindings = vertexBindings;
                batch.fragmentBindings = fragmentBindings;
                const DrawContext context{&batch.vertexBindings, &batch.fragmentBindings, view,
                                          ViewportTransform{viewport}, draw->vertexStart, draw->vertexCount};
                if (useFusedDraws_ && pipeline->fusedDraw())
                    batch.program = makeFusedProgram(*pipeline->fusedDraw(), context, draw->instanceCount);
                else batch.program = makeTriangleProgram(pipeline->descriptor(), context, *draw);
                bin(batch, target, viewport);
            }
        }
    }
}

void PassExecutor::bin(Batch& batch, const Target& target, const Viewport& viewport) {
    // Pixels the view may touch: the viewport inside the target, in whole pixels (at most 16384 a
    // side), [clipX0, clipX1) x [clipY0, clipY1).
    const float clipX0 = float(std::floor(std::max(0.0, viewport.originX)));
    const float clipY0 = float(std::floor(std::max(0.0, viewport.originY)));
    const float clipX1 = float(std::floor(std::min(double(target.width), viewport.originX + viewport.width)));
    const float clipY1 = float(std::floor(std::min(double(target.height), viewport.originY + viewport.height)));
    const int tilesX = target.tilesX;
    const std::size_t tiles = target.tilesPerLayer;

    // Set up every slot and count its tiles, per fixed chunk of slots (each chunk its own counts).
    const std::size_t slots = batch.program->slotCount();
    const std::size_t primitiveBytes = primitiveStride(batch.program->primitiveBytes());
    if (batch.primitives.size() < slots * primitiveBytes + 63) batch.primitives.resize(slots * primitiveBytes + 63);
    std::byte* const primitives = alignedBase(batch.primitives);
    const std::size_t chunks = (slots + kSlotsPerChunk - 1) / kSlotsPerChunk;
    batch.chunkCounts.resize(chunks * tiles);
    batch.tileStart.resize(tiles + 1);
    if (batch.chunkHits.size() < chunks) batch.chunkHits.resize(chunks);
    // Set-up and counts, chunk by chunk (each chunk clears its own counts, on the thread that fills them).
    auto setUpChunks = [&](std::size_t c0, std::size_t c1) {
        for (std::size_t chunk = c0; chunk < c1; ++chunk) {
            std::uint32_t* counts = batch.chunkCounts.data() + chunk * tiles;
            std::fill_n(counts, tiles, 0u);
            Batch::ChunkHits& found = batch.chunkHits[chunk];
            const int tilesAcross = tilesX; // a local: stores through counts could alias the captured one
            std::size_t hitCount = 0, hitCapacity = found.hits.size();
            const std::size_t end = std::min(slots, (chunk + 1) * kSlotsPerChunk);
            WindowBounds runBounds[kSlotsPerRun];
            for (std::size_t s = chunk * kSlotsPerChunk; s < end; ++s) {
                const std::size_t inRun = (s - chunk * kSlotsPerChunk) % kSlotsPerRun;
                if (inRun == 0)
                    batch.program->setup(s, std::min(kSlotsPerRun, end - s), primitives + s * primitiveBytes,
                                         primitiveBytes, runBounds);
                const WindowBounds& bounds = runBounds[inRun];
                // Non-finite or empty bounds are culled before any conversion to integers (each
                // difference is 0, or NaN for an infinity or a NaN).
                const float notFinite = (bounds.minX - bounds.minX) + (bounds.minY - bounds.minY) +
                                        (bounds.maxX - bounds.maxX) + (bounds.maxY - bounds.maxY);
                if (bounds.empty() || !(notFinite == 0.0f)) continue;
                // Pixels whose centres lie inside the bounds and the clip rectangle: pixel x is
                // inside when minX <= x + 0.5 <= maxX (bounds held near the clip rectangle first).
                const Batch::PixelRect r{
                    std::max(std::int32_t(clipX0), wholeAtLeast(held(bounds.minX, clipX0, clipX1 + 1) - 0.5f)),
                    std::max(std::int32_t(clipY0), wholeAtLeast(held(bounds.minY, clipY0, clipY1 + 1) - 0.5f)),
                    std::min(std::int32_t(clipX1), wholeAtMost(held(bounds.maxX, clipX0 - 1, clipX1) - 0.5f) + 1),
                    std::min(std::int32_t(clipY1), wholeAtMost(held(bounds.maxY, clipY0 - 1, clipY1) - 0.5f) + 1)};
                if (!(r.x1 > r.x0 && r.y1 > r.y0)) continue;
                // The rectangle's tiles (pixel coordinates are not negative: shifts divide by the
                // tile size); where it spans several tiles both ways (three or more one way) and
                // the primitive named an ellipse, only those whose pixel centres the ellipse may
                // reach, row of tiles by row. (Of two by two tiles, finding the one an ellipse may
                // miss costs more than giving it to the draw, which finds no row of it to shade.)
                const int ty0 = r.y0 >> kTileShift, ty1 = (r.y1 - 1) >> kTileShift;
                const int tx0 = r.x0 >> kTileShift, tx1 = (r.x1 - 1) >> kTileShift;
                const bool cut = ty1 > ty0 && tx1 > tx0 && (ty1 - ty0 >= 2 || tx1 - tx0 >= 2);
                const std::size_t most = std::size_t(ty1 - ty0 + 1) * std::size_t(tx1 - tx0 + 1);
                if (hitCapacity < hitCount + most) {
                    found.hits.resize(std::max(2 * hitCapacity, hitCount + most));
                    hitCapacity = found.hits.size();
                }
                Batch::Hit* hit = found.hits.data() + hitCount;
                EllipseRows ellipse;
                if (cut) ellipse = EllipseRows(bounds);
                for (int ty = ty0; ty <= ty1; ++ty) {
                    int first = tx0, last = tx1;
                    if (cut) {
                        const int rowY0 = std::max(r.y0, ty * kTileSize);
                        const int rowY1 = std::min(r.y1, (ty + 1) * kTileSize) - 1;
                        float xLo, xHi; // pixel centres x + 0.5
                        if (!ellipse.columns(float(rowY0) + 0.5f, float(rowY1) + 0.5f, xLo, xHi)) continue;
                        const int cx0 = std::max(r.x0, wholeAtLeast(held(xLo, clipX0, clipX1 + 1) - 0.5f));
                        const int cx1 = std::min(r.x1 - 1, wholeAtMost(held(xHi, clipX0 - 1, clipX1) - 0.5f));
                        if (!(cx0 <= cx1)) continue;
                        first = cx0 >> kTileShift;
                        last = cx1 >> kTileShift;
                    }
                    // The rectangle's part in each tile of the row: whole columns but in its
                    // first and last tile.
                    const auto ey0 = std::uint8_t(ty == ty0 ? r.y0 & (kTileSize - 1) : 0);
                    const auto ey1 = std::uint8_t(ty == ty1 ? ((r.y1 - 1) & (kTileSize - 1)) + 1 : kTileSize);
                    const std::size_t rowTiles = std::size_t(ty) * tilesAcross;
                    for (int tx = first; tx <= last; ++tx) {
                        const auto ex0 = std::uint8_t(tx == tx0 ? r.x0 & (kTileSize - 1) : 0);
                        const auto ex1 = std::uint8_t(tx == tx1 ? ((r.x1 - 1) & (kTileSize - 1)) + 1 : kTileSize);
                        ++counts[rowTiles + tx];
                        *hit++ = {std::uint32_t(rowTiles + tx), {std::uint32_t(s), ex0, ey0, ex1, ey1}};
                    }
                }
                hitCount = std::size_t(hit - found.hits.data());
            }
            found.count = hitCount;
        }
    };
    // Each chunk's write position within its tile's list: chunks in order, so each tile's list is
    // in slot order. tileStart holds the tiles' sizes until placeTiles turns them into offsets.
    auto placeChunks = [&](std::size_t t0, std::size_t t1) {
        for (std::size_t tile = t0; tile < t1; ++tile) {
            std::uint32_t running = 0;
            for (std::size_t chunk = 0; chunk < chunks; ++chunk)
                running += std::exchange(batch.chunkCounts[chunk * tiles + tile], running);
            batch.tileStart[tile] = running;
        }
    };
    auto placeTiles = [&](std::size_t, std::size_t) {
        std::uint32_t running = 0;
        for (std::size_t tile = 0; tile < tiles; ++tile) running += std::exchange(batch.tileStart[tile], running);
        batch.tileStart[tiles] = running;
        batch.entries.resize(running);
    };
    auto scatterChunks = [&](std::size_t c0, std::size_t c1) {
        for (std::size_t chunk = c0; chunk < c1; ++chunk) {
            std::uint32_t* position = batch.chunkCounts.data() + chunk * tiles;
            const std::uint32_t* start = batch.tileStart.data();
            TileEntry* entries = batch.entries.data();
            const Batch::ChunkHits& found = batch.chunkHits[chunk];
            for (std::size_t h = 0; h < found.count; ++h) {
                const Batch::Hit& hit = found.hits[h];
                entries[start[hit.tile] + position[hit.tile]++] = hit.entry;
            }
        }
    };
    // One run wakes the helpers once for all four steps.
    using dispatch::Chunking;
    using dispatch::parallelStage;
    dispatch::parallelStages(threadCount_, {parallelStage(chunks, 1, setUpChunks, Chunking::exact),
                                            parallelStage(tiles, 64, placeChunks), parallelStage(1, 1, placeTiles),
                                            parallelStage(chunks, 1, scatterChunks, Chunking::exact)});
}

void PassExecutor::shadeTile(const Target& t, std::size_t index, TileMemory& memory) {
    const RenderPassDescriptor& pass = *t.pass;
    const auto slice = static_cast<std::uint32_t>(index / t.tilesPerLayer);
    const std::size_t tile = index % t.tilesPerLayer;
    const int ox = int(tile % t.tilesX) * kTileSize, oy = int(tile / t.tilesX) * kTileSize;
    const int w = std::min(kTileSize, t.width - ox), h = std::min(kTileSize, t.height - oy);

    // Load (or clear) the attachments into tile memory.
    TileTarget target;
    target.originX = ox;
    target.originY = oy;
    target.slice = slice;
    target.colorCount = t.colorCount;
    for (std::size_t i = 0; i < t.colorCount; ++i) {
        Texture* texture = t.colors[i];
        if (!texture) continue;
        float* tileMemory = memory.color[i].data();
        target.color[i] = tileMemory;
        const auto& a = pass.colorAttachments[i];
        const std::size_t pixel = bytesPerPixel(texture->pixelFormat());
        if (a.loadAction == LoadAction::load) {
            for (int y = 0; y < h; ++y)
                loadPixels(texture->pixelFormat(), texture->row(oy + y, slice) + ox * pixel,
                           tileMemory + y * kTileSize * 4, w);
            continue;
        }
        const bool clear = a.loadAction == LoadAction::clear;
        float value[4] = {clear ? float(a.clearColor.red) : 0.0f, clear ? float(a.clearColor.green) : 0.0f,
                          clear ? float(a.clearColor.blue) : 0.0f, clear ? float(a.clearColor.alpha) : 0.0f};
        // Clear values are held in the attachment's range, as the format would store them.
        if (texture->pixelFormat() != PixelFormat::rgba16Float)
            for (float& v : value) v = std::clamp(v, 0.0f, 1.0f);
        for (int p = 0; p < kTileSize * kTileSize; ++p) std::copy(value, value + 4, tileMemory + p * 4);
    }
    if (t.depth) {
        target.depth = memory.depth.data();
        if (pass.depthAttachment.loadAction == LoadAction::load) {
            for (int y = 0; y < h; ++y) {
                const auto* row = reinterpret_cast<const float*>(t.depth->row(oy + y, slice)) + ox;
                std::copy(row, row + w, memory.depth.data() + y * kTileSize);
            }
        } else {
            memory.depth.fill(pass.depthAttachment.loadAction == LoadAction::clear
                                  ? float(pass.depthAttachment.clearDepth)
                                  : 0.0f);
        }
    }

    // Every batch of this slice, in draw order.
    for (std::size_t b = 0; b < batchCount_; ++b) {
        Batch& batch = *batches_[b];
        if (batch.slice != slice) continue;
        const auto& descriptor = batch.pipeline->descriptor();
        target.pipeline = batch.pipeline;
        target.depthState = batch.depthState;
        const bool noDepthEffect = !t.depth || !batch.depthState ||
                                   (batch.depthState->descriptor().depthCompareFunction == CompareFunction::always &&
                                    !batch.depthState->descriptor().depthWriteEnabled);
        bool allOver = noDepthEffect && t.colorCount > 0;
        for (std::size_t i = 0; i < t.colorCount; ++i)
            allOver = allOver && target.color[i] && isPremultipliedOver(descriptor.colorAttachments[i]);
        target.premultipliedOver = t.colorCount == 1 && allOver;
        target.clampColor = descriptor.colorAttachments[0].pixelFormat != PixelFormat::rgba16Float;
        const std::size_t primitiveBytes = primitiveStride(batch.program->primitiveBytes());
        const std::byte* const primitives = alignedBase(batch.primitives);
        const std::uint32_t first = batch.tileStart[tile], last = batch.tileStart[tile + 1];
        const TileEntry* entries = batch.entries.data() + first;
        if (allOver && batch.program->frontToBackAttachments() >= t.colorCount) {
            // Nearest first, each fragment under the ones before it, until no pixel lets through
            // kOpaqueTransmittance or more (what is left out is bounded in TileTarget).
            for (std::size_t i = 0; i < t.colorCount; ++i) {
                memory.accumulated[i].fill(0.0f);
                target.accumulated[i] = memory.accumulated[i].data();
            }
            memory.transmittance.fill(1.0f);
            target.transmittance = memory.transmittance.data();
            target.opaqueTransmittance = kOpaqueTransmittance;
            for (int y = 0; y < kTileSize; ++y) memory.openPixels[y] = y < h ? std::uint16_t((1u << w) - 1) : 0;
            target.openPixels = memory.openPixels.data();
            target.openRows = (1u << h) - 1;
            batch.program->shade(primitives, primitiveBytes, entries, last - first, target);
            constexpr int kPlane = kTileSize * kTileSize;
            for (std::size_t i = 0; i < t.colorCount; ++i) {
                float* color = target.color[i];
                const float* gathered = memory.accumulated[i].data();
                for (int p = 0; p < kPlane; ++p) {
                    const float through = memory.transmittance[p];
                    for (int c = 0; c < 3; ++c) color[p * 4 + c] = gathered[c * kPlane + p] + through * color[p * 4 + c];
                    color[p * 4 + 3] = (1.0f - through) + through * color[p * 4 + 3];
                }
                target.accumulated[i] = nullptr;
            }
            target.transmittance = nullptr;
            target.openPixels = nullptr;
            continue;
        }
        batch.program->shade(primitives, primitiveBytes, entries, last - first, target);
    }

    // Store what the pass keeps.
    for (std::size_t i = 0; i < t.colorCount; ++i) {
        Texture* texture = t.colors[i];
        if (!texture || pass.colorAttachments[i].storeAction == StoreAction::dontCare) continue;
        const std::size_t pixel = bytesPerPixel(texture->pixelFormat());
        for (int y = 0; y < h; ++y)
            storePixels(texture->pixelFormat(), memory.color[i].data() + y * kTileSize * 4,
                        texture->row(oy + y, slice) + ox * pixel, w);
    }
    if (t.depth && pass.depthAttachment.storeAction != StoreAction::dontCare) {
        for (int y = 0; y < h; ++y)
            std::copy(memory.depth.data() + y * kTileSize, memory.depth.data() + y * kTileSize + w,
                      reinterpret_cast<float*>(t.depth->row(oy + y, slice)) + ox);
    }
}

void PassExecutor::runCompute(const EncoderRecord& record) {
    std::shared_ptr<ComputePipelineState> pipeline;
    BindingTable bindings;
    for (const Command& c : record.commands) {
        if (const auto* p = std::get_if<command::SetComputePipelineState>(&c)) pipeline = p->state;
        else if (const auto* b = std::get_if<command::SetBuffer>(&c)) bind(bindings, *b);
        else if (const auto* y = std::get_if<command::SetBytes>(&c)) bind(bindings, *y);
        else if (const auto* t = std::get_if<command::SetTexture>(&c)) bind(bindings, *t);
        else if (const auto* d = std::get_if<command::DispatchThreadgroups>(&c)) {
            if (!pipeline) continue;
            const KernelFunction kernel = pipeline->descriptor().computeFunction->kernelFunction();
            const Size3 groups = d->threadgroupsPerGrid, threads = d->threadsPerThreadgroup;
            const std::size_t groupCount = std::size_t(groups.width) * groups.height * groups.depth;
            dispatch::parallelFor(groupCount, 1, threadCount_, [&](std::size_t g0, std::size_t g1) {
                for (std::size_t g = g0; g < g1; ++g) {
                    const UInt3 group{static_cast<std::uint32_t>(g % groups.width),
                                      static_cast<std::uint32_t>(g / groups.width % groups.height),
                                      static_cast<std::uint32_t>(g / (std::size_t(groups.width) * groups.height))};
                    for (std::uint32_t z = 0; z < threads.depth; ++z)
                        for (std::uint32_t y = 0; y < threads.height; ++y)
                            for (std::uint32_t x = 0; x < threads.width; ++x)
                                kernel(KernelInput{&bindings,
                                                   {group.x * threads.width + x, group.y * threads.height + y,
                                                    group.z * threads.depth + z},
                                                   {x, y, z},
                                                   group});
                }
            }, dispatch::Chunking::exact);
        }
    }
}

} // namespace platform::gpu

} // namespace MivoKit
