#include "tools/demo/frame_writer.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <stb_image.h>

using namespace MivoKit;

namespace {

demo::RGBAImage filled(std::uint8_t value) {
    return {4, 3, std::vector<std::uint8_t>(4 * 3 * 4, value)};
}

} // namespace

TEST(FrameWriter, WritesEveryFrameAndCountsTheOnesThatCannotBeWritten) {
    testsupport::TempDir dir;
    {
        demo::FrameWriter writer(2, 2); // fewer slots than frames: write() waits for the writers
        for (int i = 0; i < 12; ++i)
            writer.write(dir / ("frame_" + std::to_string(i) + ".png"), filled(std::uint8_t(10 * i)));
        writer.write(dir / "missing" / "frame.png", filled(1));
        writer.finish();
        EXPECT_EQ(writer.failures(), 1u);
    }
    for (int i = 0; i < 12; ++i) {
        int w = 0, h = 0, channels = 0;
        const auto path = (dir / ("frame_" + std::to_string(i) + ".png")).string();
        unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &channels, 4);
        ASSERT_NE(pixels, nullptr) << path;
        EXPECT_EQ(w, 4);
        EXPECT_EQ(h, 3);
        EXPECT_EQ(pixels[0], std::uint8_t(10 * i));
        EXPECT_EQ(pixels[4 * 3 * 4 - 1], std::uint8_t(10 * i));
        stbi_image_free(pixels);
    }
}

TEST(FrameWriter, ShrunkFramesMakeTheSameContactSheet) {
    std::vector<demo::RGBAImage> frames, shrunk;
    for (int f = 0; f < 3; ++f) {
        demo::RGBAImage frame{8, 6, std::vector<std::uint8_t>(8 * 6 * 4)};
        for (std::size_t i = 0; i < frame.rgba.size(); ++i) frame.rgba[i] = std::uint8_t((i * 37 + std::size_t(f) * 11) % 251);
        shrunk.push_back(demo::shrunk(frame, 2));
        frames.push_back(std::move(frame));
    }
    const auto sheet = demo::contactSheet(frames, 2, 2);
    const auto fromShrunk = demo::contactSheet(shrunk, 2, 1);
    EXPECT_EQ(fromShrunk.width, sheet.width);
    EXPECT_EQ(fromShrunk.height, sheet.height);
    EXPECT_EQ(fromShrunk.rgba, sheet.rgba);
}
