#include "ViewerWidget.h"

#include "PictureLoader.h"
#include "SharedContextThread.h"
#include "TextureUpload.h"
#include "ViewLimits.h"

#include <QDragEnterEvent>
#include <QCoreApplication>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <deque>
#include <exception>

namespace {

// What one upload slice may take: with a frame drawn after it, no event waits much longer.
constexpr double sliceSeconds = 0.025;

// A quit that ended a wait of open's: without an outer loop yet (the files of the command
// line) it is passed on to the first one.
void passOnQuit(int code) {
    if (QThread::currentThread()->loopLevel() == 0) {
        QTimer::singleShot(0, qApp, [code] { QCoreApplication::exit(code); });
    }
}

// Local, existing regular files of the suffixes the loader reads, in the order of the URLs.
QStringList filterUrlList(const QList<QUrl>& urls) {
    QStringList accepted;
    for (const QUrl& url : urls) {
        const QFileInfo info(url.toLocalFile());
        const QString suffix = info.suffix().toLower();
        if (info.isFile() && info.exists() &&
            (suffix == "hdr" || suffix == "jpg" || suffix == "exr" || suffix == "tif" ||
             suffix == "tiff" || suffix == "pfm")) {
            accepted << info.filePath();
        }
    }
    return accepted;
}

} // namespace

QString loadProgress(int rowsDone, int rowCount) {
    if (rowCount <= 0) {
        return QString::fromUtf8("\u2026");
    }
    return QString("%1%").arg(static_cast<long long>(rowsDone) * 100 / rowCount);
}

struct ViewerWidget::Gathering {
    // Where the worker's messages go; deleted after the worker is joined, so that a message
    // still queued goes with it.
    QObject messages;
    // The texture's finished upload, kept for the level 0 the worker reads.
    std::unique_ptr<TextureUpload> upload;
    // The texture the statistics are for, once it is made.
    Texture* texture = nullptr;
    // loadLevels' loop while it waits for the levels.
    QEventLoop* waiting = nullptr;
    bool levelsDone = false;
    bool gathered = false;
    // Last, so that it is joined first; null once the statistics are on the texture.
    std::unique_ptr<PictureLoader> loader;
};

ViewerWidget::LoadedLevels::LoadedLevels() = default;
ViewerWidget::LoadedLevels::LoadedLevels(LoadedLevels&&) noexcept = default;
ViewerWidget::LoadedLevels::~LoadedLevels() = default;

void ViewerWidget::statisticsGathered(Gathering& gathering) {
    gathering.gathered = true;
    // Put on the texture once it is made; already there.
    if (gathering.texture == nullptr || !gathering.loader) {
        return;
    }
    gathering.texture->statistics = gathering.loader->takeStatistics();
    gathering.loader.reset();
    if (gathering.upload) {
        makeCurrent();
        gathering.upload.reset();
    }
    if (!textures.empty() &&
        gathering.texture == textures[static_cast<std::size_t>(currentIndex)].get()) {
        update();
    }
    if (uploadLoop != nullptr && loadSettled()) {
        uploadLoop->quit();
    }
}

bool ViewerWidget::isGathering(const Texture& texture) const {
    if (gatherings == nullptr) {
        return false;
    }
    return std::any_of(gatherings->begin(), gatherings->end(),
                       [&texture](const std::unique_ptr<Gathering>& gathering) {
                           return gathering->loader && gathering->texture == &texture;
                       });
}

bool ViewerWidget::loadSettled() const {
    if (!uploadsDone) {
        return false;
    }
    if (gatherings == nullptr) {
        return true;
    }
    return std::none_of(gatherings->begin(), gatherings->end(),
                        [](const std::unique_ptr<Gathering>& gathering) {
                            return static_cast<bool>(gathering->loader);
                        });
}

QString ViewerWidget::pictureTitle() const {
    const QString name = fileNames.at(currentIndex);
    const std::string& layer = currentTexture().layer;
    return layer.empty() ? name : name + ":" + QString::fromStdString(layer);
}

void ViewerWidget::showPreview(PictureLoader& worker) {
    Preview made = worker.takePreview();
    if (made.levels.empty() || !textures.empty()) {
        return;
    }
    makeCurrent();
    try {
        preview = std::make_unique<Texture>(std::move(made.levels));
    } catch (const std::exception&) {
        // Only a quicker first view is lost: the picture's own load goes on and tells.
        preview.reset();
        return;
    }
    previewFactor = made.factor;
    previewWidth = made.width;
    previewHeight = made.height;
    // Painted in a turn of its own, so that no event waits for the texture and the frame.
    update();
}

void ViewerWidget::dropPreview() {
    if (preview) {
        makeCurrent();
        preview.reset();
    }
}

ViewerWidget::LoadedLevels ViewerWidget::loadLevels(const QString& name, const SizeLimit& limit,
                                                    bool mipmapped, bool withPreview) {
    QEventLoop loop;
    // The texture's storage is made in a shared context while the file is read, once its
    // header told the size: drivers that clear new storage (llvmpipe) take as long as the
    // read. Declared before the thread, which joins and makes the widget's context current
    // before the texture goes.
    std::unique_ptr<Texture> early;
    std::unique_ptr<UploadBuffer> earlyBuffer;
    std::unique_ptr<SharedContextThread> storage;
    // The worker below, for the messages it posts; set once it exists.
    PictureLoader* self = nullptr;
    const auto makeStorage = [this, &early, &earlyBuffer, &storage, &self] {
        const int width = self->columnCount();
        const int height = self->rowCount();
        storage =
            std::make_unique<SharedContextThread>(*this, [&early, &earlyBuffer, width, height] {
                try {
                    early = std::make_unique<Texture>(width, height, PixelEncoding::Rgbe,
                                                      Texture::Texels::Later);
                    earlyBuffer = std::make_unique<UploadBuffer>(UploadBuffer::bytesFor(*early));
                    glFinish();
                } catch (const std::exception&) {
                    // Made again from the levels, where the error will be told.
                    earlyBuffer.reset();
                    early.reset();
                }
            });
    };
    // The worker posts its messages to the gathering's object, which goes after it is joined;
    // loadLevels' loop takes them while it waits (the gathering's flags tell them apart from
    // a quit), statisticsGathered once the levels are taken.
    auto gathering = std::make_unique<Gathering>();
    Gathering* const messages = gathering.get();
    messages->waiting = &loop;
    const auto onSize = [&loop, &makeStorage] {
        QMetaObject::invokeMethod(&loop, makeStorage, Qt::QueuedConnection);
    };
    PreviewRequest request;
    if (withPreview) {
        request.side = previewSide;
        request.ready = [this, &loop, &self] {
            QMetaObject::invokeMethod(
                &loop, [this, &self] { showPreview(*self); }, Qt::QueuedConnection);
        };
    }
    const auto finished = [this, messages] {
        QMetaObject::invokeMethod(
            &messages->messages,
            [this, messages] {
                if (messages->waiting != nullptr) {
                    messages->gathered = true;
                    messages->waiting->quit();
                } else {
                    statisticsGathered(*messages);
                }
            },
            Qt::QueuedConnection);
    };
    // With mip levels the upload starts before the statistics, which come from level 0 as it
    // goes up.
    const auto levelsReady = [messages] {
        QMetaObject::invokeMethod(
            &messages->messages,
            [messages] {
                messages->levelsDone = true;
                if (messages->waiting != nullptr) {
                    messages->waiting->quit();
                }
            },
            Qt::QueuedConnection);
    };
    gathering->loader = std::make_unique<PictureLoader>(
        name.toLocal8Bit().toStdString(), limit, mipmapped, finished,
        mipmapped ? std::function<void()>(onSize) : std::function<void()>(), std::move(request),
        mipmapped ? std::function<void()>(levelsReady) : std::function<void()>());
    PictureLoader& worker = *gathering->loader;
    self = &worker;
    loader = &worker;
    loaderLoop = &loop;
    struct Forget {
        ViewerWidget& widget;
        Gathering& gathering;
        ~Forget() {
            widget.loader = nullptr;
            widget.loaderLoop = nullptr;
            widget.progress.clear();
            gathering.waiting = nullptr;
        }
    } forget{*this, *gathering};
    QTimer redraw;
    connect(&redraw, &QTimer::timeout, this, [this, &worker] {
        progress = loadProgress(worker.rowsDone(), worker.rowCount());
        update();
    });
    redraw.start(100);

    int code = 0;
    const auto levelsHere = [messages] { return messages->levelsDone || messages->gathered; };
    if (worker.isFinished()) {
        messages->gathered = true;
    } else if (!levelsHere()) {
        code = loop.exec();
    }
    if (!levelsHere() && !loadAbandoned) {
        // The application is quitting (q, the window closed): its loops end, and so does this
        // load. Without an outer loop yet (the files of the command line) the quit waits for
        // the first one.
        abandonLoad();
        passOnQuit(code);
    }
    if (loadAbandoned) {
        return {};
    }
    LoadedLevels loaded;
    loaded.levels = worker.take();
    if (storage) {
        QEventLoop wait;
        bool finished = false;
        loaderLoop = &wait;
        const int waitCode = storage->wait(wait, finished);
        loaderLoop = nullptr;
        if (!finished && !loadAbandoned) {
            abandonLoad();
            passOnQuit(waitCode);
        }
        storage->join();
        const std::vector<Picture>& levels = loaded.levels;
        if (!loadAbandoned && early && levels.size() == static_cast<std::size_t>(early->levels) &&
            levels.front().width == early->width && levels.front().height == early->height &&
            levels.front().encoding == PixelEncoding::Rgbe) {
            early->radianceShift = worker.radianceShift();
            early->takeAttributes(levels.front());
            loaded.texture = std::move(early);
            loaded.buffer = std::move(earlyBuffer);
        }
    }
    if (loadAbandoned) {
        return {};
    }
    if (mipmapped) {
        loaded.gathering = std::move(gathering);
    }
    return loaded;
}

void ViewerWidget::abandonLoad() {
    loadAbandoned = true;
    if (loader != nullptr) {
        loader->cancel();
    }
    if (loaderLoop != nullptr) {
        loaderLoop->quit();
    }
}

void ViewerWidget::open(const QStringList& files) {
    if (loading) {
        return;
    }
    // Old pictures are deleted and new ones made in this widget's context.
    makeCurrent();
    textures.clear();
    fileNames.clear();
    currentIndex = 0;
    // The card's limits are read here: the worker has no GL context.
    const SizeLimit limit = Texture::sizeLimit();
    const bool mipmapped = Texture::mipmapped();
    loading = true;
    loadAbandoned = false;
    struct LoadingScope {
        ViewerWidget& widget;
        ~LoadingScope() { widget.loading = false; }
    } scope{*this};

    std::vector<std::unique_ptr<Texture>> loaded;
    // After `loaded`, so that they go first: each fills a texture there or in `textures`.
    struct Uploads {
        ViewerWidget& widget;
        std::deque<std::unique_ptr<TextureUpload>> queue;
        ~Uploads() {
            if (!queue.empty()) {
                widget.makeCurrent();
                queue.clear();
            }
        }
    } uploads{*this, {}};
    // After `uploads`, so that they go first: their workers read level 0 of the pictures
    // going up there.
    struct Gatherings {
        ViewerWidget& widget;
        std::vector<std::unique_ptr<Gathering>> list;
        ~Gatherings() {
            widget.gatherings = nullptr;
            if (!list.empty()) {
                widget.makeCurrent();
                list.clear();
            }
        }
    } gathered{*this, {}};
    gatherings = &gathered.list;
    uploadsDone = true;
    // A whole upload goes, unless a worker still reads its level 0: then it waits with it, and
    // the worker, which waited for the upload so as not to slow it down, gathers the
    // statistics now.
    const auto retire = [this, &gathered](std::unique_ptr<TextureUpload> upload) {
        for (const std::unique_ptr<Gathering>& gathering : gathered.list) {
            if (gathering->loader && gathering->texture == &upload->texture()) {
                gathering->upload = std::move(upload);
                gathering->loader->gatherStatistics();
                return;
            }
        }
        makeCurrent();
        upload.reset();
    };
    // The larger levels go up a slice per turn of whichever loop runs: the next file's decode,
    // a box, or the wait below.
    QTimer slices;
    connect(&slices, &QTimer::timeout, this, [this, &uploads, &slices, &retire] {
        if (!uploads.queue.empty()) {
            makeCurrent();
            const Texture* texture = &uploads.queue.front()->texture();
            const int before = texture->firstLevel;
            try {
                if (uploads.queue.front()->stepFor(sliceSeconds, uploadSliceLimit)) {
                    retire(std::move(uploads.queue.front()));
                    uploads.queue.pop_front();
                }
            } catch (const std::exception& error) {
                // The picture keeps the levels it has.
                retire(std::move(uploads.queue.front()));
                uploads.queue.pop_front();
                QMessageBox::critical(this, tr("Marovex Viewer"),
                                      QString("Error: %1").arg(QString::fromUtf8(error.what())),
                                      QMessageBox::Ok);
            }
            if (texture->firstLevel != before && !textures.empty() &&
                texture == textures[static_cast<std::size_t>(currentIndex)].get()) {
                update();
            }
        }
        if (uploads.queue.empty()) {
            slices.stop();
            uploadsDone = true;
            if (uploadLoop != nullptr && loadSettled()) {
                uploadLoop->quit();
            }
        }
    });
    // A texture's storage is made in a context shared with the widget's, on a thread of its
    // own, while the events go on: drivers that clear new storage (llvmpipe) take seconds over
    // a large pyramid. The widget's own context makes it where no shared one can be had.
    const auto makeTexture = [this](const std::vector<Picture>& levels,
                                    std::unique_ptr<UploadBuffer>& buffer) {
        std::unique_ptr<Texture> texture;
        std::exception_ptr error;
        QEventLoop loop;
        bool finished = false;
        bool ran = false;
        loaderLoop = &loop;
        const int code = runInSharedContext(
            *this,
            [&] {
                try {
                    texture = std::make_unique<Texture>(levels, Texture::Texels::Later);
                    buffer = std::make_unique<UploadBuffer>(UploadBuffer::bytesFor(*texture));
                    glFinish();
                } catch (...) {
                    error = std::current_exception();
                }
            },
            loop, finished, ran);
        loaderLoop = nullptr;
        if (!ran) {
            return std::make_unique<Texture>(levels, Texture::Texels::Later);
        }
        if (!finished && !loadAbandoned) {
            abandonLoad();
            passOnQuit(code);
        }
        if (error) {
            std::rethrow_exception(error);
        }
        return texture;
    };
    QStringList loadedNames;
    QStringList notFound;
    for (const QString& name : files) {
        // "-" is standard input, which has no file and no size to tell.
        const bool standardInput = name == "-";
        const QFileInfo info(name);
        if (!standardInput && !info.exists()) {
            notFound << name;
            continue;
        }
        try {
            if (standardInput) {
                message = tr("loading %1...").arg(name);
            } else {
                const qint64 megabytes = info.size() / 1000000;
                // One arg call, so that a "%2" inside the name is not replaced too.
                message = tr("loading %1... (%2 MB)").arg(name, QString::number(megabytes));
            }
            progress = loadProgress(0, 0);
            // In the loop of the load, as one paint with the window's first one.
            update();
            // The first picture of the list is the one shown first.
            LoadedLevels read = loadLevels(name, limit, mipmapped, loaded.empty());
            std::vector<Picture> levels = std::move(read.levels);
            if (loadAbandoned) {
                break;
            }
            makeCurrent();
            Gathering* gathering = read.gathering.get();
            if (gathering != nullptr) {
                gathered.list.push_back(std::move(read.gathering));
            }
            if (mipmapped && levels.size() > 1) {
                std::unique_ptr<UploadBuffer> buffer = std::move(read.buffer);
                std::unique_ptr<Texture> texture =
                    read.texture ? std::move(read.texture) : makeTexture(levels, buffer);
                if (loadAbandoned) {
                    break;
                }
                auto upload =
                    std::make_unique<TextureUpload>(*texture, std::move(levels), std::move(buffer));
                if (gathering != nullptr) {
                    upload->keepLevelZero();
                    gathering->texture = texture.get();
                }
                // The smallest levels at once, so that the picture shows as soon as the list
                // is read; one slice, as no event is served meanwhile.
                if (!upload->stepFor(sliceSeconds, uploadSliceLimit)) {
                    uploads.queue.push_back(std::move(upload));
                    uploadsDone = false;
                    slices.start(0);
                } else {
                    retire(std::move(upload));
                }
                loaded.push_back(std::move(texture));
            } else {
                // The texture takes level 0 at once: its statistics first.
                if (gathering != nullptr) {
                    gathering->loader->gatherStatistics();
                    gathering->loader->wait();
                }
                loaded.push_back(std::make_unique<Texture>(std::move(levels)));
                if (gathering != nullptr) {
                    gathering->texture = loaded.back().get();
                }
            }
            if (gathering != nullptr && gathering->gathered) {
                statisticsGathered(*gathering);
            }
            loadedNames << name;
        } catch (const std::exception& error) {
            if (loadAbandoned) {
                break;
            }
            // The failed file's worker goes with it: it has no texture to gather for.
            makeCurrent();
            gathered.list.erase(std::remove_if(gathered.list.begin(), gathered.list.end(),
                                               [](const std::unique_ptr<Gathering>& gathering) {
                                                   return gathering->texture == nullptr;
                                               }),
                                gathered.list.end());
            // The next picture of the list is the first one shown now.
            if (loaded.empty()) {
                dropPreview();
            }
            QMessageBox::critical(this, tr("Marovex Viewer"),
                                  QString("Error: %1").arg(QString::fromUtf8(error.what())),
                                  QMessageBox::Ok);
        }
    }

    // What this call loaded goes, in this context; the empty view shows.
    const auto dropAll = [this, &uploads, &loaded, &gathered] {
        makeCurrent();
        gathered.list.clear();
        preview.reset();
        uploads.queue.clear();
        loaded.clear();
        textures.clear();
        fileNames.clear();
        currentIndex = 0;
        message.clear();
        setWindowTitle(tr("Marovex Viewer"));
        update();
    };
    if (loadAbandoned) {
        dropAll();
        return;
    }

    dropPreview();
    if (!loaded.empty()) {
        textures = std::move(loaded);
        fileNames = loadedNames;
        const Texture& first = currentTexture();
        yaw = pitch = zoom = 0.0f;
        projection = defaultProjection(first.width, first.height, first.projectionHint);
        setZoom(0.0f);
        fstop = 0.0f;
        // The title before the repaint: Qt hands the X title to Xlib, whose buffer the
        // repaint's swap sends; after it, nothing might send it until the next frame.
        setWindowTitle(pictureTitle());
        updateGL();
    }

    // The rest of the levels, the picture showing and the events going on; Esc or a quit
    // gives the pictures up as during a decode.
    if (!loadSettled()) {
        QEventLoop loop;
        uploadLoop = &loop;
        loaderLoop = &loop;
        const int code = loop.exec();
        uploadLoop = nullptr;
        loaderLoop = nullptr;
        if (!loadSettled() && !loadAbandoned) {
            abandonLoad();
            passOnQuit(code);
        }
        if (loadAbandoned) {
            dropAll();
            return;
        }
        updateGL();
    }

    if (!notFound.isEmpty()) {
        const bool one = notFound.size() == 1;
        QMessageBox::critical(
            this, one ? tr("File not found") : tr("Files not found"),
            (one ? tr("Could not open image file:") : tr("Could not open image files:")) + "<br/>" +
                notFound.join("<br/>"),
            QMessageBox::Ok);
    }
}

bool ViewerWidget::open() {
    if (loading) {
        return false;
    }
    const QStringList files = QFileDialog::getOpenFileNames(
        this, tr("Choose image(s) to display"), workingDirectory,
        tr("Supported Images (*.hdr *.jpg *.jpeg *.exr *.tif *.tiff *.pfm);;HDR Image "
           "(*.hdr);;JPEG Image (*.jpg *.jpeg);;"
           "OpenEXR Image (*.exr);;TIFF Image (*.tif *.tiff);;PFM Image (*.pfm)"));
    activateWindow();
    if (files.isEmpty()) {
        return false;
    }
    // Remembered before loading, so that a failed load still starts there next time.
    workingDirectory = QFileInfo(files.first()).absolutePath();
    QSettings().setValue("working_directory", workingDirectory);
    open(files);
    return true;
}

void ViewerWidget::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* data = event->mimeData();
    if (!loading && data->hasFormat("text/uri-list") && !filterUrlList(data->urls()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void ViewerWidget::dropEvent(QDropEvent* event) {
    if (loading) {
        event->ignore();
        return;
    }
    open(filterUrlList(event->mimeData()->urls()));
    event->acceptProposedAction();
}
