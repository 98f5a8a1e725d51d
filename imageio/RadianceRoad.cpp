#include "Roads.h"

#include "Stopwatch.h"
#include "rgbe.h"

#include <cmath>

Picture readRadiance(const std::string& path, const SizeLimit& limit) {
    Stopwatch stopwatch;
    // The exponents are counted while the rows are decoded: no second pass over the pixels.
    rgbe::ExponentCounts counts{};
    rgbe::ReadOptions options;
    options.limit = &limit;
    options.counts = &counts;
    options.statsStride = 1;
    Picture picture = rgbe::readPicture(path, options);
    stopwatch.lap("read");

    const rgbe::Stats stats = rgbe::stats(counts);
    // A picture without a lit pixel has no mean; exponent 0 keeps the exposure finite.
    const bool lit = !std::isnan(stats.mean);
    picture.scale.mean = std::pow(2.0, lit ? stats.mean : 0.0);
    picture.scale.min = std::pow(2.0, lit ? static_cast<double>(stats.min) : 0.0);
    picture.scale.max = std::pow(2.0, lit ? static_cast<double>(stats.max) : 0.0);
    stopwatch.lap("stats");
    return picture;
}
