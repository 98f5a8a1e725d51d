#include "PixelReadout.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double degreesPerRadian = 57.29577951308232;

} // namespace

std::optional<PixelPlace> pixelPlaceAt(const ViewState& view, int pictureWidth, int pictureHeight,
                                       const glm::dvec2& screen) {
    if (pictureWidth <= 0 || pictureHeight <= 0) {
        return std::nullopt;
    }
    const ViewMapping mapping(view, pictureWidth, pictureHeight);
    const ViewMapping::Spot spot = mapping.pictureAt(screen);
    if (!spot.inside) {
        return std::nullopt;
    }
    PixelPlace place;
    const double x = std::floor(spot.position.x);
    const double y = std::floor(spot.position.y);
    if (view.projection == Projection::Flat) {
        place.column = static_cast<int>(x);
        place.row = static_cast<int>(y);
    } else {
        // The seam's last rounding may give the width itself, and a pole the height: the
        // program wraps columns and clamps rows the same way.
        place.column = static_cast<int>(x - pictureWidth * std::floor(x / pictureWidth));
        place.row = static_cast<int>(std::clamp(y, 0.0, pictureHeight - 1.0));
        place.angles = longitudeLatitude(*mapping.directionAt(screen));
    }
    return place;
}

double PixelReadout::candela() const {
    return candelaPerUnit * luminanceOf(radiance()) / exposure;
}

std::string readoutLine(const PixelReadout& readout) {
    std::string line = fmt::format("x {}  y {}", readout.place.column, readout.place.row);
    if (readout.place.angles) {
        line += fmt::format("  lon {:.2f}\u00b0  lat {:.2f}\u00b0",
                            readout.place.angles->longitude * degreesPerRadian,
                            readout.place.angles->latitude * degreesPerRadian);
    }
    if (!readout.bytes) {
        return line;
    }
    const Radiance c = readout.radiance();
    line += fmt::format("  RGB {:.4g} {:.4g} {:.4g}", c.r, c.g, c.b);
    if (readout.encoding == PixelEncoding::Rgb8) {
        const std::array<unsigned char, 4>& v = *readout.bytes;
        line += fmt::format(" ({} {} {})", v[0], v[1], v[2]);
    }
    const double candela = readout.candela();
    line += fmt::format("  L {:.4g} cd/m\u00b2  EV {:.2f}", candela, exposureValue(candela));
    return line;
}
