#include "PictureReader.h"
#include "Readers.h"

#include "Stopwatch.h"
#include "rgbe.h"

#include <sys/stat.h>

namespace {

// Ends a read once the header has told the size; never leaves this file.
struct HeaderRead {
    int width;
    int height;
};

} // namespace

Picture readRadiance(const std::string& path, const SizeLimit& limit) {
    return readRadiance(path, limit, nullptr);
}

Picture readRadiance(const std::string& path, const SizeLimit& limit,
                     const std::function<void(int row)>* rows,
                     const std::function<void(const unsigned char*, int, int)>* bands,
                     int bandRows, const std::function<void(int width, int height)>* size) {
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
    options.size = size;
    Picture picture = rgbe::readPicture(path, options);
    stopwatch.lap("read");

    picture.scale = rgbe::exposureScale(rgbe::stats(counts));
    stopwatch.lap("stats");
    picture.fileName = path;
    return picture;
}

// The reader itself, stopped where it would allocate: the same header code and errors.
PictureInfo probeRadiance(const std::string& path, const SizeLimit& limit) {
    PictureInfo info;
    info.encoding = PixelEncoding::Rgbe;
    // A FIFO or device gives its header once: it is left for the read.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return info;
    }
    const rgbe::SizeCallback stop = [](int width, int height) { throw HeaderRead{width, height}; };
    rgbe::ReadOptions options;
    options.limit = &limit;
    options.size = &stop;
    try {
        rgbe::readPicture(path, options);
    } catch (const HeaderRead& header) {
        info.width = header.width;
        info.height = header.height;
    }
    return info;
}
