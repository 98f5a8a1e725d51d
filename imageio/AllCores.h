#pragma once

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

// Runs rows(y0, y1) over [0, height) in one band per core, this thread taking the first, and
// returns once all are done; an exception of a band comes out here. Below `smallest` rows the
// bands are not worth a thread.
template <typename Rows> void runOnAllCores(long height, Rows rows, long smallest = 64) {
    // Futures of std::async wait in their destructors, so every band has finished however
    // this returns.
    const long threads = height < smallest
                             ? 1
                             : std::max(1L, static_cast<long>(std::thread::hardware_concurrency()));
    std::vector<std::future<void>> workers;
    for (long t = 1; t < threads; ++t) {
        workers.push_back(
            std::async(std::launch::async, rows, height * t / threads, height * (t + 1) / threads));
    }
    rows(0, height / threads);
    for (std::future<void>& worker : workers) {
        worker.get();
    }
}
