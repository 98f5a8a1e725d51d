// marovex-render as a whole process: the colours it draws, its agreement with the viewer
// widget's own frames, and its failures.
#include "ViewerSettle.h"
#include "ViewerWidget.h"

#include "rgbe.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(Projection)

namespace {

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run render(const QStringList& args,
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(MAROVEX_RENDER, args);
    Run run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = "did not finish";
        return run;
    }
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// Longitude quadrants centred on columns 0, w/4, w/2 and 3w/4 in red, green, blue and yellow,
// radiance 1, and black below 45 degrees down, so that an upside-down view shows.
void writeQuadrantPanorama(const QString& path, int width) {
    const int height = width / 2;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4, 0);
    const std::uint8_t colours[4][3] = {{128, 0, 0}, {0, 128, 0}, {0, 0, 128}, {128, 128, 0}};
    for (int y = 0; y < height * 3 / 4; ++y) {
        for (int x = 0; x < width; ++x) {
            const int quadrant = ((x + width / 8) % width) / (width / 4);
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            std::copy(colours[quadrant], colours[quadrant] + 3, p);
            p[3] = 129;
        }
    }
    rgbe::write(path.toStdString(), width, height, pixels.data(), true);
}

// Our PPM: four header lines, then the bytes.
QImage readPpm(const QByteArray& bytes) {
    QList<QByteArray> lines;
    int at = 0;
    for (int i = 0; i < 4; ++i) {
        const int end = bytes.indexOf('\n', at);
        if (end < 0) {
            return QImage();
        }
        lines << bytes.mid(at, end - at);
        at = end + 1;
    }
    const QList<QByteArray> size = lines[2].split(' ');
    if (lines[0] != "P6" || lines[1] != "# CREATOR: Marovex Stitcher" || size.size() != 2 ||
        lines[3] != "255") {
        return QImage();
    }
    const int w = size[0].toInt();
    const int h = size[1].toInt();
    if (bytes.size() - at != w * h * 3) {
        return QImage();
    }
    QImage image(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        std::copy_n(bytes.constData() + at + y * w * 3, w * 3, image.scanLine(y));
    }
    return image;
}

QImage readPpmFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? readPpm(file.readAll()) : QImage();
}

QString rgb(QRgb c) {
    return QString("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

int largestDifference(const QImage& a, const QImage& b, QPoint* where) {
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            const int d = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                    std::abs(qBlue(p) - qBlue(q))});
            if (d > largest) {
                largest = d;
                *where = QPoint(x, y);
            }
        }
    }
    return largest;
}

QByteArray line(const QString& text) {
    return ("marovex-render: " + text + "\n").toUtf8();
}

} // namespace

class RenderToolTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        panorama = dir.filePath("quadrants.hdr");
        writeQuadrantPanorama(panorama, 512);
    }

    void centreColourFollowsTheYaw_data() {
        QTest::addColumn<QString>("yaw");
        QTest::addColumn<QString>("channels");
        QTest::addColumn<QRgb>("expected");
        QTest::newRow("0: the centre column") << "0"
                                              << "rgb" << qRgb(0, 0, 255);
        QTest::newRow("90: a quarter") << "90"
                                       << "rgb" << qRgb(0, 255, 0);
        QTest::newRow("180: column 0") << "180"
                                       << "rgb" << qRgb(255, 0, 0);
        QTest::newRow("270") << "270"
                             << "rgb" << qRgb(255, 255, 0);
        QTest::newRow("-90 as 270") << "-90"
                                    << "rgb" << qRgb(255, 255, 0);
        QTest::newRow("green of yellow") << "270"
                                         << "g" << qRgb(0, 255, 0);
        QTest::newRow("red of green") << "90"
                                      << "r" << qRgb(0, 0, 0);
    }
    // Radiance 1 at f-stop 6 is far above white: every channel is 0 or 255.
    void centreColourFollowsTheYaw() {
        QFETCH(QString, yaw);
        QFETCH(QString, channels);
        QFETCH(QRgb, expected);
        const QString out = dir.filePath("centre.ppm");
        const Run run = render({"--size", "64x48", "--fstop", "6", "--yaw", yaw, "--channels",
                                channels, panorama, out});
        QVERIFY2(run.code == 0, run.err.constData());
        const QImage image = readPpmFile(out);
        QCOMPARE(image.size(), QSize(64, 48));
        QCOMPARE(rgb(image.pixel(32, 24)), rgb(expected));
        // The sky is at the top, the black band below 45 degrees down at the bottom.
        QCOMPARE(rgb(image.pixel(32, 2)), rgb(expected));
        QCOMPARE(rgb(image.pixel(32, 45)), rgb(qRgb(0, 0, 0)));
    }

    // A 3 x 2 flat picture fills a 300 x 200 output at the default zoom, 100 pixels a pixel.
    void flatPictureInEachOutputType() {
        const std::uint8_t colours[6][3] = {{200, 30, 60},  {10, 220, 90}, {70, 80, 240},
                                            {250, 250, 20}, {0, 128, 128}, {160, 0, 160}};
        const QString input = dir.filePath("flat.ppm");
        QFile file(input);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("P6\n3 2\n255\n");
        file.write(reinterpret_cast<const char*>(colours), sizeof colours);
        file.close();

        for (const QString type : {"png", "jpg", "ppm"}) {
            const QString out = dir.filePath("flat-out." + type);
            const Run run = render({"--size", "300x200", input, out});
            QVERIFY2(run.code == 0, run.err.constData());
            const QImage image = type == "ppm" ? readPpmFile(out) : QImage(out);
            QCOMPARE(image.size(), QSize(300, 200));
            const int tolerance = type == "jpg" ? 10 : 0;
            for (int i = 0; i < 6; ++i) {
                const QRgb p = image.pixel(50 + 100 * (i % 3), 50 + 100 * (i / 3));
                QVERIFY2(std::abs(qRed(p) - colours[i][0]) <= tolerance &&
                             std::abs(qGreen(p) - colours[i][1]) <= tolerance &&
                             std::abs(qBlue(p) - colours[i][2]) <= tolerance,
                         qPrintable(type + ": " + rgb(p) + " at block " + QString::number(i)));
            }
        }

        // Radiance output holds the displayed values as linear light.
        const QString out = dir.filePath("flat-out.HDR");
        const Run run = render({"--size", "300x200", input, out});
        QVERIFY2(run.code == 0, run.err.constData());
        int width = 0;
        int height = 0;
        std::unique_ptr<unsigned char[]> pixels(rgbe::read(out.toStdString(), width, height));
        QCOMPARE(width, 300);
        QCOMPARE(height, 200);
        for (int i = 0; i < 6; ++i) {
            const unsigned char* p = &pixels[((50 + 100 * (i / 3)) * 300 + 50 + 100 * (i % 3)) * 4];
            for (int c = 0; c < 3; ++c) {
                const double display = colours[i][c] / 255.0;
                const double linear =
                    display <= 0.04045 ? display / 12.92 : std::pow((display + 0.055) / 1.055, 2.4);
                const double decoded = p[3] == 0 ? 0.0 : std::ldexp(p[c] + 0.5, p[3] - 136);
                QVERIFY2(std::abs(decoded - linear) <= 0.01 * linear + 0.004,
                         qPrintable(QString("block %1 channel %2: %3 for %4")
                                        .arg(i)
                                        .arg(c)
                                        .arg(decoded)
                                        .arg(linear)));
            }
        }
    }

    void sameFrameAsTheViewerWidget_data() {
        QTest::addColumn<Projection>("projection");
        QTest::addColumn<float>("yaw");
        QTest::addColumn<float>("pitch");
        QTest::addColumn<float>("zoom");
        QTest::newRow("sphere") << Projection::Sphere << 37.0f << 20.0f << 0.9f;
        QTest::newRow("sphere zoomed out") << Projection::Sphere << -120.0f << -30.0f << 0.2f;
        QTest::newRow("planet") << Projection::Planet << 10.0f << -70.0f << 0.4f;
        QTest::newRow("flat") << Projection::Flat << 30.0f << -10.0f << 0.5f;
    }
    void sameFrameAsTheViewerWidget() {
        QFETCH(Projection, projection);
        QFETCH(float, yaw);
        QFETCH(float, pitch);
        QFETCH(float, zoom);
        ViewerWidget widget;
        widget.timer->stop();
        widget.resize(160, 120);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        widget.open({panorama});
        QVERIFY(settle(widget));
        QCOMPARE(widget.pictures.size(), 1);
        QCOMPARE(widget.view.viewportWidth, 160);
        QCOMPARE(widget.view.viewportHeight, 120);
        widget.view.projection = projection;
        widget.view.yaw = yaw;
        widget.view.pitch = pitch;
        widget.view.zoom = zoom;
        widget.view.fstop = 2.0f;
        widget.updateGL();
        const QImage frame = widget.grabFrameBuffer();

        const QString names[] = {"flat", "sphere", "planet"};
        const QString out = dir.filePath("frame.ppm");
        const Run run =
            render({"--size", "160x120", "--projection", names[static_cast<int>(projection)],
                    "--yaw", QString::number(yaw), "--pitch", QString::number(pitch), "--zoom",
                    QString::number(zoom), "--fstop", "2", panorama, out});
        QVERIFY2(run.code == 0, run.err.constData());
        const QImage image = readPpmFile(out);
        QCOMPARE(image.size(), frame.size());
        QPoint where;
        const int difference = largestDifference(image, frame, &where);
        QVERIFY2(difference <= 1,
                 qPrintable(QString("%1 at (%2, %3): %4 rendered, %5 in the widget")
                                .arg(difference)
                                .arg(where.x())
                                .arg(where.y())
                                .arg(rgb(image.pixel(where)))
                                .arg(rgb(frame.pixel(where)))));
    }

    void failuresSayWhyInOneLine() {
        const QString missing = dir.filePath("missing.hdr");
        const QString out = dir.filePath("never.png");
        Run run = render({missing, out});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, line("Failed to open file '" + missing + "': No such file or directory"));

        run = render({"--bogus", panorama, out});
        QCOMPARE(run.code, 2);
        QCOMPARE(run.err, line("unknown option '--bogus' (see --help)"));

        run = render({"--size", "640x0", panorama, out});
        QCOMPARE(run.code, 2);
        QCOMPARE(run.err, line("bad size '640x0': expected WxH with each side from 1 to 8192"));

        run = render({"--size", "wide", panorama, out});
        QCOMPARE(run.code, 2);
        QCOMPARE(run.err, line("bad size 'wide': expected WxH with each side from 1 to 8192"));

        const QString folder = dir.filePath("nowhere/out.png");
        run = render({"--size", "8x8", panorama, folder});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, line("Failed to open file '" + folder + "': No such file or directory"));

        // Without a display EGL draws; with no EGL driver either, the error names both.
        QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
        noDisplay.remove("DISPLAY");
        noDisplay.insert("__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent.json");
        run = render({panorama, out}, noDisplay);
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err,
                 line("no X display, and EGL lacks Mesa's surfaceless platform "
                      "(EGL_MESA_platform_surfaceless; Debian package libegl-mesa0): set DISPLAY "
                      "or run under xvfb-run -a"));

        run = render({"--fov", "90", "--projection", "flat", panorama, out});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.startsWith("marovex-render: --fov needs the sphere or planet") &&
                     run.err.count('\n') == 1,
                 run.err.constData());
        QVERIFY(!QFile::exists(out));
    }

    // A FIFO nobody writes: refused at once under the name of a reader that takes regular
    // files only; a RADIANCE reader's wait for the header ends in its error. The run's own
    // bound (render()) stands for the hang this was.
    void fifosAreRefusedOrWaitedForBoundedly_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("error");
        for (const char* name : {"pipe.png", "pipe.jpeg", "pipe.exr", "pipe.cr2", "pipe"}) {
            QTest::newRow(name) << name << "Failed to read file '%1': not a regular file";
        }
        QTest::newRow("pipe.hdr") << "pipe.hdr"
                                  << "Not a RADIANCE file: '%1' (no header within 10 seconds)";
    }

    void fifosAreRefusedOrWaitedForBoundedly() {
        QFETCH(QString, name);
        QFETCH(QString, error);
        QTemporaryDir own;
        const QString fifo = own.filePath(name);
        QCOMPARE(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
        const QString out = own.filePath("out.png");
        const Run run = render({"--size", "8x8", fifo, out});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err, line(error.arg(fifo)));
        QVERIFY(!QFile::exists(out));
    }

    // A picture that fails to load leaves neither the output nor a temporary file.
    void failedRunLeavesNoFile() {
        QTemporaryDir own;
        const QString broken = own.filePath("broken.hdr");
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 4\n\x01\x02");
        file.close();
        const QString out = own.filePath("out.jpg");
        QFile previous(out);
        QVERIFY(previous.open(QIODevice::WriteOnly));
        previous.write("old");
        previous.close();

        const Run run = render({"--size", "8x8", broken, out});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.startsWith("marovex-render: ") && run.err.count('\n') == 1,
                 run.err.constData());
        QCOMPARE(QDir(own.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"broken.hdr", "out.jpg"}));
        QFile kept(out);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("old"));

        // Written in full, but it cannot take the place of a folder: the temporary goes.
        QVERIFY(QDir(own.path()).mkdir("taken.png"));
        const Run taken = render({"--size", "8x8", panorama, own.filePath("taken.png")});
        QCOMPARE(taken.code, 1);
        QVERIFY2(taken.err.startsWith("marovex-render: Failed to rename '") &&
                     taken.err.count('\n') == 1,
                 taken.err.constData());
        QCOMPARE(QDir(own.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"broken.hdr", "out.jpg"}));
    }

    void helpAndStandardOutput() {
        Run run = render({"--help"});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.startsWith("Usage: marovex-render [options] INPUT OUTPUT\n"));
        QVERIFY(run.err.isEmpty());

        run = render({"--size", "4x3", "--fstop", "6", panorama, "-"});
        QCOMPARE(run.code, 0);
        const QImage image = readPpm(run.out);
        QCOMPARE(image.size(), QSize(4, 3));
        // 43 columns to a pixel: the mip levels blur a little of the yellow quarter in, which
        // six f-stops make visible; blue stays saturated and far above the rest.
        const QRgb centre = image.pixel(2, 1);
        QCOMPARE(qBlue(centre), 255);
        QVERIFY2(qRed(centre) < 128 && qGreen(centre) < 128, rgb(centre).toLatin1().constData());
    }

private:
    QTemporaryDir dir;
    QString panorama;
};

QTEST_MAIN(RenderToolTest)
#include "RenderToolTest.moc"
