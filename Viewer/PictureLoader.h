#pragma once

#include "Picture.h"

#include <atomic>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// What the row callback throws once cancel() was called.
class LoadCancelled : public std::runtime_error {
public:
    LoadCancelled() : std::runtime_error("loading cancelled") {}
};

// Reads one picture file with readPicture and makes its mip levels on a thread of its own; it
// never touches GL, so the caller uploads the levels. The destructor cancels and joins the
// thread, however its owner is left.
class PictureLoader {
public:
    // `finished` runs on the worker thread once the levels or the error are there; `sized`,
    // when given, once a RADIANCE file's header told its size (within `limit`), before its
    // pixels are read.
    PictureLoader(std::string path, const SizeLimit& limit, bool mipmapped,
                  std::function<void()> finished, std::function<void()> sized = {});
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
    // Once finished: the levels (level 0 alone without mip levels), or the worker's exception
    // thrown again.
    std::vector<Picture> take();

private:
    void run(const std::string& path, const SizeLimit& limit, bool mipmapped);

    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    std::atomic<int> rows{0};
    std::atomic<int> height{0};
    std::atomic<int> width{0};
    int shift = 0;
    std::function<void()> onFinished;
    std::function<void()> onSize;
    std::vector<Picture> levels;
    std::exception_ptr error;
    // Last, so that it starts once every field above exists.
    std::thread worker;
};
