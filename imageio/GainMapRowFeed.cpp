#include "GainMapRowFeed.h"

#include <algorithm>

GainMapRowFeed::GainMapRowFeed(long height, long band, long slots)
    : height(height), band(std::max(1L, band)), slots(std::max(1L, slots)),
      done(static_cast<std::size_t>((height + this->band - 1) / this->band), 0) {}

bool GainMapRowFeed::waitWritable(long y) {
    const long previous = y / band - slots;
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] {
        return abandoned || previous < 0 || done[static_cast<std::size_t>(previous)] != 0;
    });
    return !abandoned;
}

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
    if (taken >= height || abandoned) {
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

void GainMapRowFeed::applied(long y0) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        done[static_cast<std::size_t>(y0 / band)] = 1;
    }
    ready.notify_all();
}
