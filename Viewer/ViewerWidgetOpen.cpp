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
    // Set by the worker's message only, so that a loop ended by a quit is told apart.
    bool done = false;
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
    // The worker only posts its messages; the loop object outlives it, as the loader is
    // joined first.
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
    PictureLoader worker(
        name.toLocal8Bit().toStdString(), limit, mipmapped,
        [&loop, &done] {
            QMetaObject::invokeMethod(
                &loop,
                [&loop, &done] {
                    done = true;
                    loop.quit();
                },
                Qt::QueuedConnection);
        },
        mipmapped ? std::function<void()>(onSize) : std::function<void()>(), std::move(request));
    self = &worker;
    loader = &worker;
    loaderLoop = &loop;
    struct Forget {
        ViewerWidget& widget;
        ~Forget() {
            widget.loader = nullptr;
            widget.loaderLoop = nullptr;
            widget.progress.clear();
        }
    } forget{*this};
    QTimer redraw;
    connect(&redraw, &QTimer::timeout, this, [this, &worker] {
        progress = loadProgress(worker.rowsDone(), worker.rowCount());
        update();
    });
    redraw.start(100);

    int code = 0;
    if (worker.isFinished()) {
        done = true;
    } else {
        code = loop.exec();
    }
    if (!done && !loadAbandoned) {
        // The application is quitting (q, the window closed): its loops end, and so does this
        // load. Without an outer loop yet (the files of the command line) the quit waits for
        // the first one.
        abandonLoad();
        passOnQuit(code);
    }
    if (loadAbandoned) {
        return {};
    }
    LoadedLevels loaded{worker.take(), nullptr, nullptr};
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
    // The larger levels go up a slice per turn of whichever loop runs: the next file's decode,
    // a box, or the wait below.
    QEventLoop* uploadLoop = nullptr;
    QTimer slices;
    connect(&slices, &QTimer::timeout, this, [this, &uploads, &slices, &uploadLoop] {
        if (!uploads.queue.empty()) {
            makeCurrent();
            const Texture* texture = &uploads.queue.front()->texture();
            const int before = texture->firstLevel;
            try {
                if (uploads.queue.front()->stepFor(sliceSeconds, uploadSliceLimit)) {
                    uploads.queue.pop_front();
                }
            } catch (const std::exception& error) {
                // The picture keeps the levels it has.
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
            if (uploadLoop != nullptr) {
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
            if (mipmapped && levels.size() > 1) {
                std::unique_ptr<UploadBuffer> buffer = std::move(read.buffer);
                std::unique_ptr<Texture> texture =
                    read.texture ? std::move(read.texture) : makeTexture(levels, buffer);
                if (loadAbandoned) {
                    break;
                }
                auto upload =
                    std::make_unique<TextureUpload>(*texture, std::move(levels), std::move(buffer));
                // The smallest levels at once, so that the picture shows as soon as the list
                // is read; one slice, as no event is served meanwhile.
                if (!upload->stepFor(sliceSeconds, uploadSliceLimit)) {
                    uploads.queue.push_back(std::move(upload));
                    slices.start(0);
                }
                loaded.push_back(std::move(texture));
            } else {
                loaded.push_back(std::make_unique<Texture>(std::move(levels)));
            }
            loadedNames << name;
        } catch (const std::exception& error) {
            if (loadAbandoned) {
                break;
            }
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
    const auto dropAll = [this, &uploads, &loaded] {
        makeCurrent();
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
    if (!uploads.queue.empty()) {
        QEventLoop loop;
        uploadLoop = &loop;
        loaderLoop = &loop;
        const int code = loop.exec();
        uploadLoop = nullptr;
        loaderLoop = nullptr;
        if (!uploads.queue.empty() && !loadAbandoned) {
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
