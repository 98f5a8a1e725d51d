// Times the viewer's loader without a window: from the start of a load to its reduced copy,
// to its levels and to its statistics, repetitions in one process (so memory freed by one load
// is at hand for the next, as when a viewer opens one picture after another), and prints
// each repetition and the medians.
//
//   loader-bench FILE [REPETITIONS]

#include "PictureLoader.h"
#include "Stopwatch.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <vector>

namespace {

struct Times {
    double preview = -1.0;
    double levels = -1.0;
    double statistics = -1.0;
};

Times loadOnce(const char* path) {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    Times times;
    const double start = monotonicSeconds();
    PreviewRequest request;
    request.side = 1024;
    request.ready = [&times, start] { times.preview = monotonicSeconds() - start; };
    SizeLimit limit;
    limit.pieceLimit = 16384;
    limit.maxPieces = 2;
    limit.maxRows = 2;
    PictureLoader loader(
        path, limit, true,
        [&] {
            times.statistics = monotonicSeconds() - start;
            const std::lock_guard<std::mutex> lock(mutex);
            finished = true;
            changed.notify_all();
        },
        {}, request, [&times, start] { times.levels = monotonicSeconds() - start; });
    // At once, as if the levels were uploaded in no time.
    loader.gatherStatistics();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&finished] { return finished; });
    lock.unlock();
    loader.wait();
    loader.take();
    return times;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: loader-bench FILE [REPETITIONS]\n");
        return 2;
    }
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    try {
        std::vector<double> preview;
        std::vector<double> levels;
        std::vector<double> statistics;
        std::printf("%-12s %12s %12s %12s\n", "run", "reduced copy", "levels", "statistics");
        for (int r = 1; r <= repetitions; ++r) {
            const Times times = loadOnce(argv[1]);
            std::printf("%-12d %11.3fs %11.3fs %11.3fs\n", r, times.preview, times.levels,
                        times.statistics);
            preview.push_back(times.preview);
            levels.push_back(times.levels);
            statistics.push_back(times.statistics);
        }
        std::printf("%-12s %11.3fs %11.3fs %11.3fs\n", "median", median(preview), median(levels),
                    median(statistics));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
