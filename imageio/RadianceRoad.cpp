#include "Roads.h"

#include "Stopwatch.h"
#include "rgbe.h"

#include <cmath>

Picture readRadiance(const std::string& path, const SizeLimit& limit) {
    Stopwatch stopwatch;
    Picture picture;
    picture.encoding = PixelEncoding::Rgbe;
    picture.pixels.reset(rgbe::read(path, picture.width, picture.height, nullptr, &limit));
    stopwatch.lap("read");

    const unsigned long count = static_cast<unsigned long>(picture.width) *
                                static_cast<unsigned long>(picture.height);
    const rgbe::Stats stats = rgbe::stats(picture.pixels.get(), count, 1);
    // A picture without a lit pixel has no mean; exponent 0 keeps the exposure finite.
    const bool lit = !std::isnan(stats.mean);
    picture.scale.mean = std::pow(2.0, lit ? stats.mean : 0.0);
    picture.scale.min = std::pow(2.0, lit ? static_cast<double>(stats.min) : 0.0);
    picture.scale.max = std::pow(2.0, lit ? static_cast<double>(stats.max) : 0.0);
    stopwatch.lap("stats");
    return picture;
}
