// Watching the shown picture's file: reloaded when a new version has settled on disk.
#include "ViewerWidget.h"

#include "FileWatch.h"

#include <QFileInfo>
#include <QMessageBox>

#include <exception>

namespace {

// The file of the shown picture, or nothing.
QString shownFile(const ViewerWidget& widget) {
    if (widget.currentIndex < 0 || widget.currentIndex >= widget.fileNames.size() ||
        widget.textures.empty()) {
        return QString();
    }
    return widget.fileNames.at(widget.currentIndex);
}

} // namespace

void ViewerWidget::setWatch(bool on) {
    if (on == (fileWatch != nullptr)) {
        return;
    }
    if (!on) {
        delete fileWatch;
        fileWatch = nullptr;
        return;
    }
    fileWatch = new FileWatch(this);
    fileWatch->follow(shownFile(*this));
    // Every change of the shown picture (open, next, previous, reload) sets the title.
    connect(this, &QWidget::windowTitleChanged, fileWatch,
            [this] { fileWatch->follow(shownFile(*this)); });
    connect(fileWatch, &FileWatch::settled, this, &ViewerWidget::reloadWatched);
}

void ViewerWidget::reloadWatched(const QString& path) {
    if (loading || shownFile(*this).isEmpty() ||
        QFileInfo(shownFile(*this)).absoluteFilePath() != path) {
        return;
    }
    makeCurrent();
    // The new version is read whole before the old one goes, so that a failure keeps the
    // last good picture (for a while both are on the card).
    std::unique_ptr<Texture> fresh;
    try {
        fresh = std::make_unique<Texture>(path.toLocal8Bit().toStdString());
    } catch (const std::exception& error) {
        // Written again while it was read: the next settled version is tried instead.
        if (fileWatch == nullptr || fileWatch->changedSinceSettled()) {
            return;
        }
        QMessageBox::critical(this, tr("Marovex Viewer"),
                              QString("Error: %1").arg(QString::fromUtf8(error.what())),
                              QMessageBox::Ok);
        return;
    }
    // A writer that began again during the read may have mixed two versions into it.
    if (fileWatch != nullptr && fileWatch->changedSinceSettled()) {
        return;
    }
    textures.at(currentIndex) = std::move(fresh);
    // The view stays; only a zoom below the new picture's lowest is raised.
    setZoom(zoom);
    setWindowTitle(pictureTitle());
    updateGL();
}
