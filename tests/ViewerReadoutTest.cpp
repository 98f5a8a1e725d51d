// The window's readout line follows the pointer over the picture and goes when it leaves, in
// every projection; v and H toggle the readout and the histogram panel; the loader hands the
// picture's statistics to the window.
#include "ViewerSettle.h"
#include "ViewerWidget.h"

#include "LuminanceStatistics.h"
#include "ModalCloser.h"
#include "PixelReadout.h"
#include "rgbe.h"

#include <QAction>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int width = 256;
constexpr int height = 128;

void movePointer(QWidget& widget, QPoint position) {
    QMouseEvent move(QEvent::MouseMove, position, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &move);
}

void leave(QWidget& widget) {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(&widget, &event);
}

// The line the readout should show at a window position: the pixel the CPU mapping names.
QString expectedStart(const ViewerWidget& widget, QPoint position) {
    const auto place =
        pixelPlaceAt(widget.viewState(), width, height, {position.x() + 0.5, position.y() + 0.5});
    if (!place) {
        return QString();
    }
    return QString("x %1  y %2").arg(place->column).arg(place->row);
}

} // namespace

class ViewerReadoutTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(dir.isValid());
        // The real pointer far from the window, so that only this test's events move it.
        QCursor::setPos(1270, 1010);
        // Every pixel holds its column and row: (column, row, 255).
        std::vector<unsigned char> bytes(static_cast<std::size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                unsigned char* p = &bytes[(static_cast<std::size_t>(y) * width + x) * 4];
                p[0] = static_cast<unsigned char>(x);
                p[1] = static_cast<unsigned char>(y);
                p[2] = 255;
                p[3] = 136;
            }
        }
        path = dir.filePath("coded.hdr");
        rgbe::write(path.toStdString(), width, height, bytes.data(), true);
        closer = std::make_unique<ModalCloser>();
    }
    void cleanup() {
        const QList<ModalCloser::Box> boxes = closer->boxes;
        closer->boxes.clear();
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.value(0).text));
    }
    void cleanupTestCase() { closer.reset(); }

    void readoutFollowsThePointerAndLeavesWithIt() {
        ViewerWidget widget;
        widget.resize(400, 300);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QVERIFY(widget.hasMouseTracking());
        QVERIFY(widget.readoutAction->isChecked());
        QVERIFY(!widget.histogramAction->isChecked());
        widget.open({path});
        QVERIFY(settle(widget));
        QCOMPARE(widget.pictures.size(), 1);
        QCOMPARE(widget.view.projection, Projection::Sphere);

        // Nothing before the pointer comes.
        widget.updateGL();
        QVERIFY(widget.readoutText.isEmpty());

        for (const QPoint position : {QPoint(200, 150), QPoint(37, 41), QPoint(390, 280)}) {
            movePointer(widget, position);
            widget.updateGL();
            const QString start = expectedStart(widget, position);
            QVERIFY(!start.isEmpty());
            QVERIFY2(widget.readoutText.startsWith(start + "  lon "),
                     qPrintable(widget.readoutText));
            // The value is the file's: red and green are the column and row.
            const QStringList words = start.split(' ', Qt::SkipEmptyParts);
            QVERIFY2(
                widget.readoutText.contains(QString("RGB %1 %2 255  L ").arg(words[1], words[3])),
                qPrintable(widget.readoutText));
        }
        // The view turns under a still pointer: the line follows.
        const QString before = widget.readoutText;
        widget.view.yaw += 30.0f;
        widget.updateGL();
        QVERIFY(widget.readoutText != before);
        QVERIFY(widget.readoutText.startsWith(expectedStart(widget, QPoint(390, 280)) + "  lon "));

        leave(widget);
        widget.updateGL();
        QVERIFY(widget.readoutText.isEmpty());

        // v hides it with the pointer over the picture, and shows it again.
        movePointer(widget, QPoint(200, 150));
        type(widget, "v");
        QVERIFY(!widget.readoutAction->isChecked());
        widget.updateGL();
        QVERIFY(widget.readoutText.isEmpty());
        type(widget, "v");
        widget.updateGL();
        QVERIFY(widget.readoutText.startsWith(expectedStart(widget, QPoint(200, 150))));

        // The flat view: over the picture a line without angles, beside it none.
        type(widget, "p");
        QCOMPARE(widget.view.projection, Projection::Flat);
        // The whole picture, 400 x 200 from row 50 of the window.
        type(widget, "0");
        movePointer(widget, QPoint(200, 150));
        widget.updateGL();
        QVERIFY(widget.readoutText.startsWith(expectedStart(widget, QPoint(200, 150)) + "  RGB "));
        movePointer(widget, QPoint(200, 5));
        widget.updateGL();
        QVERIFY(expectedStart(widget, QPoint(200, 5)).isEmpty());
        QVERIFY(widget.readoutText.isEmpty());

        // The little planet.
        type(widget, "s");
        movePointer(widget, QPoint(150, 100));
        widget.updateGL();
        QVERIFY(widget.readoutText.startsWith(expectedStart(widget, QPoint(150, 100)) + "  lon "));
    }

    void histogramPanelShowsTheLoadersStatistics() {
        ViewerWidget widget;
        widget.resize(600, 400);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        widget.open({path});
        QVERIFY(settle(widget));
        QCOMPARE(widget.pictures.size(), 1);
        const LuminanceStatistics* statistics = widget.currentMetadata().statistics.get();
        QVERIFY(statistics != nullptr);
        QVERIFY(statistics->solidAngle);
        // Blue is 255 everywhere: no pixel is black, none darker than 255 * 0.065.
        QCOMPARE(statistics->blackShare, 0.0);
        QVERIFY(statistics->min >= 255 * 0.065);

        // The panel darkens the top-right corner of the frame.
        widget.updateGL();
        const QImage without = widget.grabFrameBuffer();
        type(widget, "H");
        QVERIFY(widget.histogramAction->isChecked());
        widget.updateGL();
        const QImage with = widget.grabFrameBuffer();
        const QPoint inside(600 - 30, 25);
        QVERIFY(qGray(with.pixel(inside)) < qGray(without.pixel(inside)));
        // Left of the panel, nothing changed.
        QCOMPARE(with.pixel(20, 200), without.pixel(20, 200));
        type(widget, "H");
        QVERIFY(!widget.histogramAction->isChecked());

        // Both toggles are in the context menu, after the widget's own actions.
        const QList<QAction*> menu = widget.menuActions();
        QVERIFY(menu.contains(widget.readoutAction));
        QVERIFY(menu.contains(widget.histogramAction));
        QVERIFY(menu.indexOf(widget.readoutAction) > widget.actions().size());
    }

private:
    QTemporaryDir dir;
    QString path;
    std::unique_ptr<ModalCloser> closer;
};

QTEST_MAIN(ViewerReadoutTest)
#include "ViewerReadoutTest.moc"
