#include "PictureReader.h"
#include "Readers.h"

#include "Stopwatch.h"
#include "rgbe.h"

Picture readRadiance(const std::string& path, const SizeLimit& limit) {
    return readRadiance(path, limit, nullptr);
}

Picture readRadiance(const std::string& path, const SizeLimit& limit,
                     const std::function<void(int row)>* rows,
                     const std::function<void(const unsigned char*, int, int)>* bands,
                     int bandRows) {
    Stopwatch stopwatch;
    // The exponents are counted while the rows are decoded: no second pass over the pixels.
    rgbe::ExponentCounts counts{};
    rgbe::ReadOptions options;
    options.limit = &limit;
    options.callback = rows;
    options.counts = &counts;
    options.statsStride = 1;
    options.bands = bands;
    options.bandRows = bandRows;
    Picture picture = rgbe::readPicture(path, options);
    stopwatch.lap("read");

    picture.scale = rgbe::exposureScale(rgbe::stats(counts));
    stopwatch.lap("stats");
    picture.fileName = path;
    return picture;
}
