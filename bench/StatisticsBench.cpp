// Luminance statistics of large panoramas made in memory, as the loader's worker computes them
// once per picture: seconds and megapixels per second on every core.
#include "LuminanceStatistics.h"
#include "Stopwatch.h"
#include "rgbe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    // The default is 16384 x 8192 (512 MiB of RGBE); 32768 makes the 2 GiB panorama.
    const int width = argc > 1 ? std::atoi(argv[1]) : 16384;
    if (width < 2 || width > 65534) {
        std::fprintf(stderr, "usage: statistics-bench [width, 2..65534]\n");
        return 2;
    }
    const int height = width / 2;
    Picture picture;
    picture.allocate(width, height, PixelEncoding::Rgbe);
    // A sky row by row, a ground, and some noise in the mantissas.
    unsigned seed = 1;
    for (int y = 0; y < height; ++y) {
        unsigned char* row = picture.pixels.get() + static_cast<std::size_t>(y) * width * 4;
        const unsigned char exponent = static_cast<unsigned char>(y < height / 2 ? 130 : 126);
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            row[4 * x] = static_cast<unsigned char>(128 + (seed >> 25));
            row[4 * x + 1] = static_cast<unsigned char>(128 + (seed >> 26));
            row[4 * x + 2] = static_cast<unsigned char>(128 + (seed >> 27));
            row[4 * x + 3] = exponent;
        }
    }
    for (int run = 0; run < 3; ++run) {
        const double start = monotonicSeconds();
        const auto statistics = LuminanceStatistics::of(picture, true);
        const double seconds = monotonicSeconds() - start;
        std::printf("%dx%d: %.3f s, %.0f Mpixel/s, mean %.4g, median %.4g, range %.1f f-stops\n",
                    width, height, seconds, width * static_cast<double>(height) / seconds / 1e6,
                    statistics->mean, statistics->median, statistics->dynamicRange());
    }
    return 0;
}
