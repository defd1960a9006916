#include "platform/gpu/footprint.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace MivoKit {

namespace platform::gpu {

EllipseRows::EllipseRows(const WindowBounds& b) {
    // Doubles: a needle-thin ellipse has a nearly singular form.
    const double qxx = b.qxx, qxy = b.qxy, qyy = b.qyy;
    const double det = qxx * qyy - qxy * qxy;
    if (!b.hasEllipse() || !(det > 0.0) || !std::isfinite(det) || !std::isfinite(b.centreX) ||
        !std::isfinite(b.centreY))
        return;
    // Along a row dy the ellipse spans dx = (-qxy dy +- sqrt(qxx - det dy^2)) / qxx. The right end
    // is concave in dy with its peak at dy = -qxy / sqrt(qyy det); the left end mirrors it.
    bounded_ = true;
    centreX_ = b.centreX;
    centreY_ = b.centreY;
    peak_ = float(-qxy / std::sqrt(qyy * det));
    qxx_ = float(qxx);
    det_ = float(det);
    slope_ = float(-qxy / qxx);
    inverseQxx_ = float(1.0 / qxx);
    bounded_ = std::isfinite(peak_) && std::isfinite(det_) && std::isfinite(slope_) && std::isfinite(inverseQxx_) &&
               det_ > 0.0f;
}

bool EllipseRows::columns(float yLo, float yHi, float& xLo, float& xHi) const {
    constexpr float kSlack = 1.0f / 16.0f;
    if (!bounded_) {
        xLo = -std::numeric_limits<float>::infinity();
        xHi = std::numeric_limits<float>::infinity();
        return true;
    }
    // Over a band of rows each end reaches furthest at the peak's dy clamped into the band.
    const float lo = yLo - centreY_ - kSlack, hi = yHi - centreY_ + kSlack;
    const float dyRight = std::clamp(peak_, lo, hi), dyLeft = std::clamp(-peak_, lo, hi);
    const float discRight = qxx_ - det_ * dyRight * dyRight, discLeft = qxx_ - det_ * dyLeft * dyLeft;
    if (discRight < 0.0f && discLeft < 0.0f) return false;
    xHi = centreX_ + slope_ * dyRight + std::sqrt(std::max(0.0f, discRight)) * inverseQxx_ + kSlack;
    xLo = centreX_ + slope_ * dyLeft - std::sqrt(std::max(0.0f, discLeft)) * inverseQxx_ - kSlack;
    return true;
}

} // namespace platform::gpu

} // namespace MivoKit
