#pragma once

#include "Picture.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// What the row callback throws once cancel() was called.
class LoadCancelled : public std::runtime_error {
public:
    LoadCancelled() : std::runtime_error("loading cancelled") {}
};

// A reduced copy of a large picture for a first view, asked of a PictureLoader: made right
// after the decode, before the statistics and the rest of the mip levels.
struct PreviewRequest {
    // The copy's sides at most this, by a power-of-two reduction of 4 or more; 0: no copy.
    int side = 0;
    // Runs on the worker thread once takePreview() has the copy.
    std::function<void()> ready;
};

// What a PreviewRequest gets.
struct Preview {
    // The reduced copy and its own mip levels.
    std::vector<Picture> levels;
    // How many times smaller than the picture it is, and the picture's size.
    int factor = 1;
    int width = 0;
    int height = 0;
};

// Reads one picture file with readPicture and makes its mip levels on a thread of its own; it
// never touches GL, so the caller uploads the levels. The destructor cancels and joins the
// thread, however its owner is left.
//
// With `levelsReady` the levels come before the luminance statistics: `levelsReady` runs on
// the worker once take() has them, and the worker gathers the statistics from level 0 once
// gatherStatistics() is called; the caller keeps level 0, pixels unchanged, until the loader
// is finished or destroyed. The picture is then on the card before they are gathered.
class PictureLoader {
public:
    // `finished` runs on the worker thread once the levels or the error are there; `sized`,
    // when given, once a RADIANCE file's header told its size (within `limit`), before its
    // pixels are read.
    PictureLoader(std::string path, const SizeLimit& limit, bool mipmapped,
                  std::function<void()> finished, std::function<void()> sized = {},
                  PreviewRequest preview = {}, std::function<void()> levelsReady = {});
    ~PictureLoader();

    PictureLoader(const PictureLoader&) = delete;
    PictureLoader& operator=(const PictureLoader&) = delete;

    // The decode stops at its next row of a RADIANCE file or before its next mip level; other
    // roads run to their end.
    void cancel();
    bool isFinished() const { return finished.load(); }
    // Rows decoded so far, and the picture's height where the road tells it (0: unknown).
    int rowsDone() const { return rows.load(); }
    int rowCount() const { return height.load(); }
    int columnCount() const { return width.load(); }
    // Once finished: the shift of level 0's shared-exponent texels (SharedExponent.h) for a
    // RADIANCE picture, made here so that the caller's thread need not scan the pixels.
    int radianceShift() const { return shift; }
    // Once the request's `ready` ran: the reduced copy; no levels before, after a first take,
    // or where none was made.
    Preview takePreview();
    // Once finished, or once `levelsReady` ran: the levels (level 0 alone without mip levels),
    // or the worker's exception thrown again.
    std::vector<Picture> take();
    // With `levelsReady`, once finished: level 0's statistics, null where there are none (as
    // for floating-point pixels) or the loader was cancelled first.
    std::shared_ptr<const LuminanceStatistics> takeStatistics();
    // Waits until the worker is done, without cancelling it.
    void wait();
    // Called on the worker with the path before the file is read, where set: tests hold a
    // decode with it.
    static std::function<void(const std::string& path)> decodeHook;
    // With `levelsReady`: lets the worker gather the statistics, from any thread, at any time
    // (before the levels too). Asked once the levels are on the card, they do not share the
    // processor with their upload.
    void gatherStatistics();

private:
    void run(const std::string& path, const SizeLimit& limit, bool mipmapped);
    // The reduced copy of a decoded picture, from its level 1 where that is made already.
    void makePreview(const Picture& picture, const Picture& levelOne);

    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    std::atomic<int> rows{0};
    std::atomic<int> height{0};
    std::atomic<int> width{0};
    int shift = 0;
    std::function<void()> onFinished;
    std::function<void()> onSize;
    std::function<void()> onLevels;
    PreviewRequest previewRequest;
    std::mutex previewMutex;
    Preview preview;
    // gatherStatistics() called, or the load cancelled: the worker waits for one of them.
    std::mutex statisticsMutex;
    std::condition_variable statisticsAsked;
    bool statisticsWanted = false;
    std::vector<Picture> levels;
    std::shared_ptr<const LuminanceStatistics> statistics;
    std::exception_ptr error;
    // Last, so that it starts once every field above exists.
    std::thread worker;
};
