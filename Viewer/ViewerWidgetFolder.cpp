// The pictures of the shown file's folder: the arrow, page, Home and End keys step through
// them in natural order, and their neighbours are read ahead.
#include "ViewerWidget.h"

#include "PictureFolder.h"
#include "PictureFormats.h"

#include <QDir>
#include <QFileInfo>

#include <stdexcept>

namespace {

// How far Page Up and Page Down step.
constexpr long pageSteps = 10;

} // namespace

QStringList ViewerWidget::folderPictures(const QString& folder) {
    const QFileInfo info(folder);
    const QString key = info.absoluteFilePath();
    // Listed again only when the folder changed: a held arrow key steps many times a second.
    if (key != listedFolder || info.lastModified() != listedAt) {
        QStringList listed;
        try {
            for (const std::string& path :
                 picturesInFolder(folder.toLocal8Bit().toStdString(),
                                  [](const std::string& name) { return readsName(name); })) {
                listed << QString::fromLocal8Bit(path.c_str());
            }
        } catch (const std::runtime_error&) {
            // An unreadable folder has no pictures to step to.
        }
        folderListing = listed;
        listedFolder = key;
        listedAt = info.lastModified();
    }
    return folderListing;
}

int ViewerWidget::entryOf(const QString& path, bool browse) {
    const QString wanted = QFileInfo(path).absoluteFilePath();
    for (int i = 0; i < pictures.size(); ++i) {
        if (QFileInfo(pictures.at(i).fileName).absoluteFilePath() == wanted) {
            return i;
        }
    }
    if (!browse) {
        return -1;
    }
    pictures.append(path, QFileInfo(path).size());
    pictures.at(pictures.size() - 1).browsed = true;
    return pictures.size() - 1;
}

QString ViewerWidget::folderStep(long steps, FolderEnd end) {
    if (pictures.empty() || pictures.at(currentIndex).fileName == "-") {
        return QString();
    }
    const QString shown = pictures.at(currentIndex).fileName;
    const QStringList listed = folderPictures(QFileInfo(shown).path());
    if (listed.isEmpty()) {
        return QString();
    }
    if (end == FolderEnd::First) {
        return listed.front();
    }
    if (end == FolderEnd::Last) {
        return listed.back();
    }
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(listed.size()));
    for (const QString& path : listed) {
        paths.push_back(path.toLocal8Bit().toStdString());
    }
    return QString::fromLocal8Bit(
        pictureStepsAway(paths, shown.toLocal8Bit().toStdString(), steps).c_str());
}

void ViewerWidget::stepInFolder(long steps, FolderEnd end) {
    const QString target = folderStep(steps, end);
    if (target.isEmpty() || QFileInfo(target).absoluteFilePath() ==
                                QFileInfo(pictures.at(currentIndex).fileName).absoluteFilePath()) {
        return;
    }
    showEntry(entryOf(target, true));
}

void ViewerWidget::prefetchFolderNeighbours() {
    for (const long steps : {-1L, 1L}) {
        const QString path = folderStep(steps, FolderEnd::None);
        if (path.isEmpty()) {
            continue;
        }
        const int index = entryOf(path, true);
        if (index != currentIndex) {
            prefetch(index);
        }
    }
}

bool ViewerWidget::folderKey(int key) {
    switch (key) {
    case Qt::Key_Right:
        stepInFolder(1, FolderEnd::None);
        return true;
    case Qt::Key_Left:
        stepInFolder(-1, FolderEnd::None);
        return true;
    case Qt::Key_PageDown:
        stepInFolder(pageSteps, FolderEnd::None);
        return true;
    case Qt::Key_PageUp:
        stepInFolder(-pageSteps, FolderEnd::None);
        return true;
    case Qt::Key_Home:
        stepInFolder(0, FolderEnd::First);
        return true;
    case Qt::Key_End:
        stepInFolder(0, FolderEnd::Last);
        return true;
    default:
        return false;
    }
}

QStringList ViewerWidget::expandFolders(const QStringList& files) {
    QStringList expanded;
    for (const QString& name : files) {
        if (QFileInfo(name).isDir()) {
            expanded << folderPictures(name);
        } else {
            expanded << name;
        }
    }
    return expanded;
}
