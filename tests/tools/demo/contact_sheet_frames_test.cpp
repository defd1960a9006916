#include "tools/demo/contact_sheet_frames.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

constexpr std::uint32_t kW = 4, kH = 3;

// A white frame; with a mark, one pixel carries the mark's value, so frames can be told apart.
demo::RGBAImage whiteFrame(std::optional<std::uint8_t> mark = std::nullopt) {
    demo::RGBAImage frame{kW, kH, std::vector<std::uint8_t>(kW * kH * 4, 255)};
    if (mark) frame.rgba[(1 * kW + 2) * 4 + 1] = *mark;
    return frame;
}

// The pixels of cell `index` of a sheet of kW x kH cells.
std::vector<std::uint8_t> cellOf(const demo::RGBAImage& sheet, std::uint32_t index) {
    std::vector<std::uint8_t> cell;
    for (std::uint32_t y = 0; y < kH; ++y) {
        const auto row = sheet.rgba.begin() + std::ptrdiff_t((std::size_t(y) * sheet.width + index * kW) * 4);
        cell.insert(cell.end(), row, row + kW * 4);
    }
    return cell;
}

} // namespace

TEST(ContactSheetFrames, StartsAtTheFirstFrameThatShowsSomethingAndKeepsEveryFifthFromThere) {
    demo::ContactSheetFrames frames(5, 2, 1);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(frames.add(whiteFrame())); // drawn before the first splats arrived
    EXPECT_TRUE(frames.add(whiteFrame(0))) << "the first frame that shows something is told";
    for (int k = 1; k < 12; ++k) EXPECT_FALSE(frames.add(whiteFrame(std::uint8_t(k))));

    const auto sheet = frames.sheet(4);
    ASSERT_EQ(sheet.width, 4 * kW) << "one row of four cells";
    ASSERT_EQ(sheet.height, kH);
    EXPECT_EQ(cellOf(sheet, 0), whiteFrame(0).rgba) << "the first cell is the first frame that shows something";
    EXPECT_EQ(cellOf(sheet, 1), whiteFrame(5).rgba);
    EXPECT_EQ(cellOf(sheet, 2), whiteFrame().rgba) << "two frames kept at most: the rest of the sheet stays white";
}
