#pragma once

#include "ToneOperator.h"

#include <glm/vec3.hpp>

// The viewer's luminance of linear RGB, and the factor that makes it cd/m² for RADIANCE
// pictures (divided further by the file's EXPOSURE where it has one).
constexpr double luminanceRed = 0.265;
constexpr double luminanceGreen = 0.670;
constexpr double luminanceBlue = 0.065;
constexpr double luminousEfficacy = 179.0;
double luminance(const glm::dvec3& rgb);

// The false-colour scale spans this many f-stops either side of the exposure's middle grey.
constexpr double falseColourStops = 8.0;
constexpr double middleGrey = 0.18;

// Where on the false-colour scale (0 bottom, 1 top) an exposed luminance lies.
double falseColourPosition(double exposedLuminance);
// The scale's display colour at a position in [0, 1]: the Turbo colour map (a polynomial fit),
// dark blue through green and yellow to dark red.
glm::dvec3 falseColourScale(double position);

// The clipping flags drawn over pixels that show as full white or full black in some channel.
const glm::dvec3 clippedOverColour(1.0, 0.0, 0.0);
const glm::dvec3 clippedUnderColour(0.0, 0.0, 1.0);

// The CPU twin of the viewer program's colour stage for one pixel of decoded radiance (for
// 8-bit pictures, the square of the stored value): display values in [0, 1].
struct DisplaySettings {
    // exposureOffset of DrawView.h; ignored for 8-bit pictures.
    double exposureOffset = 0.0;
    bool hdr = true;
    bool tonemap = false;
    ToneOperator toneOperator = ToneOperator::Reinhard;
    bool falseColour = false;
    bool showClipping = false;
};
glm::dvec3 displayColour(const glm::dvec3& radiance, const DisplaySettings& settings);

// The sRGB transfer curve of linear light in [0, 1].
double encodeSrgb(double linear);
