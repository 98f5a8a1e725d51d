#include "LoadJob.h"

#include "Diagnostics.h"
#include "FileName.h"
#include "SharedContextThread.h"

#include <QGLWidget>

#include <fmt/printf.h>

#include <exception>

namespace {

// What one upload slice may take: with a frame drawn after it, no event waits much longer.
constexpr double sliceSeconds = 0.025;

QString textOf(const std::exception& error) {
    return QString::fromUtf8(error.what());
}

} // namespace

template <typename Step> void LoadJob::post(Step step) {
    // Queued to this object: a message still on its way when the job goes is dropped with it,
    // and one that comes after a cancel does nothing.
    QMetaObject::invokeMethod(
        this,
        [this, step = std::move(step)] {
            if (state != State::Cancelled) {
                step();
            }
        },
        Qt::QueuedConnection);
}

LoadJob::LoadJob(QGLWidget& widget, const QString& name, const Options& options)
    : widget(widget), fileName(name), options(options) {
    const std::string path = name.toLocal8Bit().toStdString();
    radiance = hasSuffix(path, ".hdr");
    slices.setInterval(0);
    connect(&slices, &QTimer::timeout, this, &LoadJob::uploadSlice);
    PreviewRequest request;
    if (options.previewSide > 0) {
        request.side = options.previewSide;
        request.ready = [this] { post([this] { emit previewReady(); }); };
    }
    const auto finishedHere = [this] {
        post([this] {
            statisticsDone = true;
            if (!levelsReady) {
                levelsTaken();
            } else if (state == State::Gathering) {
                gathered();
            }
        });
    };
    const bool mipmapped = options.mipmapped;
    loader = std::make_unique<PictureLoader>(
        path, options.limit, mipmapped, finishedHere,
        mipmapped ? std::function<void()>([this] { post([this] { sized(); }); })
                  : std::function<void()>(),
        std::move(request),
        mipmapped ? std::function<void()>([this] {
            post([this] {
                levelsReady = true;
                levelsTaken();
            });
        })
                  : std::function<void()>());
}

LoadJob::~LoadJob() {
    // The worker first: its reads of level 0 end before the upload that keeps it goes.
    loader.reset();
    storage.reset();
    widget.makeCurrent();
    upload.reset();
    earlyBuffer.reset();
    early.reset();
    owned.reset();
}

void LoadJob::cancel() {
    if (state == State::Cancelled) {
        return;
    }
    state = State::Cancelled;
    slices.stop();
    loader->cancel();
    disconnect();
}

bool LoadJob::idle() const {
    return loader->isFinished() && (!storage || storageDone);
}

bool LoadJob::startStorage(std::function<std::unique_ptr<Texture>()> make) {
    storageDone = false;
    storageError = nullptr;
    storage = std::make_unique<SharedContextThread>(
        widget,
        [this, make = std::move(make)] {
            try {
                early = make();
                earlyBuffer = std::make_unique<UploadBuffer>(UploadBuffer::bytesFor(*early));
                glFinish();
            } catch (...) {
                earlyBuffer.reset();
                early.reset();
                storageError = std::current_exception();
            }
        },
        [this] {
            storageDone = true;
            post([this] { storageMade(); });
        });
    if (!storage->started()) {
        storage.reset();
        return false;
    }
    return true;
}

void LoadJob::sized() {
    // The storage is made while the file is read: drivers that clear new storage (llvmpipe)
    // take as long as the read.
    if (state != State::Decoding || storage) {
        return;
    }
    const int width = loader->columnCount();
    const int height = loader->rowCount();
    earlyFromHeader = startStorage([width, height] {
        return std::make_unique<Texture>(width, height, PixelEncoding::Rgbe,
                                         Texture::Texels::Later);
    });
}

void LoadJob::levelsTaken() {
    if (state != State::Decoding) {
        return;
    }
    try {
        levels = loader->take();
    } catch (const LoadCancelled&) {
        return;
    } catch (const std::exception& error) {
        fail(textOf(error));
        return;
    }
    if (levels.size() <= 1) {
        // No pyramid (pixels the upload refuses, or a single pixel): the texture takes level 0
        // at once, after its statistics.
        if (levelsReady && !statisticsDone) {
            state = State::Gathering;
            loader->gatherStatistics();
            return;
        }
        gathered();
        return;
    }
    state = State::Storage;
    if (storage) {
        // Made from the header, or on its way: its message follows, unless it came already.
        if (storageDone) {
            storageMade();
        }
        return;
    }
    storageFromLevels();
}

void LoadJob::storageFromLevels() {
    earlyFromHeader = false;
    if (startStorage(
            [this] { return std::make_unique<Texture>(levels, Texture::Texels::Later); })) {
        return;
    }
    // No shared context here: the widget's own makes the storage.
    widget.makeCurrent();
    try {
        early = std::make_unique<Texture>(levels, Texture::Texels::Later);
    } catch (const std::exception& error) {
        fail(textOf(error));
        return;
    }
    startUpload();
}

void LoadJob::storageMade() {
    if (state != State::Storage || !storage) {
        // The header's storage came before the levels: levelsTaken goes on with it.
        return;
    }
    storage->join();
    storage.reset();
    if (storageError && !earlyFromHeader) {
        try {
            std::rethrow_exception(storageError);
        } catch (const std::exception& error) {
            fail(textOf(error));
        }
        return;
    }
    const Picture& top = levels.front();
    const bool fits = early && levels.size() == static_cast<std::size_t>(early->levels) &&
                      top.width == early->width && top.height == early->height &&
                      (!earlyFromHeader || top.encoding == PixelEncoding::Rgbe);
    if (!fits) {
        // The header's size was not the picture's, or its storage failed: storage from the
        // levels themselves, where an error is told.
        widget.makeCurrent();
        earlyBuffer.reset();
        early.reset();
        storageFromLevels();
        return;
    }
    startUpload();
}

void LoadJob::startUpload() {
    widget.makeCurrent();
    owned = std::move(early);
    target = owned.get();
    if (earlyFromHeader) {
        target->radianceShift = loader->radianceShift();
        target->takeScale(levels.front());
    }
    meta = pictureMetadata(levels.front());
    uploadClock.lap();
    try {
        upload =
            std::make_unique<TextureUpload>(*target, std::move(levels), std::move(earlyBuffer));
        upload->keepLevelZero();
        state = State::Uploading;
        // The smallest levels at once, so that the picture shows as soon as it is read.
        const bool whole = upload->stepFor(sliceSeconds, options.sliceLimit);
        emit visible();
        if (whole) {
            uploaded();
        } else {
            slices.start();
        }
    } catch (const std::exception& error) {
        fail(textOf(error));
    }
}

void LoadJob::uploadSlice() {
    if (state != State::Uploading) {
        slices.stop();
        return;
    }
    widget.makeCurrent();
    const int before = target->firstLevel;
    bool whole = false;
    try {
        whole = upload->stepFor(sliceSeconds, options.sliceLimit);
    } catch (const std::exception& error) {
        fail(textOf(error));
        return;
    }
    if (target->firstLevel != before) {
        emit sharpened();
    }
    if (whole) {
        slices.stop();
        uploaded();
    }
}

void LoadJob::uploaded() {
    if (radiance) {
        // Counts the upload's queued GL work in its phase.
        glFinish();
        uploadClock.lap("cpu -> gpu");
        diagnostic(fmt::sprintf("%d %d", target->width, target->height));
    }
    state = State::Gathering;
    // Asked now, so that the statistics never share the processor with the upload.
    loader->gatherStatistics();
    if (statisticsDone) {
        gathered();
    }
}

void LoadJob::gathered() {
    widget.makeCurrent();
    if (target == nullptr) {
        // Level 0 alone goes up now, statistics and all.
        try {
            if (!levels.empty()) {
                meta = pictureMetadata(levels.front());
            }
            owned = std::make_unique<Texture>(std::move(levels));
        } catch (const LoadCancelled&) {
            return;
        } catch (const std::exception& error) {
            fail(textOf(error));
            return;
        }
        target = owned.get();
        if (levelsReady) {
            meta.statistics = loader->takeStatistics();
        }
        state = State::Finished;
        emit visible();
        emit finished();
        return;
    }
    meta.statistics = loader->takeStatistics();
    upload.reset();
    state = State::Finished;
    emit finished();
}

void LoadJob::fail(const QString& text) {
    slices.stop();
    state = State::Failed;
    failure = text;
    emit failed();
}
