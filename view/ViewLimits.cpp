#include "ViewLimits.h"

#include <fmt/printf.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr double pi = 3.14159265358979323846;

} // namespace

Projection defaultProjection(int width, int height, ProjectionHint hint) {
    return width == 2 * height || hint == ProjectionHint::Equirectangular ? Projection::Sphere
                                                                          : Projection::Flat;
}

float lowestZoom(Projection projection, int width, int height, int viewportWidth,
                 int viewportHeight) {
    const auto w = static_cast<float>(width);
    const auto h = static_cast<float>(height);
    if (projection == Projection::Sphere) {
        return static_cast<float>(viewportWidth) / (w / 3.0f);
    }
    return std::min(static_cast<float>(viewportWidth) / w, static_cast<float>(viewportHeight) / h);
}

float zoomForFov(float fov, Projection projection, int pictureWidth, int viewportWidth) {
    const double radians = fov * pi / 180.0;
    const double w = viewportWidth;
    const double in = pictureWidth;
    if (projection == Projection::Sphere) {
        if (!(fov < 180.0f)) {
            throw std::runtime_error(
                fmt::sprintf("--fov %g is too wide for the sphere projection (below 180)", fov));
        }
        // The viewer shows outSize.x / (zoom * inSize.x / 2 pi) radians across the width.
        return static_cast<float>(w / radians * 2.0 * pi / in);
    }
    if (projection == Projection::Planet) {
        // Stereographic: the edge lies 2 atan(w / 4P) from the centre, P pixels per radian.
        const double perRadian = w / (4.0 * std::tan(radians / 4.0));
        return static_cast<float>(perRadian * 2.0 * pi / in);
    }
    throw std::runtime_error("--fov needs the sphere or planet projection; use --zoom for flat "
                             "pictures");
}
