#include "tools/demo/sync_plot.hpp"

#include "tools/demo/bitmap_font.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace MivoKit;

namespace {

constexpr int kRate = 16000;
constexpr int kScale = 2, kMargin = 3; // the plot's text scale; blank pixels asked around a label

bool inked(const demo::RGBAImage& image, int x, int y) {
    const auto* p = &image.rgba[(std::size_t(y) * image.width + std::size_t(x)) * 4];
    return p[0] < 250 || p[1] < 250 || p[2] < 250;
}

// Where `text` is drawn in `image` between columns `from` and `to`, with nothing else within
// kMargin pixels: the top-left corner of its glyphs, as drawText was given it. None when it is not
// there, or there more than once.
std::optional<std::pair<int, int>> findLabel(const demo::RGBAImage& image, const std::string& text, int from = 0,
                                             int to = 1 << 20) {
    const int w = demo::textWidth(text, kScale) + 2 * kMargin, h = demo::kGlyphHeight * kScale + 2 * kMargin;
    demo::RGBAImage pattern{std::uint32_t(w), std::uint32_t(h), std::vector<std::uint8_t>(std::size_t(w) * h * 4, 255)};
    demo::drawText(pattern, kMargin, kMargin, text, kScale, {0, 0, 0});
    std::optional<std::pair<int, int>> found;
    for (int y = 0; y + h <= int(image.height); ++y)
        for (int x = std::max(0, from - kMargin); x + w <= std::min(int(image.width), to + kMargin); ++x) {
            bool same = true;
            for (int dy = 0; dy < h && same; ++dy)
                for (int dx = 0; dx < w && same; ++dx) same = inked(pattern, dx, dy) == inked(image, x + dx, y + dy);
            if (!same) continue;
            if (found) return std::nullopt;
            found = std::pair{x + kMargin, y + kMargin};
        }
    return found;
}

bool red(const demo::RGBAImage& image, int x, int y) {
    const auto* p = &image.rgba[(std::size_t(y) * image.width + std::size_t(x)) * 4];
    return p[0] > 150 && p[1] < 80 && p[2] < 80;
}
bool grey(const demo::RGBAImage& image, int x, int y) {
    const auto* p = &image.rgba[(std::size_t(y) * image.width + std::size_t(x)) * 4];
    return p[0] == p[1] && p[1] == p[2] && p[0] > 100 && p[0] < 220;
}

} // namespace

TEST(SyncPlot, TheAxesLabelsStandWhereTheDataTheyNameAreDrawn) {
    // Eight seconds of silence but for 40 ms at half of full scale from 1 s on (RMS 50 %), and
    // one frame shown at 3 s with the jaw open 20 degrees.
    std::vector<std::int16_t> samples(8 * kRate, 0);
    for (int i = kRate; i < kRate + kRate / 25; ++i) samples[std::size_t(i)] = i % 2 ? 16384 : -16384;
    const float twentyDegrees = float(20 * M_PI / 180);
    const auto plot = demo::plotEnvelopeAndJaw(samples, kRate, {{3.0, twentyDegrees}});
    const int textMiddle = 7 * kScale / 2; // half the height of a digit

    // The bar (grey in the lower half; the legend's grey is at the top): its left edge under the
    // time label "1", its top beside the loudness label "50".
    std::optional<int> barLeft, barTop;
    for (int x = 0; x < int(plot.width) && !barLeft; ++x)
        for (int y = int(plot.height) / 2; y < int(plot.height) && !barLeft; ++y)
            if (grey(plot, x, y)) barLeft = x, barTop = y;
    ASSERT_TRUE(barLeft);
    while (*barTop > 0 && grey(plot, *barLeft, *barTop - 1)) --*barTop;
    const auto one = findLabel(plot, "1"), fifty = findLabel(plot, "50", 0, *barLeft);
    ASSERT_TRUE(one && fifty) << "the time label 1 and the loudness label 50, each drawn once, clear of the rest";
    EXPECT_NEAR(one->first + demo::textWidth("1", kScale) / 2, *barLeft, 1);
    EXPECT_GT(one->second, *barTop) << "time labels are below the plot";
    EXPECT_NEAR(fifty->second + textMiddle, *barTop, 1);

    // The jaw's dot: in the column of the time label "3", level with the jaw label "20" on the right.
    const auto three = findLabel(plot, "3");
    ASSERT_TRUE(three);
    const int column = three->first + demo::textWidth("3", kScale) / 2;
    int top = -1, bottom = -1;
    for (int y = 0; y < three->second; ++y)
        if (red(plot, column, y)) top = top < 0 ? y : top, bottom = y;
    ASSERT_GE(top, 0) << "a red dot above the label 3";
    const auto twenty = findLabel(plot, "20", column + 1);
    ASSERT_TRUE(twenty);
    EXPECT_NEAR((top + bottom) / 2.0, twenty->second + textMiddle, 1);
}
