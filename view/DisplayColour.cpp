#include "DisplayColour.h"

#include <glm/common.hpp>
#include <glm/exponential.hpp>

#include <algorithm>
#include <cmath>

namespace {

glm::dvec3 encode(const glm::dvec3& c) {
    return {encodeSrgb(c.r), encodeSrgb(c.g), encodeSrgb(c.b)};
}

// Below half a step of an 8-bit channel, or above 254.5: what shows as 0 or 255.
glm::dvec3 flagClipping(const glm::dvec3& shown) {
    const double m = std::max(shown.r, std::max(shown.g, shown.b));
    if (m > 254.5 / 255.0) {
        return clippedOverColour;
    }
    return m < 0.5 / 255.0 ? clippedUnderColour : shown;
}

} // namespace

double luminance(const glm::dvec3& rgb) {
    return luminanceRed * rgb.r + luminanceGreen * rgb.g + luminanceBlue * rgb.b;
}

double encodeSrgb(double linear) {
    linear = std::clamp(linear, 0.0, 1.0);
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
}

double falseColourPosition(double exposedLuminance) {
    const double stops = std::log2(std::max(exposedLuminance, 1.0e-30) / middleGrey);
    return std::clamp((stops + falseColourStops) / (2.0 * falseColourStops), 0.0, 1.0);
}

glm::dvec3 falseColourScale(double x) {
    x = std::clamp(x, 0.0, 1.0);
    const double x2 = x * x;
    const double x3 = x2 * x;
    const double x4 = x2 * x2;
    const double x5 = x4 * x;
    const glm::dvec3 c(0.13572138 + 4.61539260 * x - 42.66032258 * x2 + 132.13108234 * x3 -
                           152.94239396 * x4 + 59.28637943 * x5,
                       0.09140261 + 2.19418839 * x + 4.84296658 * x2 - 14.18503333 * x3 +
                           4.27729857 * x4 + 2.82956604 * x5,
                       0.10667330 + 12.64194608 * x - 60.58204836 * x2 + 110.36276771 * x3 -
                           89.90310912 * x4 + 27.34824973 * x5);
    return glm::clamp(c, glm::dvec3(0.0), glm::dvec3(1.0));
}

glm::dvec3 displayColour(const glm::dvec3& radiance, const DisplaySettings& settings) {
    if (settings.falseColour) {
        const double y = luminance(radiance);
        return falseColourScale(
            falseColourPosition(settings.hdr ? y * std::exp2(settings.exposureOffset) : y));
    }
    glm::dvec3 shown;
    if (!settings.hdr) {
        shown = glm::sqrt(glm::max(radiance, glm::dvec3(0.0)));
    } else {
        glm::dvec3 c = radiance * std::exp2(settings.exposureOffset);
        if (settings.tonemap) {
            c = toneMap(settings.toneOperator, c);
        }
        shown = encode(c);
    }
    return settings.showClipping ? flagClipping(shown) : shown;
}
