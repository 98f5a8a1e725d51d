#include "StatisticsText.h"

#include "DrawView.h"

#include <fmt/format.h>

#include <cmath>

namespace {

// Half an 8-bit step of sRGB output, as linear light: the first value not drawn black.
constexpr double halfStepLinear = 0.5 / 255.0 / 12.92;

} // namespace

ExposureWindow exposureWindow(bool hdr, float fstop, double scaleMean) {
    if (!hdr) {
        // The program shows the square root of the decoded value.
        return {(0.5 / 255.0) * (0.5 / 255.0), 1.0};
    }
    const double white = std::exp2(-static_cast<double>(exposureOffset(fstop, scaleMean)));
    return {white * halfStepLinear, white};
}

std::string shareText(double share) {
    const double percent = 100.0 * share;
    // A sun is a few thousandths of a per cent of the sky: it should not read 0.
    return percent > 0.0 && percent < 0.1 ? fmt::format("{:.2g}%", percent)
                                          : fmt::format("{:.1f}%", percent);
}

std::string candelaText(double candela) {
    return candela > 0.0 ? fmt::format("{:.4g}", candela) : std::string("0");
}

std::vector<std::string> statisticsLines(const LuminanceStatistics& s,
                                         const ExposureWindow& window) {
    std::vector<std::string> lines;
    lines.push_back(s.solidAngle ? "Luminance, weighted by solid angle" : "Luminance, per pixel");
    lines.push_back(fmt::format("min {}  max {}  mean {}  median {} cd/m\u00b2",
                                candelaText(s.candela(s.min)), candelaText(s.candela(s.max)),
                                candelaText(s.candela(s.mean)), candelaText(s.candela(s.median))));
    lines.push_back(fmt::format("dynamic range {:.1f} f-stops  clipped {} white, {} black",
                                s.dynamicRange(), shareText(s.shareAtLeast(window.white)),
                                shareText(s.shareBelow(window.black))));
    return lines;
}
