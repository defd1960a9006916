#include "tools/demo/image_files.hpp"

#include <zlib.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

using namespace MivoKit;

namespace demo {

RGBAImage readTexture(const platform::gpu::Texture& texture) {
    RGBAImage image{texture.width(), texture.height(), {}};
    image.rgba.resize(std::size_t(image.width) * image.height * 4);
    texture.getBytes(image.rgba.data(), image.width * 4, {0, 0, image.width, image.height});
    for (std::size_t i = 0; i < image.rgba.size(); i += 4) std::swap(image.rgba[i], image.rgba[i + 2]);
    return image;
}

namespace {

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(value >> shift));
}

// One chunk: length, type, data, and the CRC of type and data.
void appendChunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::uint8_t* data, std::size_t size) {
    appendBigEndian(out, std::uint32_t(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    appendBigEndian(out, std::uint32_t(crc32(0, out.data() + typeAt, uInt(size + 4))));
}

} // namespace

// Every presented frame is written while the head speaks, so the encoder must keep pace with the
// view on two cores: each row is filtered by its left neighbour (PNG filter "sub"), which suits the
// smooth head on a plain background, and deflated at a fast level. About four times faster than
// stb's encoder, whose filter search and deflate took 45-55 ms a frame at 690 x 798.
void writePNG(const std::filesystem::path& path, const RGBAImage& image) {
    const std::size_t stride = std::size_t(image.width) * 4;
    std::vector<std::uint8_t> filtered;
    filtered.reserve((stride + 1) * image.height);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.rgba.data() + y * stride;
        filtered.push_back(1); // sub
        for (std::size_t i = 0; i < stride; ++i) filtered.push_back(std::uint8_t(row[i] - (i >= 4 ? row[i - 4] : 0)));
    }
    uLongf deflatedSize = compressBound(uLong(filtered.size()));
    std::vector<std::uint8_t> deflated(deflatedSize);
    if (compress2(deflated.data(), &deflatedSize, filtered.data(), uLong(filtered.size()), 3) != Z_OK)
        throw std::runtime_error("cannot compress " + path.string());

    std::vector<std::uint8_t> file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    appendBigEndian(header, image.width);
    appendBigEndian(header, image.height);
    header.insert(header.end(), {8, 6, 0, 0, 0}); // 8 bits, RGBA, deflate, adaptive filters, no interlace
    appendChunk(file, "IHDR", header.data(), header.size());
    appendChunk(file, "IDAT", deflated.data(), deflatedSize);
    appendChunk(file, "IEND", nullptr, 0);

    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!out || std::fwrite(file.data(), 1, file.size(), out.get()) != file.size() || std::fflush(out.get()) != 0)
        throw std::runtime_error("cannot write " + path.string());
}

namespace {

// `frame` shrunk by `shrink` (box filter) into the cell of `sheet` at (ox, oy).
void drawShrunk(const RGBAImage& frame, std::uint32_t shrink, RGBAImage& sheet, std::uint32_t ox, std::uint32_t oy,
                std::uint32_t cellW, std::uint32_t cellH) {
    for (std::uint32_t y = 0; y < cellH; ++y)
        for (std::uint32_t x = 0; x < cellW; ++x)
            for (int c = 0; c < 4; ++c) {
                unsigned sum = 0;
                for (std::uint32_t dy = 0; dy < shrink; ++dy)
                    for (std::uint32_t dx = 0; dx < shrink; ++dx)
                        sum += frame.rgba[((std::size_t(y) * shrink + dy) * frame.width + x * shrink + dx) * 4 + c];
                sheet.rgba[((std::size_t(oy) + y) * sheet.width + ox + x) * 4 + c] = std::uint8_t(sum / (shrink * shrink));
            }
}

} // namespace

RGBAImage contactSheet(const std::vector<RGBAImage>& frames, std::uint32_t columns, std::uint32_t shrink) {
    if (frames.empty() || columns == 0 || shrink == 0) return {};
    const std::uint32_t cellW = frames[0].width / shrink, cellH = frames[0].height / shrink;
    const std::uint32_t rows = std::uint32_t((frames.size() + columns - 1) / columns);
    RGBAImage sheet{cellW * columns, cellH * rows, {}};
    sheet.rgba.assign(std::size_t(sheet.width) * sheet.height * 4, 255);
    for (std::size_t f = 0; f < frames.size(); ++f)
        drawShrunk(frames[f], shrink, sheet, std::uint32_t(f % columns) * cellW, std::uint32_t(f / columns) * cellH,
                   cellW, cellH);
    return sheet;
}

RGBAImage shrunk(const RGBAImage& image, std::uint32_t shrink) {
    if (shrink == 0) return {};
    RGBAImage out{image.width / shrink, image.height / shrink, {}};
    out.rgba.resize(std::size_t(out.width) * out.height * 4);
    drawShrunk(image, shrink, out, 0, 0, out.width, out.height);
    return out;
}

} // namespace demo
