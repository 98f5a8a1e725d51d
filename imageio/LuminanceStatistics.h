#pragma once

#include "Picture.h"

#include <functional>
#include <memory>
#include <vector>

// Radiance as the viewer program decodes a pixel's bytes: RGBE as mantissa times
// 2^(E - 136), 8-bit values as (v / 255)^2, the program's stand-in for linear light.
struct Radiance {
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
};

// Throws std::runtime_error for the floating-point encodings, which the viewer does not show.
Radiance decodePixel(PixelEncoding encoding, const unsigned char* bytes);

// The RADIANCE luminance of radiance, 0.265 R + 0.670 G + 0.065 B; times luminousEfficacy and
// divided by the file's EXPOSURE= it is in cd/m2.
double luminanceOf(const Radiance& radiance);
constexpr double luminousEfficacy = 179.0;

// The photographic exposure value (ISO 100, K = 12.5) of a luminance in cd/m2.
double exposureValue(double candela);

// The luminance of a whole picture, level 0 as the loader read it: a fine histogram of log2
// luminance and of log2 of the brightest channel, with its least, largest, mean and median.
// Panoramas are weighted by solid angle (each row by the cosine of its latitude), so that the
// poles' stretched rows count for the little of the sphere they cover. Luminance here is
// relative, the picture's own radiance units; cd/m2 is candela() of it.
class LuminanceStatistics {
public:
    // Runs on every core. `stop`, when given, is asked between blocks of rows (from several
    // threads at once) and ends the work: then the result is null. Null too for the
    // floating-point encodings.
    static std::shared_ptr<const LuminanceStatistics> of(const Picture& picture, bool solidAngle,
                                                         const std::function<bool()>& stop = {});

    // Fine bins: binsPerStop to a stop of log2 luminance from lowestStop to highestStop; values
    // outside go to the first or last bin.
    static constexpr int binsPerStop = 64;
    static constexpr int lowestStop = -144;
    static constexpr int highestStop = 128;
    static constexpr int binCount = (highestStop - lowestStop) * binsPerStop;

    bool hdr = true;
    bool solidAngle = false;
    double exposure = 1.0;
    // cd/m2 of the luminance 1.0: the picture's own absolute scale where it has one.
    double candelaPerUnit = luminousEfficacy;
    // Over the pixels with light (luminance above 0); 0 when there is none.
    double min = 0.0;
    double max = 0.0;
    // Over every pixel, black ones included, weighted.
    double mean = 0.0;
    double median = 0.0;
    // The weighted share of pixels whose every channel is 0.
    double blackShare = 0.0;

    // Relative luminance in cd/m2: times candelaPerUnit, over the file's EXPOSURE=.
    double candela(double luminance) const;
    // log2(max / min) over the lit pixels; 0 without any.
    double dynamicRange() const;
    // The weighted share of pixels whose brightest channel is at least `level`, and below it;
    // to the resolution of the fine bins (1/64 stop).
    double shareAtLeast(double level) const;
    double shareBelow(double level) const;
    // The weighted shares of log2 luminance in `count` equal bins from `fromStop` to `toStop`;
    // what lies outside falls into the end bins. Black pixels are left out.
    std::vector<double> histogram(double fromStop, double toStop, int count) const;

private:
    friend struct StatisticsBuilder;
    // Weights, normalised to a sum of 1 over all pixels, of the bins from firstBin on up to
    // the last that holds any; the rest hold none.
    std::size_t firstBin = 0;
    std::vector<double> luminanceBins;
    std::vector<double> channelBins;
};
