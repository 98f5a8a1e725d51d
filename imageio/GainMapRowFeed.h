#pragma once

#include <condition_variable>
#include <mutex>

// Hands out bands of a picture's rows to the threads that apply its gain map, each band once
// the decoder has given its base rows, so that the gain map is applied while the base
// decodes. Safe from any thread.
class GainMapRowFeed {
public:
    explicit GainMapRowFeed(long height, long band = 32);
    GainMapRowFeed(const GainMapRowFeed&) = delete;
    GainMapRowFeed& operator=(const GainMapRowFeed&) = delete;

    // From the decoder: rows [0, rows) are there.
    void decoded(long rows);
    // No more rows will come (the decode failed): waiting threads get no band.
    void abandon();
    // Waits for the next band [y0, y1) to be decoded; false once none is left or the feed is
    // abandoned.
    bool next(long& y0, long& y1);

private:
    std::mutex mutex;
    std::condition_variable ready;
    long height;
    long band;
    long available = 0;
    long taken = 0;
    bool abandoned = false;
};
