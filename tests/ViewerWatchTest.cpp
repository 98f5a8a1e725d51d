// Watching the shown file: a writer rewrites it 20 times, each time slowly and in pieces;
// every settled version is shown in turn with the view kept, no half-written file ever shows
// and no box comes up; a version that fails gives one box and the last good picture stays.
#include "ExceptionSafeApplication.h"
#include "FileWatch.h"
#include "ViewerSettle.h"
#include "ViewerWidget.h"
#include "rgbe.h"

#include "ModalCloser.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

namespace {

// Version k: a panorama (2:1) whose width alternates, red where k is even and blue where it
// is odd, so that both the size and a pixel tell the versions apart.
QByteArray version(const QString& scratch, int k) {
    const int width = k % 2 == 0 ? 256 : 128;
    const int height = width / 2;
    std::vector<unsigned char> pixels(4 * static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const double strong = 0.6 + 0.01 * k;
        rgbe::encode(k % 2 == 0 ? strong : 0.05, 0.1, k % 2 == 0 ? 0.05 : strong, &pixels[i]);
    }
    rgbe::write(scratch.toStdString(), width, height, pixels.data(), false);
    QFile file(scratch);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `bytes` over `path` in eight pieces, letting the events run between them, as a slow
// stitcher would; the file is truncated first, so readers see every half-written state.
void writeSlowly(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const int piece = (bytes.size() + 7) / 8;
    for (int offset = 0; offset < bytes.size(); offset += piece) {
        file.write(bytes.mid(offset, piece));
        file.flush();
        QTest::qWait(15);
    }
}

} // namespace

class ViewerWatchTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void rewrittenTwentyTimesShowsEachVersionWithTheViewKept() {
        QTemporaryDir dir;
        const QString path = dir.filePath("pano.hdr");
        const QString scratch = dir.filePath("scratch.hdr");
        writeSlowly(path, version(scratch, 0));
        ViewerWidget widget;
        widget.resize(320, 240);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        ModalCloser closer;
        widget.open({path});
        QVERIFY(settle(widget));
        QCOMPARE(widget.pictures.size(), 1);
        QTest::keyClick(&widget, Qt::Key_W);
        QVERIFY(widget.fileWatch != nullptr);
        QCOMPARE(widget.fileWatch->path(), QFileInfo(path).absoluteFilePath());

        // A view of its own: turned, zoomed, brighter, seen as a little planet.
        QTest::keyClick(&widget, Qt::Key_S);
        widget.view.yaw = 40.0f;
        widget.view.pitch = -20.0f;
        widget.setZoom(3.0f);
        widget.view.fstop = 1.5f;
        const float zoom = widget.view.zoom;
        const QString title = widget.windowTitle();

        // Every frame painted while the files are written must show a whole version.
        int frames = 0;
        int mixed = 0;
        const auto centre = [&widget] {
            return widget.grabFrameBuffer().pixel(widget.width() / 2, widget.height() / 2);
        };
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, &widget, [&] {
            const QRgb pixel = centre();
            ++frames;
            if (qAbs(qRed(pixel) - qBlue(pixel)) < 60) {
                ++mixed;
            }
        });
        watcher.start(25);

        for (int k = 1; k <= 20; ++k) {
            const Texture* before = &widget.currentTexture();
            writeSlowly(path, version(scratch, k));
            QTRY_VERIFY_WITH_TIMEOUT(&widget.currentTexture() != before, 5000);
            QCOMPARE(widget.currentTexture().width, k % 2 == 0 ? 256 : 128);
            const QRgb pixel = centre();
            QVERIFY2(k % 2 == 0 ? qRed(pixel) > qBlue(pixel) + 60 : qBlue(pixel) > qRed(pixel) + 60,
                     qPrintable(QString("version %1: %2").arg(k).arg(pixel, 0, 16)));
            QCOMPARE(widget.windowTitle(), title);
            QCOMPARE(widget.view.projection, Projection::Planet);
            QCOMPARE(widget.view.yaw, 40.0f);
            QCOMPARE(widget.view.pitch, -20.0f);
            QCOMPARE(widget.view.zoom, zoom);
            QCOMPARE(widget.view.fstop, 1.5f);
            QCOMPARE(closer.boxes.size(), 0);
        }
        watcher.stop();
        QVERIFY(frames > 20);
        QCOMPARE(mixed, 0);
    }

    void aVersionThatFailsGivesOneBoxAndTheLastGoodPictureStays() {
        QTemporaryDir dir;
        const QString path = dir.filePath("pano.hdr");
        writeSlowly(path, version(dir.filePath("scratch.hdr"), 0));
        ViewerWidget widget;
        widget.resize(320, 240);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        ModalCloser closer;
        widget.setWatch(true);
        widget.open({path});
        QVERIFY(settle(widget));
        const Texture* good = &widget.currentTexture();
        writeSlowly(path, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 4\n\x01");
        QTRY_COMPARE_WITH_TIMEOUT(closer.boxes.size(), 1, 5000);
        QVERIFY(closer.boxes.first().text.startsWith("Error: "));
        // Still the same picture, and no second box for the same version.
        QTest::qWait(3 * widget.fileWatch->quietMilliseconds);
        QCOMPARE(closer.boxes.size(), 1);
        QCOMPARE(widget.pictures.size(), 1);
        QCOMPARE(&widget.currentTexture(), good);

        // Off: a new version is left alone.
        QTest::keyClick(&widget, Qt::Key_W);
        QVERIFY(widget.fileWatch == nullptr);
        writeSlowly(path, version(dir.filePath("scratch.hdr"), 1));
        QTest::qWait(3 * FileWatch().quietMilliseconds);
        QCOMPARE(&widget.currentTexture(), good);
    }
};

int main(int argc, char** argv) {
    ExceptionSafeApplication app(argc, argv);
    ViewerWatchTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewerWatchTest.moc"
