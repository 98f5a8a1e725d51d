#include "GainMapRowFeed.h"

#include <algorithm>

GainMapRowFeed::GainMapRowFeed(long height, long band) : height(height), band(std::max(1L, band)) {}

void GainMapRowFeed::decoded(long rows) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        available = std::min(height, std::max(available, rows));
    }
    ready.notify_all();
}

void GainMapRowFeed::abandon() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        abandoned = true;
    }
    ready.notify_all();
}

bool GainMapRowFeed::next(long& y0, long& y1) {
    std::unique_lock<std::mutex> lock(mutex);
    if (taken >= height) {
        return false;
    }
    const long start = taken;
    const long end = std::min(height, start + band);
    taken = end;
    ready.wait(lock, [&] { return abandoned || available >= end; });
    y0 = start;
    y1 = end;
    return !abandoned;
}
