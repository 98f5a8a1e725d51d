#include "PictureLoader.h"

#include "FileName.h"
#include "LuminanceStatistics.h"
#include "MipLevel.h"
#include "PictureReader.h"
#include "SharedExponent.h"
#include "ViewLimits.h"
#include "rgbe.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

namespace {

// How much lower than the window's thread the decode runs (nice values add).
constexpr int workerNiceness = 5;

} // namespace

std::function<void(const std::string& path)> PictureLoader::decodeHook;

PictureLoader::PictureLoader(std::string path, const SizeLimit& limit, bool mipmapped,
                             std::function<void()> finished, std::function<void()> sized,
                             PreviewRequest preview, std::function<void()> levelsReady)
    : onFinished(std::move(finished)), onSize(std::move(sized)), onLevels(std::move(levelsReady)),
      previewRequest(std::move(preview)),
      worker([this, path = std::move(path), limit, mipmapped] { run(path, limit, mipmapped); }) {}

PictureLoader::~PictureLoader() {
    cancel();
    wait();
}

void PictureLoader::wait() {
    if (worker.joinable()) {
        worker.join();
    }
}

void PictureLoader::cancel() {
    cancelled = true;
    // Under the lock, so that a worker about to wait sees it.
    { const std::lock_guard<std::mutex> lock(statisticsMutex); }
    statisticsAsked.notify_all();
}

void PictureLoader::gatherStatistics() {
    {
        const std::lock_guard<std::mutex> lock(statisticsMutex);
        statisticsWanted = true;
    }
    statisticsAsked.notify_all();
}

void PictureLoader::run(const std::string& path, const SizeLimit& limit, bool mipmapped) {
    // Below the window's thread, and so are the helper threads the decode starts from this
    // one: a frame or a key then waits for no stripe of the picture. Best effort.
    const id_t self = static_cast<id_t>(gettid());
    errno = 0;
    const int niceness = getpriority(PRIO_PROCESS, self);
    if (errno == 0) {
        setpriority(PRIO_PROCESS, self, std::min(niceness + workerNiceness, 19));
    }
    try {
        if (decodeHook) {
            decodeHook(path);
        }
        Picture picture;
        // Level 1 of the pyramid, halved from the rows as they are decoded.
        std::unique_ptr<HalvingInBands> halving;
        Picture levelOne;
        if (hasSuffix(path, ".hdr")) {
            // The readers' own check of the name, which readPicture makes for the others.
            checkPictureFile(path);
            // Told by the reader once it has read and checked the header, before the pixels.
            const std::function<void(int, int)> sized = [&](int columns, int lines) {
                width = columns;
                height = lines;
                if (onSize) {
                    onSize();
                }
                if (mipmapped && (columns > 1 || lines > 1)) {
                    halving = std::make_unique<HalvingInBands>(columns, lines, PixelEncoding::Rgbe);
                }
            };
            const rgbe::RowCallback callback = [this](int row) {
                if (cancelled) {
                    throw LoadCancelled();
                }
                rows = row + 1;
            };
            // The halving exists from the size on, before the first band.
            const rgbe::BandCallback bands = [&halving](const unsigned char* pixels, int first,
                                                        int count) {
                if (halving) {
                    halving->band(pixels, first, count);
                }
            };
            picture = readRadiance(path, limit, &callback, &bands, 2, &sized);
            if (halving && picture.width == width && picture.height == height) {
                levelOne = halving->finish(picture);
            }
            halving.reset();
        } else {
            picture = readPicture(path, limit);
        }
        if (mipmapped) {
            makePreview(picture, levelOne);
        }
        // The histogram and statistics of the whole picture, while its pixels are all here.
        const bool solidAngle = defaultProjection(picture.width, picture.height,
                                                  picture.projectionHint) != Projection::Flat;
        const auto gather = [this, solidAngle](const Picture& from) {
            return LuminanceStatistics::of(from, solidAngle, [this] { return cancelled.load(); });
        };
        if (!onLevels) {
            picture.statistics = gather(picture);
        }
        // Float pictures go up as they are, and the upload tells they cannot be shown.
        if (mipmapped &&
            (picture.encoding == PixelEncoding::Rgbe || picture.encoding == PixelEncoding::Rgb8)) {
            std::vector<Picture> top;
            top.push_back(std::move(picture));
            if (levelOne.pixels) {
                top.push_back(std::move(levelOne));
            }
            levels = mipLevels(std::move(top), [this](int) {
                if (cancelled) {
                    throw LoadCancelled();
                }
            });
        } else {
            levels.push_back(std::move(picture));
        }
        const Picture& top = levels.front();
        if (top.encoding == PixelEncoding::Rgbe) {
            shift = sharedExponentShift(top.pixels.get(),
                                        static_cast<std::size_t>(top.width) * top.height);
        }
        if (onLevels) {
            // Level 0 stays where it is when take() moves the vector that holds it.
            onLevels();
            {
                std::unique_lock<std::mutex> lock(statisticsMutex);
                statisticsAsked.wait(lock, [this] { return statisticsWanted || cancelled; });
            }
            try {
                // Given up: the caller may be letting go of level 0.
                if (!cancelled) {
                    statistics = gather(top);
                }
            } catch (const std::exception&) {
                // Only the numbers are lost; the picture is the caller's already.
                statistics.reset();
            }
        }
    } catch (...) {
        levels.clear();
        error = std::current_exception();
    }
    finished = true;
    if (onFinished) {
        onFinished();
    }
}

void PictureLoader::makePreview(const Picture& picture, const Picture& levelOne) {
    if (previewRequest.side <= 0 ||
        (picture.encoding != PixelEncoding::Rgbe && picture.encoding != PixelEncoding::Rgb8)) {
        return;
    }
    const int factor = reductionFactor(picture.width, picture.height, previewRequest.side);
    // A picture this small is whole on the card soon enough.
    if (factor < 4 || cancelled) {
        return;
    }
    // From level 1 where it is made: a quarter of the pixels to read.
    Picture reduced =
        levelOne.pixels ? reducePicture(levelOne, factor / 2) : reducePicture(picture, factor);
    Preview made{mipLevels(std::move(reduced)), factor, picture.width, picture.height};
    {
        const std::lock_guard<std::mutex> lock(previewMutex);
        preview = std::move(made);
    }
    if (previewRequest.ready) {
        previewRequest.ready();
    }
}

Preview PictureLoader::takePreview() {
    const std::lock_guard<std::mutex> lock(previewMutex);
    Preview taken;
    std::swap(taken, preview);
    return taken;
}

std::shared_ptr<const LuminanceStatistics> PictureLoader::takeStatistics() {
    return std::move(statistics);
}

std::vector<Picture> PictureLoader::take() {
    if (error) {
        std::rethrow_exception(error);
    }
    return std::move(levels);
}
