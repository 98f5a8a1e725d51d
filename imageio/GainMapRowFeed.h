#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

// Hands out bands of a picture's rows to the threads that apply its gain map, each band once
// the decoder has given its base rows, so that the gain map is applied while the base
// decodes. The base rows go round `slots` bands of memory: the decoder waits before it
// writes over a band not yet applied. Safe from any thread.
class GainMapRowFeed {
public:
    GainMapRowFeed(long height, long band, long slots);
    GainMapRowFeed(const GainMapRowFeed&) = delete;
    GainMapRowFeed& operator=(const GainMapRowFeed&) = delete;

    long bandRows() const { return band; }
    long slotCount() const { return slots; }

    // From the decoder: waits until row y's slot is free; false once the feed is abandoned.
    bool waitWritable(long y);
    // From the decoder: rows [0, rows) are there.
    void decoded(long rows);
    // No more rows will come or be applied: every thread waiting gets no band.
    void abandon();
    // Waits for the next band [y0, y1) to be decoded; false once none is left or the feed is
    // abandoned.
    bool next(long& y0, long& y1);
    // The band that starts at y0 is applied: its slot may be written again.
    void applied(long y0);

private:
    std::mutex mutex;
    std::condition_variable ready;
    long height;
    long band;
    long slots;
    long available = 0;
    long taken = 0;
    bool abandoned = false;
    std::vector<char> done;
};
