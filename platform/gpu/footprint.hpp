#pragma once
// Which pixels a primitive's ellipse (WindowBounds::qxx ...) may reach, so that binning gives a
// thin, slanted splat only the tiles along it rather than every tile of its bounding box.

#include "platform/gpu/shader.hpp"

namespace MivoKit {

namespace platform::gpu {

// The ellipse of a WindowBounds, set up once to be cut into bands of rows.
class EllipseRows {
public:
    EllipseRows() = default;
    // Without an ellipse in `bounds` (or with one that is not finite) every band is unbounded.
    explicit EllipseRows(const WindowBounds& bounds);

    // The window x range [xLo, xHi] that holds every point of the ellipse with yLo <= y <= yHi,
    // widened by 1/16 pixel against rounding; false when no point of the ellipse has such a y.
    bool columns(float yLo, float yHi, float& xLo, float& xHi) const;

private:
    bool bounded_ = false;
    float centreX_ = 0, centreY_ = 0;
    float peak_ = 0;    // dy of the ellipse's rightmost point
    float qxx_ = 0, det_ = 0, slope_ = 0, inverseQxx_ = 0;
};

} // namespace platform::gpu

} // namespace MivoKit
