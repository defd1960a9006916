#include "tools/demo/sync_plot.hpp"

#include "tools/demo/bitmap_font.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

using namespace MivoKit;

namespace demo {
namespace {

constexpr Rgb kInk{60, 60, 60}, kGrid{228, 228, 228}, kBars{175, 175, 175}, kJaw{210, 30, 30};
constexpr int kTextScale = 2;                       // image pixels per font pixel
constexpr int kTextHeight = 7 * kTextScale;         // digits and capitals, without descenders
constexpr int kLeft = 72, kRight = 72, kTop = 70, kBottom = 64; // room for labels around the plot

struct Canvas {
    RGBAImage& image;
    void fill(int x0, int y0, int x1, int y1, Rgb rgb) {
        for (int y = std::max(0, std::min(y0, y1)); y <= std::min(int(image.height) - 1, std::max(y0, y1)); ++y)
            for (int x = std::max(0, std::min(x0, x1)); x <= std::min(int(image.width) - 1, std::max(x0, x1)); ++x) {
                auto* p = &image.rgba[(std::size_t(y) * image.width + std::size_t(x)) * 4];
                p[0] = rgb[0], p[1] = rgb[1], p[2] = rgb[2], p[3] = 255;
            }
    }
    // A line two pixels thick.
    void line(int x0, int y0, int x1, int y1, Rgb rgb) {
        const int steps = std::max({std::abs(x1 - x0), std::abs(y1 - y0), 1});
        for (int i = 0; i <= steps; ++i) {
            const int x = x0 + (x1 - x0) * i / steps, y = y0 + (y1 - y0) * i / steps;
            fill(x, y, x + 1, y + 1, rgb);
        }
    }
    void text(int x, int y, const std::string& s, Rgb rgb) { drawText(image, x, y, s, kTextScale, rgb); }
};

// An axis from 0 in `divisions` round steps.
struct Scale {
    double step = 1;
    int divisions = 1;
    double top() const { return step * divisions; }
};

// The smallest of 1, 2, 2.5 and 5 times a power of ten that is at least `rough`.
double roundStep(double rough) {
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double m : {1.0, 2.0, 2.5, 5.0})
        if (m * power >= rough * (1 - 1e-9)) return m * power;
    return 10 * power;
}

// `divisions` round steps covering `largest` (steps of one for nothing to show).
Scale scaleOver(double largest, int divisions) {
    return {largest > 0 ? roundStep(largest / divisions) : 1.0, divisions};
}

// At most `most` round steps covering `largest`.
Scale scaleCovering(double largest, int most) {
    if (!(largest > 0)) return {};
    const double step = roundStep(largest / most);
    return {step, std::max(1, int(std::ceil(largest / step - 1e-9)))};
}

// Two scales with as many divisions each, so that their ticks share the grid lines: the number of
// divisions that leaves the least room above the data on the worse of the two.
std::pair<Scale, Scale> alignedScales(double largestA, double largestB) {
    std::pair<Scale, Scale> best;
    double bestRoom = INFINITY;
    for (int divisions = 3; divisions <= 6; ++divisions) {
        const Scale a = scaleOver(largestA, divisions), b = scaleOver(largestB, divisions);
        const double room = std::max(largestA > 0 ? a.top() / largestA : 1, largestB > 0 ? b.top() / largestB : 1);
        if (room <= bestRoom * (1 + 1e-9)) bestRoom = room, best = {a, b}; // a tie goes to the finer grid
    }
    return best;
}

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

} // namespace

RGBAImage plotEnvelopeAndJaw(const std::vector<std::int16_t>& samples, int sampleRate,
                             const std::vector<std::pair<double, float>>& jaw, std::uint32_t width, std::uint32_t height) {
    RGBAImage image{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 4, 255)};
    Canvas canvas{image};
    const int x0 = kLeft, x1 = int(width) - kRight, y0 = kTop, y1 = int(height) - kBottom;
    if (x1 <= x0 || y1 <= y0) return image;

    // The data: loudness per 40 ms in per cent of full scale, jaw openings in degrees.
    const std::size_t window = std::size_t(std::max(1, sampleRate / 25));
    std::vector<double> loudness((samples.size() + window - 1) / window, 0);
    for (std::size_t w = 0; w < loudness.size(); ++w) {
        double sum = 0;
        const std::size_t end = std::min(samples.size(), (w + 1) * window);
        for (std::size_t i = w * window; i < end; ++i) sum += double(samples[i]) * samples[i];
        loudness[w] = 100.0 * std::sqrt(sum / double(end - w * window)) / 32767.0;
    }
    double seconds = double(samples.size()) / std::max(1, sampleRate), widestJaw = 0;
    for (const auto& [t, j] : jaw) {
        seconds = std::max(seconds, t);
        widestJaw = std::max(widestJaw, double(j) * 180 / std::numbers::pi);
    }
    const double loudest = loudness.empty() ? 0 : *std::max_element(loudness.begin(), loudness.end());

    const Scale time = scaleCovering(seconds, 8);
    const auto scales = alignedScales(loudest, widestJaw);
    const Scale level = scales.first, opening = scales.second;
    auto xOf = [&](double t) { return x0 + int(std::lround(t / time.top() * (x1 - x0))); };
    auto yOf = [&](double fraction) { return y1 - int(std::lround(std::clamp(fraction, 0.0, 1.0) * (y1 - y0))); };

    // Grid, ticks and their labels.
    for (int d = 0; d <= level.divisions; ++d) {
        const int y = yOf(double(d) / level.divisions);
        canvas.fill(x0, y, x1, y, kGrid);
        const std::string left = numberText(d * level.step), right = numberText(d * opening.step);
        canvas.fill(x0 - 5, y, x0 - 1, y, kInk);
        canvas.text(x0 - 9 - textWidth(left, kTextScale), y - kTextHeight / 2, left, kInk);
        canvas.fill(x1 + 1, y, x1 + 5, y, kJaw);
        canvas.text(x1 + 10, y - kTextHeight / 2, right, kJaw);
    }
    for (int d = 0; d <= time.divisions; ++d) {
        const int x = xOf(d * time.step);
        const std::string label = numberText(d * time.step);
        canvas.fill(x, y0, x, y1, kGrid);
        canvas.fill(x, y1 + 1, x, y1 + 5, kInk);
        canvas.text(x - textWidth(label, kTextScale) / 2, y1 + 10, label, kInk);
    }

    // The data over the grid.
    for (std::size_t w = 0; w < loudness.size(); ++w) {
        const int left = xOf(double(w) / 25.0), right = std::max(left, xOf(double(w + 1) / 25.0) - 1);
        if (loudness[w] > 0) canvas.fill(left, yOf(loudness[w] / level.top()), right, y1, kBars);
    }
    auto jawAt = [&](std::size_t i) {
        return std::pair{xOf(jaw[i].first), yOf(double(jaw[i].second) * 180 / std::numbers::pi / opening.top())};
    };
    if (jaw.empty()) canvas.text(x0 + 12, y0 + 10, "no frame of the reply was drawn while it played", kJaw);
    for (std::size_t i = 0; i < jaw.size(); ++i) {
        const auto [x, y] = jawAt(i);
        if (i > 0) canvas.line(jawAt(i - 1).first, jawAt(i - 1).second, x, y, kJaw);
        canvas.fill(x - 2, y - 2, x + 2, y + 2, kJaw);
    }

    // Axes, their titles and the legend.
    canvas.fill(x0, y0, x0, y1, kInk);
    canvas.fill(x1, y0, x1, y1, kJaw);
    canvas.fill(x0, y1, x1, y1, kInk);
    const std::string timeTitle = "time in the reply (s)", levelTitle = "loudness (% of full scale)",
                      jawTitle = "jaw opening (degrees)";
    canvas.text((x0 + x1 - textWidth(timeTitle, kTextScale)) / 2, y1 + 36, timeTitle, kInk);
    canvas.text(8, y0 - 28, levelTitle, kInk);
    canvas.text(int(width) - 8 - textWidth(jawTitle, kTextScale), y0 - 28, jawTitle, kJaw);

    const std::string barsText = "speech loudness, rms per 40 ms", jawText = "jaw opening of each frame shown";
    int x = x0;
    const int legendY = 12;
    canvas.fill(x, legendY, x + 23, legendY + kTextHeight - 1, kBars);
    canvas.text(x + 32, legendY, barsText, kInk);
    x += 32 + textWidth(barsText, kTextScale) + 48;
    canvas.line(x, legendY + kTextHeight / 2 - 1, x + 23, legendY + kTextHeight / 2 - 1, kJaw);
    canvas.fill(x + 10, legendY + kTextHeight / 2 - 3, x + 14, legendY + kTextHeight / 2 + 1, kJaw);
    canvas.text(x + 32, legendY, jawText, kInk);
    return image;
}

} // namespace demo
