#include "tools/demo/sync_plot.hpp"

#include <algorithm>
#include <array>
#include <cmath>

using namespace MivoKit;

namespace demo {
namespace {

struct Canvas {
    RGBAImage& image;
    void set(int x, int y, std::array<std::uint8_t, 3> rgb) {
        if (x < 0 || y < 0 || x >= int(image.width) || y >= int(image.height)) return;
        auto* p = &image.rgba[(std::size_t(y) * image.width + std::size_t(x)) * 4];
        p[0] = rgb[0], p[1] = rgb[1], p[2] = rgb[2], p[3] = 255;
    }
    void fill(int x0, int y0, int x1, int y1, std::array<std::uint8_t, 3> rgb) {
        for (int y = std::min(y0, y1); y <= std::max(y0, y1); ++y)
            for (int x = std::min(x0, x1); x <= std::max(x0, x1); ++x) set(x, y, rgb);
    }
    // A line two pixels thick.
    void line(int x0, int y0, int x1, int y1, std::array<std::uint8_t, 3> rgb) {
        const int steps = std::max({std::abs(x1 - x0), std::abs(y1 - y0), 1});
        for (int i = 0; i <= steps; ++i) {
            const int x = x0 + (x1 - x0) * i / steps, y = y0 + (y1 - y0) * i / steps;
            fill(x, y, x + 1, y + 1, rgb);
        }
    }
};

} // namespace

RGBAImage plotEnvelopeAndJaw(const std::vector<std::int16_t>& samples, int sampleRate,
                             const std::vector<std::pair<double, float>>& jaw, std::uint32_t width, std::uint32_t height) {
    RGBAImage image{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 4, 255)};
    Canvas canvas{image};
    const int margin = 10;
    const int plotW = int(width) - 2 * margin, plotH = int(height) - 2 * margin;
    const std::size_t window = std::size_t(std::max(1, sampleRate / 25));
    const std::size_t windows = (samples.size() + window - 1) / window;
    double seconds = double(samples.size()) / std::max(1, sampleRate);
    for (const auto& [t, j] : jaw) seconds = std::max(seconds, t);
    if (seconds <= 0 || plotW <= 0 || plotH <= 0) return image;
    auto xOf = [&](double t) { return margin + int(t / seconds * plotW); };
    auto yOf = [&](double v) { return margin + plotH - int(std::clamp(v, 0.0, 1.0) * plotH); };

    for (int s = 0; s <= int(seconds); ++s) canvas.fill(xOf(s), margin, xOf(s), margin + plotH, {220, 220, 220});
    canvas.fill(margin, margin + plotH, margin + plotW, margin + plotH, {120, 120, 120});

    std::vector<double> rms(windows, 0);
    for (std::size_t w = 0; w < windows; ++w) {
        double sum = 0;
        const std::size_t end = std::min(samples.size(), (w + 1) * window);
        for (std::size_t i = w * window; i < end; ++i) sum += double(samples[i]) * samples[i];
        rms[w] = std::sqrt(sum / double(std::max<std::size_t>(1, end - w * window)));
    }
    const double loudest = std::max(1.0, *std::max_element(rms.begin(), rms.end()));
    for (std::size_t w = 0; w < windows; ++w)
        canvas.fill(xOf(double(w) / 25.0), yOf(rms[w] / loudest), xOf(double(w + 1) / 25.0) - 1, yOf(0), {170, 170, 170});

    float widest = 0;
    for (const auto& [t, j] : jaw) widest = std::max(widest, j);
    for (std::size_t i = 1; i < jaw.size() && widest > 0; ++i)
        canvas.line(xOf(jaw[i - 1].first), yOf(jaw[i - 1].second / widest), xOf(jaw[i].first), yOf(jaw[i].second / widest),
                    {210, 30, 30});
    return image;
}

} // namespace demo
