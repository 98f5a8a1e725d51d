// Watching the shown picture's file: reloaded when a new version has settled on disk.
#include "ViewerWidget.h"

#include "FileWatch.h"

#include <QFileInfo>

namespace {

// The file of the shown picture, or nothing.
QString shownFile(const ViewerWidget& widget) {
    if (!widget.showing()) {
        return QString();
    }
    return widget.pictures.at(widget.currentIndex).fileName;
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
    const QString shown = shownFile(*this);
    if (shown.isEmpty() || QFileInfo(shown).absoluteFilePath() != path) {
        return;
    }
    // The new version loads in the background; the old picture stays until it shows, and
    // stays for good where it fails.
    queueLoad(pictures.at(currentIndex).id, LoadKind::Watch, true);
}
