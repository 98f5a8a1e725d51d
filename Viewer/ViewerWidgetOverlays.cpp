#include "ViewerWidget.h"

#include "HistogramOverlay.h"
#include "PictureTexel.h"
#include "PixelReadout.h"
#include "StatisticsText.h"

#include <QAction>
#include <QFontMetrics>

void ViewerWidget::addOverlayActions() {
    // Moves without a button pressed reach mouseMoveEvent only with tracking on.
    setMouseTracking(true);

    auto* separator = new QAction(this);
    separator->setSeparator(true);
    viewActions << separator;

    readoutAction = new QAction(tr("Pixel &readout"), this);
    readoutAction->setCheckable(true);
    readoutAction->setChecked(true);
    connect(readoutAction, &QAction::triggered, this, [this] { update(); });
    viewActions << readoutAction;

    histogramAction = new QAction(tr("&Histogram"), this);
    histogramAction->setCheckable(true);
    connect(histogramAction, &QAction::triggered, this, [this] { update(); });
    viewActions << histogramAction;
}

void ViewerWidget::trackPointer(const QPoint& position) {
    pointer = position;
    pointerInside = true;
    if (readoutAction->isChecked() && showing()) {
        update();
    }
}

void ViewerWidget::leaveEvent(QEvent* event) {
    pointerInside = false;
    update();
    QGLWidget::leaveEvent(event);
}

void ViewerWidget::drawOverlays() {
    readoutText.clear();
    if (!showing()) {
        return;
    }
    const Texture& picture = currentTexture();
    if (histogramAction->isChecked()) {
        HistogramOverlay::draw(
            currentMetadata().statistics.get(),
            exposureWindow(picture.hdr, view.fstop, picture.scaleMean), view.viewportWidth,
            view.viewportHeight,
            [this](int x, int y, const QString& text) { renderText(x, y, text, QFont()); },
            isGathering(picture) ? QString("Gathering statistics...")
                                 : QString("No statistics for this picture"));
    }
    if (!readoutAction->isChecked() || !pointerInside) {
        return;
    }
    // The centre of the screen pixel under the pointer.
    const glm::dvec2 screen(pointer.x() + 0.5, pointer.y() + 0.5);
    const std::optional<PixelPlace> place =
        pixelPlaceAt(viewState(), picture.width, picture.height, screen);
    if (!place) {
        return;
    }
    PixelReadout readout;
    readout.place = *place;
    readout.encoding = picture.hdr ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
    readout.bytes = readTexel(picture, place->column, place->row);
    readout.exposure = currentMetadata().exposure;
    readout.candelaPerUnit = currentMetadata().candelaPerUnit;
    readoutText = QString::fromStdString(readoutLine(readout));
    glColor3f(1.0f, 1.0f, 1.0f);
    const int bottom = height() - (showInfo ? 40 : 20);
    // Too wide for the window: the place above, the value below.
    const int split = readoutText.indexOf("  RGB ");
    if (split > 0 && QFontMetrics(QFont()).horizontalAdvance(readoutText) > width() - 20) {
        renderText(10, bottom - 18, readoutText.left(split), QFont());
        renderText(10, bottom, readoutText.mid(split + 2), QFont());
    } else {
        renderText(10, bottom, readoutText, QFont());
    }
}
