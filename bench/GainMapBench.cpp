// Times readPicture of a 24-megapixel JPEG with a gain map (its HDR rendition) against the
// same file read with gain maps off (the base alone), interleaved in one run; prints the
// medians and their ratio for each kind of map.
//
//   gainmap-bench [RUNS] [FOLDER]

#include "Diagnostics.h"
#include "GainMapJpegWriter.h"
#include "GainMapSetting.h"
#include "PictureReader.h"
#include "Stopwatch.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int width = 6000;
constexpr int height = 4000;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Light from 1/8 to 16 with texture and grain, so that the base is as large as a camera's
// (some 8 MB at quality 95).
std::vector<float> scene() {
    std::vector<float> rgb(static_cast<std::size_t>(width) * height * 3);
    unsigned state = 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state = state * 1103515245u + 12345u;
            const double grain = 0.8 * ((state >> 8 & 0xffff) / 65535.0 - 0.5);
            const double stops =
                -3.0 + 7.0 * x / width + 0.5 * std::sin(x * 0.05) * std::cos(y * 0.03) + grain;
            const float light = static_cast<float>(std::exp2(stops));
            float* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = light;
            p[1] = light * (0.8f + 0.2f * static_cast<float>(y) / height);
            p[2] = light * 0.6f;
        }
    }
    return rgb;
}

// Seconds of the process's threads on the processors so far.
double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Timing {
    double wall;
    double processor;
};

Timing timedRead(const std::string& file) {
    const double start = monotonicSeconds();
    const double startProcessor = processorSeconds();
    const Picture picture = readPicture(file, SizeLimit{16384, 2, 1});
    const Timing seconds{monotonicSeconds() - start, processorSeconds() - startProcessor};
    if (picture.width != width) {
        std::fprintf(stderr, "unexpected picture %dx%d\n", picture.width, picture.height);
        std::exit(1);
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const DiagnosticsSilenced quiet(true);
    struct Kind {
        const char* name;
        bool threeChannels;
        int mapScale;
    };
    const Kind kinds[] = {{"grey map 1/4", false, 4}, {"RGB map 1/2", true, 2}, {"RGB map 1/1", true, 1}};
    std::vector<std::string> files;
    std::vector<double> sizes;
    {
        const std::vector<float> hdr = scene();
        for (const Kind& kind : kinds) {
            GainMapJpegOptions options;
            options.threeChannels = kind.threeChannels;
            options.mapScale = kind.mapScale;
            options.quality = 95;
            files.push_back(folder + "/gainmap-bench-" + std::to_string(getpid()) + "-" +
                            std::to_string(files.size()) + ".jpg");
            const GainMapJpegParts parts = writeGainMapJpeg(files.back(), hdr, width, height, options);
            sizes.push_back(static_cast<double>(parts.mapOffset + parts.mapLength));
        }
    }
    // Wall-clock medians and, as the machine's other load changes them less, the medians of
    // the processor time all threads took.
    std::printf("%-14s %8s %10s %9s %7s %9s %11s %7s\n", "24 MP", "file MB", "HDR ms",
                "base ms", "ratio", "HDR cpu", "base cpu", "ratio");
    for (std::size_t k = 0; k < files.size(); ++k) {
        std::vector<double> applied, base, appliedCpu, baseCpu;
        for (int run = 0; run < runs; ++run) {
            setGainMapsApplied(true);
            const Timing a = timedRead(files[k]);
            setGainMapsApplied(false);
            const Timing b = timedRead(files[k]);
            applied.push_back(a.wall);
            appliedCpu.push_back(a.processor);
            base.push_back(b.wall);
            baseCpu.push_back(b.processor);
        }
        const double a = median(applied) * 1e3;
        const double b = median(base) * 1e3;
        const double ac = median(appliedCpu) * 1e3;
        const double bc = median(baseCpu) * 1e3;
        std::printf("%-14s %8.1f %10.1f %9.1f %7.2f %9.1f %11.1f %7.2f\n", kinds[k].name,
                    sizes[k] / 1e6, a, b, a / b, ac, bc, ac / bc);
        std::remove(files[k].c_str());
    }
    return 0;
}
