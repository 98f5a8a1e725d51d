#pragma once

#include "LuminanceStatistics.h"

#include <string>
#include <vector>

// What maps to display black and white at one f-stop, as radiance of a pixel's brightest
// channel: white where the program's output reaches 1, black where it stays below half a step
// of 8-bit output. 8-bit pictures are shown as they are, whatever the f-stop.
struct ExposureWindow {
    double black = 0.0;
    double white = 1.0;
};

ExposureWindow exposureWindow(bool hdr, float fstop, double scaleMean);

// The lines under the histogram: the weighting, the least, largest, mean and median luminance,
// the dynamic range, and the shares clipped at white and at black through `window`.
std::vector<std::string> statisticsLines(const LuminanceStatistics& statistics,
                                         const ExposureWindow& window);

// A share as a per cent, to a tenth, or to two digits below a tenth ("0.0042%").
std::string shareText(double share);

// A luminance in cd/m2 in four digits, "0" for none.
std::string candelaText(double candela);
