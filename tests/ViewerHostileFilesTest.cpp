// Hostile files opened in the window among good ones: one error box each, naming its file, and
// the good pictures load.
#include "ViewerSettle.h"
#include "ViewerWidget.h"
#include "rgbe.h"

#include "ModalCloser.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <vector>

namespace {

QString write(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
    return path;
}

// A PNG header declaring 50000 x 50000 RGB pixels, with no data after it.
QByteArray pngBomb() {
    return QByteArray::fromHex("89504e470d0a1a0a0000000d49484452"
                               "0000c3500000c3500802000000c4cdaa9d"
                               "0000000049454e44ae426082");
}

} // namespace

class ViewerHostileFilesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void eachBadFileGetsOneBoxAndTheRestLoads() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::vector<unsigned char> pixels(64 * 32 * 4, 128);
        const QString good = dir.filePath("good.hdr");
        rgbe::write(good.toStdString(), 64, 32, pixels.data(), true);
        QImage image(20, 10, QImage::Format_RGB32);
        image.fill(qRgb(10, 200, 30));
        const QString png = dir.filePath("good.png");
        QVERIFY(image.save(png, "PNG"));

        const QString zero = dir.filePath("zero.hdr");
        QCOMPARE(symlink("/dev/zero", zero.toLocal8Bit().constData()), 0);
        const QStringList bad = {
            write(dir, "bomb.png", pngBomb()),
            write(dir, "short.ppm", QByteArray("P6 8 8 255\n") + QByteArray(70, 'x')),
            zero,
            write(dir, "drawing.xcf", "gimp xcf v011"),
            write(dir, "broken.tif", "II*\0garbage"),
        };

        ViewerWidget widget;
        widget.resize(300, 200);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        ModalCloser closer;
        widget.open({bad[0], good, bad[1], bad[2], png, bad[3], bad[4]});
        QVERIFY(settle(widget));

        QCOMPARE(widget.fileNames(), (QStringList{good, png}));
        QCOMPARE(widget.pictures.size(), 2);
        QCOMPARE(closer.boxes.size(), bad.size());
        for (int i = 0; i < bad.size(); ++i) {
            QCOMPARE(closer.boxes[i].title, QString("Marovex Viewer"));
            QVERIFY2(closer.boxes[i].text.startsWith("Error: "), qPrintable(closer.boxes[i].text));
            QVERIFY2(closer.boxes[i].text.contains("'" + bad[i] + "'"),
                     qPrintable(closer.boxes[i].text));
        }
        QVERIFY(widget.isVisible());
    }
};

QTEST_MAIN(ViewerHostileFilesTest)
#include "ViewerHostileFilesTest.moc"
