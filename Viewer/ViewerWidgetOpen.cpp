#include "ViewerWidget.h"

#include "ViewLimits.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

#include <exception>

namespace {

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

QString ViewerWidget::pictureTitle() const {
    const QString name = fileNames.at(currentIndex);
    const std::string& layer = currentTexture().layer;
    return layer.empty() ? name : name + ":" + QString::fromStdString(layer);
}

void ViewerWidget::open(const QStringList& files) {
    // Old pictures are deleted and new ones made in this widget's context.
    makeCurrent();
    textures.clear();
    fileNames.clear();
    currentIndex = 0;

    std::vector<std::unique_ptr<Texture>> loaded;
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
            updateGL();
            makeCurrent();
            loaded.push_back(std::make_unique<Texture>(name.toLocal8Bit().toStdString()));
            loadedNames << name;
        } catch (const std::exception& error) {
            QMessageBox::critical(this, tr("Marovex Viewer"),
                                  QString("Error: %1").arg(QString::fromUtf8(error.what())),
                                  QMessageBox::Ok);
        }
    }

    if (!loaded.empty()) {
        textures = std::move(loaded);
        fileNames = loadedNames;
        const Texture& first = currentTexture();
        yaw = pitch = zoom = 0.0f;
        projection = defaultProjection(first.width, first.height, first.projectionHint);
        setZoom(0.0f);
        fstop = 0.0f;
        updateGL();
        setWindowTitle(pictureTitle());
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
    const QStringList files = QFileDialog::getOpenFileNames(
        this, tr("Choose image(s) to display"), workingDirectory,
        tr("Supported Images (*.hdr *.jpg *.jpeg);;HDR Image (*.hdr);;JPEG Image (*.jpg *.jpeg);;"
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
    if (data->hasFormat("text/uri-list") && !filterUrlList(data->urls()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void ViewerWidget::dropEvent(QDropEvent* event) {
    open(filterUrlList(event->mimeData()->urls()));
    event->acceptProposedAction();
}
