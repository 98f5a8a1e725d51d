#include "ViewerWidget.h"

#include "Diagnostics.h"
#include "FileWatch.h"
#include "LoadJob.h"
#include "PictureFormats.h"
#include "PictureProber.h"
#include "ViewLimits.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <exception>

namespace {

// Local files the readers take by their names, and folders (their pictures), in the order of
// the URLs.
QStringList filterUrlList(const QList<QUrl>& urls) {
    QStringList accepted;
    for (const QUrl& url : urls) {
        const QFileInfo info(url.toLocalFile());
        if (!url.isLocalFile() || !info.exists()) {
            continue;
        }
        if (info.isDir() ||
            (info.isFile() && readsName(info.filePath().toLocal8Bit().toStdString()))) {
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

bool ViewerWidget::isLoading() const {
    return job != nullptr || !loadQueue.empty() || !outcomes.empty();
}

bool ViewerWidget::showing() const {
    return currentIndex >= 0 && currentIndex < pictures.size() &&
           pictures.at(currentIndex).texture != nullptr;
}

const Texture& ViewerWidget::currentTexture() const {
    const Texture* texture = pictures.at(currentIndex).texture.get();
    if (texture == nullptr) {
        throw std::out_of_range("The shown picture is not on the card");
    }
    return *texture;
}

const PictureMetadata& ViewerWidget::currentMetadata() const {
    return pictures.at(currentIndex).metadata;
}

QString ViewerWidget::pictureTitle() const {
    const PictureEntry& entry = pictures.at(currentIndex);
    const std::string& layer = entry.metadata.layer;
    return layer.empty() ? entry.fileName : entry.fileName + ":" + QString::fromStdString(layer);
}

bool ViewerWidget::isGathering(const Texture& texture) const {
    return job && job->texture() == &texture && !job->isFinished();
}

void ViewerWidget::showPreview() {
    Preview made = job->takePreview();
    if (made.levels.empty() || showing() || pictures.empty() ||
        pictures.at(currentIndex).id != jobRequest.id) {
        return;
    }
    makeCurrent();
    try {
        // The copy's own upload tells nothing: the lines of a load are the picture's.
        const DiagnosticsSilenced quiet(true);
        previewMetadata = pictureMetadata(made.levels.front());
        preview = std::make_unique<Texture>(std::move(made.levels));
    } catch (const std::exception&) {
        // Only a quicker first view is lost: the picture's own load goes on and tells.
        preview.reset();
        return;
    }
    previewId = jobRequest.id;
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
    previewId = 0;
}

void ViewerWidget::announceLoad(const PictureEntry& entry) {
    if (entry.fileName == "-") {
        // Standard input has no file and no size to tell.
        message = tr("loading %1...").arg(entry.fileName);
    } else {
        // One arg call, so that a "%2" inside the name is not replaced too.
        message = tr("loading %1... (%2 MB)")
                      .arg(entry.fileName, QString::number(entry.fileBytes / 1000000));
    }
    progress = loadProgress(0, 0);
}

void ViewerWidget::resetView() {
    const Texture& first = currentTexture();
    view.yaw = view.pitch = view.zoom = 0.0f;
    view.projection =
        defaultProjection(first.width, first.height, currentMetadata().projectionHint);
    setZoom(0.0f);
    view.fstop = 0.0f;
}

void ViewerWidget::queueLoad(int id, LoadKind kind, bool first) {
    if (first) {
        loadQueue.push_front({id, kind});
    } else {
        loadQueue.push_back({id, kind});
    }
    postNextLoad();
}

void ViewerWidget::postNextLoad() {
    // From the event loop, so that a caller inside a job's message never sees the job
    // replaced under it; one start for a whole list.
    if (!startPosted) {
        startPosted = true;
        QTimer::singleShot(0, this, [this] {
            startPosted = false;
            startNextLoad();
        });
    }
}

void ViewerWidget::startNextLoad() {
    while (!job && !loadQueue.empty()) {
        const LoadRequest request = loadQueue.front();
        loadQueue.pop_front();
        const int index = pictures.indexOf(request.id);
        if (index < 0 || (request.kind != LoadKind::Reload && request.kind != LoadKind::Watch &&
                          pictures.at(index).texture)) {
            continue;
        }
        if (request.kind == LoadKind::Prefetch && index != currentIndex && !fitsBudget()) {
            // Read when it is shown; its header is read now, so that a bad file is told in
            // the list's order.
            probe(index);
            continue;
        }
        const PictureEntry& entry = pictures.at(index);
        LoadJob::Options options;
        // The card's limits are read here: the worker has no GL context.
        makeCurrent();
        options.limit = Texture::sizeLimit();
        options.mipmapped = Texture::mipmapped();
        options.sliceLimit = uploadSliceLimit;
        const bool shownNext = index == currentIndex && !entry.texture;
        if (shownNext) {
            options.previewSide = previewSide;
            announceLoad(entry);
            // In the event loop, as one paint with the window's first one.
            update();
        }
        jobRequest = request;
        job = std::make_unique<LoadJob>(*this, entry.fileName, options);
        connect(job.get(), &LoadJob::previewReady, this, &ViewerWidget::showPreview);
        connect(job.get(), &LoadJob::visible, this, &ViewerWidget::loadVisible);
        connect(job.get(), &LoadJob::sharpened, this, [this] {
            if (pictures.indexOf(jobRequest.id) == currentIndex) {
                update();
            }
        });
        connect(job.get(), &LoadJob::finished, this, &ViewerWidget::loadFinished);
        connect(job.get(), &LoadJob::failed, this, &ViewerWidget::loadFailed);
        progressTimer->start();
    }
}

void ViewerWidget::probe(int index) {
    if (!prober) {
        makeCurrent();
        prober = std::make_unique<PictureProber>(
            Texture::sizeLimit(), [this](int id, const std::string& error) {
                QMetaObject::invokeMethod(
                    this, [this, id, text = QString::fromUtf8(error.c_str())] { probed(id, text); },
                    Qt::QueuedConnection);
            });
    }
    const PictureEntry& entry = pictures.at(index);
    prober->add(entry.id, entry.fileName.toLocal8Bit().toStdString());
}

void ViewerWidget::probed(int id, const QString& error) {
    if (error.isEmpty()) {
        listOutcome(id, ListOutcome::State::Loaded);
        return;
    }
    const int index = pictures.indexOf(id);
    if (index >= 0 && !pictures.at(index).texture) {
        removeEntry(index);
    }
    listOutcome(id, ListOutcome::State::Failed, error);
}

void ViewerWidget::loadVisible() {
    const int index = pictures.indexOf(jobRequest.id);
    // A new version replaces the old picture once it is whole: till then the old one shows.
    if (index < 0 || jobRequest.kind == LoadKind::Reload || jobRequest.kind == LoadKind::Watch) {
        return;
    }
    installTexture(index);
}

void ViewerWidget::installTexture(int index) {
    // A writer that began again during the read may have mixed two versions into it: the
    // next settled version is loaded instead.
    if (jobRequest.kind == LoadKind::Watch && fileWatch != nullptr &&
        fileWatch->changedSinceSettled()) {
        return;
    }
    PictureEntry& entry = pictures.at(index);
    makeCurrent();
    // A reload's picture takes the place of the old one; the view stays.
    entry.texture = job->takeTexture();
    entry.metadata = job->metadata();
    lastTextureBytes = textureBytes(*entry.texture);
    // Read ahead counts as a use: the pictures shown longest ago leave first.
    pictures.markShown(index);
    keepBudget();
    if (index != currentIndex) {
        return;
    }
    dropPreview();
    if (jobRequest.kind == LoadKind::Show && outcomes.empty()) {
        prefetchNeighbours();
    }
    if (viewResetPending) {
        viewResetPending = false;
        resetView();
    } else {
        // Only a zoom below the new picture's lowest is raised.
        setZoom(view.zoom);
    }
    // The title before the repaint: Qt hands the X title to Xlib, whose buffer the repaint's
    // swap sends; after it, nothing might send it until the next frame.
    setWindowTitle(pictureTitle());
    update();
}

void ViewerWidget::loadFinished() {
    const int index = pictures.indexOf(jobRequest.id);
    if (index >= 0 && (jobRequest.kind == LoadKind::Reload || jobRequest.kind == LoadKind::Watch)) {
        installTexture(index);
    } else if (index >= 0 && pictures.at(index).texture.get() == job->texture()) {
        // Shown since visible: the statistics come now.
        pictures.at(index).metadata.statistics = job->metadata().statistics;
    }
    if (index == currentIndex) {
        update();
    }
    listOutcome(jobRequest.id, ListOutcome::State::Loaded);
    retireLoad();
}

void ViewerWidget::loadFailed() {
    const QString error = job->error();
    const LoadRequest request = jobRequest;
    retireLoad();
    const int index = pictures.indexOf(request.id);
    // Shown from the event loop: a box's own loop must not run inside a job's message.
    const auto box = [this, error] {
        QTimer::singleShot(0, this, [this, error] {
            QMessageBox::critical(this, tr("Marovex Viewer"), QString("Error: %1").arg(error),
                                  QMessageBox::Ok);
        });
    };
    if (request.kind == LoadKind::Watch) {
        // The last good picture stays; a file written again meanwhile is tried once settled.
        if (fileWatch == nullptr || !fileWatch->changedSinceSettled()) {
            box();
        }
        return;
    }
    if (index >= 0) {
        removeEntry(index);
    }
    // A file of the list not yet reported has its box in the list's order.
    const bool listed = std::any_of(outcomes.begin(), outcomes.end(), [&](const ListOutcome& o) {
        return o.id == request.id && o.state == ListOutcome::State::Pending;
    });
    if (listed) {
        listOutcome(request.id, ListOutcome::State::Failed, error);
    } else {
        box();
    }
}

void ViewerWidget::retireLoad() {
    progressTimer->stop();
    progress.clear();
    // The job's own signal is still on the stack: it goes from the event loop.
    job.release()->deleteLater();
    postNextLoad();
}

void ViewerWidget::removeEntry(int index) {
    const bool wasCurrent = index == currentIndex;
    makeCurrent();
    pictures.remove(index, currentIndex);
    if (pictures.empty()) {
        setWindowTitle(tr("Marovex Viewer"));
    } else if (wasCurrent) {
        // The next picture of the list is the one shown now.
        const PictureEntry& entry = pictures.at(currentIndex);
        if (entry.texture) {
            setZoom(view.zoom);
            setWindowTitle(pictureTitle());
        } else if (!job || jobRequest.id != entry.id) {
            viewResetPending = true;
            announceLoad(entry);
            queueLoad(entry.id, LoadKind::Show, true);
        }
    }
    update();
}

void ViewerWidget::listOutcome(int id, ListOutcome::State state, const QString& error) {
    for (ListOutcome& outcome : outcomes) {
        if (outcome.id == id && outcome.state == ListOutcome::State::Pending) {
            outcome.state = state;
            outcome.error = error;
        }
    }
    // From the event loop: a box's own loop must not run inside a job's message.
    QTimer::singleShot(0, this, [this] { reportOutcomes(); });
}

void ViewerWidget::reportOutcomes() {
    // A box is open already: its loop's end comes back here.
    if (reporting) {
        return;
    }
    reporting = true;
    while (reported < outcomes.size() && outcomes[reported].state != ListOutcome::State::Pending) {
        const ListOutcome outcome = outcomes[reported++];
        if (outcome.state == ListOutcome::State::Failed) {
            QMessageBox::critical(this, tr("Marovex Viewer"),
                                  QString("Error: %1").arg(outcome.error), QMessageBox::Ok);
        }
    }
    if (reported == outcomes.size() && !outcomes.empty()) {
        QStringList notFound;
        for (const ListOutcome& outcome : outcomes) {
            if (outcome.state == ListOutcome::State::Missing) {
                notFound << outcome.name;
            }
        }
        outcomes.clear();
        reported = 0;
        if (!notFound.isEmpty()) {
            const bool one = notFound.size() == 1;
            QMessageBox::critical(
                this, one ? tr("File not found") : tr("Files not found"),
                (one ? tr("Could not open image file:") : tr("Could not open image files:")) +
                    "<br/>" + notFound.join("<br/>"),
                QMessageBox::Ok);
        }
    }
    reporting = false;
}

void ViewerWidget::cancelLoads() {
    loadQueue.clear();
    // Its verdicts still on their way are for entries that will be gone.
    prober.reset();
    if (job) {
        makeCurrent();
        job->cancel();
        // Kept until its threads have ended, so that no key waits for a decode that cannot
        // be stopped.
        abandoned.push_back(std::move(job));
        reapTimer->start();
    }
    progressTimer->stop();
    progress.clear();
}

void ViewerWidget::reapLoads() {
    makeCurrent();
    abandoned.erase(
        std::remove_if(abandoned.begin(), abandoned.end(),
                       [](const std::unique_ptr<LoadJob>& gone) { return gone->idle(); }),
        abandoned.end());
    if (abandoned.empty()) {
        reapTimer->stop();
    }
}

bool ViewerWidget::loadsIdle() const {
    return !job && std::all_of(abandoned.begin(), abandoned.end(),
                               [](const std::unique_ptr<LoadJob>& gone) { return gone->idle(); });
}

void ViewerWidget::abandonLoad() {
    // A picture not yet whole goes too, rather than stay blurred.
    const int unfinished =
        job && jobRequest.kind != LoadKind::Reload && jobRequest.kind != LoadKind::Watch
            ? jobRequest.id
            : 0;
    cancelLoads();
    dropPreview();
    outcomes.clear();
    reported = 0;
    makeCurrent();
    for (int i = pictures.size() - 1; i >= 0; --i) {
        if (!pictures.at(i).texture || pictures.at(i).id == unfinished) {
            pictures.remove(i, currentIndex);
        }
    }
    if (pictures.empty()) {
        message.clear();
        setWindowTitle(tr("Marovex Viewer"));
    } else {
        setZoom(view.zoom);
        setWindowTitle(pictureTitle());
    }
    update();
}

void ViewerWidget::open(const QStringList& given) {
    const QStringList files = expandFolders(given);
    cancelLoads();
    // Old pictures are deleted in this widget's context.
    makeCurrent();
    dropPreview();
    pictures.clear();
    currentIndex = 0;
    outcomes.clear();
    reported = 0;
    viewResetPending = true;
    for (const QString& name : files) {
        // "-" is standard input, which has no file and no size to tell.
        const QFileInfo info(name);
        if (name != "-" && !info.exists()) {
            outcomes.push_back({0, name, ListOutcome::State::Missing, QString()});
            continue;
        }
        const int id = pictures.append(name, name == "-" ? 0 : info.size());
        outcomes.push_back({id, name, ListOutcome::State::Pending, QString()});
        queueLoad(id, pictures.size() == 1 ? LoadKind::Show : LoadKind::Prefetch);
    }
    if (!pictures.empty()) {
        announceLoad(pictures.at(0));
    }
    update();
    QTimer::singleShot(0, this, [this] { reportOutcomes(); });
}

bool ViewerWidget::fitsBudget() const {
    return pictures.residentBytes() + lastTextureBytes <= residentBudget;
}

void ViewerWidget::keepBudget() {
    while (pictures.residentBytes() > residentBudget) {
        // Never the shown picture, nor the one a load is filling.
        const int victim =
            pictures.leastRecentlyShown(currentIndex, job ? job->texture() : nullptr);
        if (victim < 0) {
            break;
        }
        makeCurrent();
        pictures.at(victim).texture.reset();
    }
}

void ViewerWidget::prefetch(int index) {
    const PictureEntry& entry = pictures.at(index);
    if (!entry.texture && !(job && jobRequest.id == entry.id)) {
        queueLoad(entry.id, LoadKind::Neighbour, true);
    }
}

void ViewerWidget::prefetchNeighbours() {
    int listed = 0;
    for (int i = 0; i < pictures.size(); ++i) {
        listed += pictures.at(i).browsed ? 0 : 1;
    }
    if (pictures.at(currentIndex).browsed || listed <= 1) {
        prefetchFolderNeighbours();
    }
    if (listed > 1) {
        for (const int direction : {-1, 1}) {
            const int index = listNeighbour(direction);
            if (index != currentIndex) {
                prefetch(index);
            }
        }
    }
}

int ViewerWidget::listNeighbour(int direction) const {
    const int n = pictures.size();
    for (int k = 1; k <= n; ++k) {
        const int index = ((currentIndex + direction * k) % n + n) % n;
        if (!pictures.at(index).browsed) {
            return index;
        }
    }
    return currentIndex;
}

void ViewerWidget::showEntry(int index) {
    currentIndex = index;
    PictureEntry& entry = pictures.at(index);
    if (entry.texture) {
        pictures.markShown(index);
        prefetchNeighbours();
    } else {
        // Read again, before anything queued: the view is set afresh once it is there.
        viewResetPending = true;
        announceLoad(entry);
        if (!job || jobRequest.id != entry.id) {
            queueLoad(entry.id, LoadKind::Show, true);
        } else {
            progressTimer->start();
        }
    }
    setWindowTitle(pictureTitle());
}

void ViewerWidget::reloadCurrent() {
    if (pictures.empty() || (job && jobRequest.id == pictures.at(currentIndex).id)) {
        return;
    }
    queueLoad(pictures.at(currentIndex).id, LoadKind::Reload, true);
}

void ViewerWidget::rereadGainMaps() {
    for (int index = 0; index < pictures.size(); ++index) {
        PictureEntry& entry = pictures.at(index);
        if (entry.metadata.gainMap == GainMap::None || index == currentIndex || !entry.texture ||
            (job && job->texture() == entry.texture.get())) {
            continue;
        }
        makeCurrent();
        entry.texture.reset();
    }
    if (showing() && currentMetadata().gainMap != GainMap::None) {
        reloadCurrent();
    }
}

bool ViewerWidget::open() {
    const QStringList files =
        QFileDialog::getOpenFileNames(this, tr("Choose image(s) to display"), workingDirectory,
                                      QString::fromStdString(openDialogFilter()));
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
    if (data->hasFormat("text/uri-list") && !filterUrlList(data->urls()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void ViewerWidget::dropEvent(QDropEvent* event) {
    open(filterUrlList(event->mimeData()->urls()));
    event->acceptProposedAction();
}
