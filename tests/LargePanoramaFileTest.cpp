// Panoramas wider than the card takes in one texture, 24576 and 32768 pixels, written to
// RADIANCE files and opened the way a user opens them: in the viewer window and through
// marovex-render. What each shows is checked against the view module's CPU mapping.
#include "LargePanoramaPattern.h"
#include "ViewLimits.h"
#include "ViewMapping.h"
#include "ViewerSettle.h"
#include "ViewerWidget.h"
#include "rgbe.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

glm::dvec3 rgbAt(const QImage& frame, int x, int y) {
    const QRgb p = frame.pixel(x, y);
    return glm::dvec3(qRed(p), qGreen(p), qBlue(p)) / 255.0;
}

// Two 255ths as the float tests allow, and half of one for the 8-bit frame.
constexpr double tolerance = 2.5 / 255;

// Checks the frame's pixels that the CPU can predict from the mapping alone: in a magnified
// view every pixel (bilinear radiance), in a reduced one the quarter's blue and the caps'
// colours where the pixel's footprint lies well inside one of them. Returns a failure text.
QString compare(const QImage& frame, const Pattern& pattern, const ViewState& view) {
    if (frame.width() != view.viewportWidth || frame.height() != view.viewportHeight) {
        return QString("frame of %1 x %2").arg(frame.width()).arg(frame.height());
    }
    const ViewMapping mapping(view, pattern.width, pattern.height);
    const bool magnified = view.zoom >= 2.0f;
    int checked = 0;
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            const ViewMapping::Spot spot = mapping.pictureAt({x + 0.5, y + 0.5});
            if (!spot.inside) {
                continue;
            }
            const glm::dvec2 q = spot.position;
            const glm::dvec3 actual = rgbAt(frame, x, y);
            glm::dvec3 expected;
            int firstChannel = 0;
            if (magnified) {
                expected = pattern.bilinear(q);
            } else {
                // Far enough from every edge of the pattern that the mip average is plain.
                const double margin = pattern.width / 24.0;
                const double latitude = 90.0 - q.y * 180.0 / pattern.height;
                const double capMargin = margin * 180.0 / pattern.height;
                const int column = static_cast<int>(q.x);
                const double inQuarter = std::fmod(q.x + pattern.width / 8.0, pattern.width / 4.0);
                if (std::abs(std::abs(latitude) - 60.0) < capMargin) {
                    continue;
                }
                if (std::abs(latitude) > 60.0) {
                    expected = pattern.radiance(column, static_cast<int>(q.y));
                } else if (inQuarter > margin && inQuarter < pattern.width / 4.0 - margin) {
                    expected = pattern.radiance(column, static_cast<int>(q.y));
                    firstChannel = 2; // red and green vary within the footprint
                } else {
                    continue;
                }
            }
            for (int c = firstChannel; c < 3; ++c) {
                if (std::abs(actual[c] - toDisplay(expected[c])) > tolerance) {
                    return QString("pixel %1, %2 channel %3 is %4, the CPU says %5 at %6, %7")
                        .arg(x)
                        .arg(y)
                        .arg(c)
                        .arg(actual[c])
                        .arg(toDisplay(expected[c]))
                        .arg(q.x)
                        .arg(q.y);
                }
            }
            ++checked;
        }
    }
    // A view that lands nowhere checkable proves nothing.
    return checked >= frame.width() * frame.height() / 8
               ? QString()
               : QString("only %1 pixels could be checked").arg(checked);
}

ViewState viewOf(Projection projection, float yaw, float pitch, float zoom, float fstop) {
    ViewState view;
    view.projection = projection;
    view.yaw = yaw;
    view.pitch = pitch;
    view.zoom = zoom;
    view.fstop = fstop;
    view.viewportWidth = 96;
    view.viewportHeight = 54;
    return view;
}

// The sphere view turned so that picture position (column, row) is in the middle.
ViewState lookingAt(double column, double row, int width, float zoom, float fstop) {
    const double height = width / 2.0;
    return viewOf(Projection::Sphere, static_cast<float>((width / 2.0 - column) * 360.0 / width),
                  static_cast<float>(90.0 - row * 180.0 / height), zoom, fstop);
}

} // namespace

class LargePanoramaFileTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(dir.isValid());
    }

    void opensInTheViewerAndTheRenderer_data() {
        QTest::addColumn<int>("width");
        QTest::newRow("24576") << 24576;
        // Beyond run-length scanlines: a flat file of 2 GiB.
        QTest::newRow("32768") << 32768;
    }

    void opensInTheViewerAndTheRenderer() {
        QFETCH(int, width);
        const Pattern pattern{width, width / 2};
        const QString path = dir.filePath(QString("wide-%1.hdr").arg(width));
        float fstop = 0.0f;
        {
            Picture picture = pattern.picture();
            const std::uint64_t count = static_cast<std::uint64_t>(width) * pattern.height;
            // The f-stop at which the display shows the radiance itself, whatever exposure the
            // reader derives from the file's statistics.
            const double mean =
                rgbe::exposureScale(rgbe::stats(picture.pixels.get(), count, 0)).mean;
            fstop = static_cast<float>(std::log2(mean) + 2.0);
            rgbe::write(path.toStdString(), width, pattern.height, picture.pixels.get(), true);
        }

        checkViewer(pattern, path, fstop);
        if (QTest::currentTestFailed()) {
            return;
        }
        checkRenderer(pattern, path, fstop);
        QFile::remove(path);
    }

private:
    void checkViewer(const Pattern& pattern, const QString& path, float fstop) {
        const int width = pattern.width;
        ViewerWidget widget;
        widget.resize(96, 54);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        widget.open({path});
        QVERIFY(settle(widget));
        QCOMPARE(widget.pictures.size(), 1);
        QCOMPARE(widget.windowTitle(), path);
        const Texture& texture = widget.currentTexture();
        QCOMPARE(texture.width, width);
        QVERIFY(texture.tileColumns * texture.texWidth >= width);

        auto show = [&](const ViewState& view) {
            widget.view.projection = view.projection;
            widget.view.yaw = view.yaw;
            widget.view.pitch = view.pitch;
            widget.view.zoom = view.zoom;
            widget.view.fstop = view.fstop;
            widget.updateGL();
            return widget.grabFrameBuffer();
        };
        const float lowest = lowestZoom(Projection::Sphere, width, width / 2, 96, 54);
        // Each quarter where its yaw looks, the caps straight up and down.
        for (const float yaw : {0.0f, 90.0f, 180.0f, 270.0f}) {
            const ViewState view = viewOf(Projection::Sphere, yaw, 20.0f, lowest, fstop);
            const QString failure = compare(show(view), pattern, view);
            QVERIFY2(failure.isEmpty(), qPrintable(QString("yaw %1: %2").arg(yaw).arg(failure)));
        }
        for (const float pitch : {90.0f, -90.0f}) {
            const ViewState view = viewOf(Projection::Sphere, 0.0f, pitch, lowest, fstop);
            const QString failure = compare(show(view), pattern, view);
            QVERIFY2(failure.isEmpty(),
                     qPrintable(QString("pitch %1: %2").arg(pitch).arg(failure)));
        }
        // Magnified, every pixel, on the seams.
        const double tile = texture.texWidth;
        const double height = width / 2.0;
        const struct {
            const char* name;
            double column;
            double row;
        } spots[] = {{"tile boundary", tile, 0.4 * height},
                     {"360-degree edge", 0, 0.5 * height},
                     {"tile row boundary", width / 7.0, static_cast<double>(texture.texHeight)},
                     {"north pole", width / 3.0, 40},
                     {"south pole", width / 5.0, height - 40}};
        for (const auto& spot : spots) {
            const ViewState view = lookingAt(spot.column, spot.row, width, 4.0f, fstop);
            const QString failure = compare(show(view), pattern, view);
            QVERIFY2(failure.isEmpty(), qPrintable(QString("%1: %2").arg(spot.name, failure)));
        }
    }

    void checkRenderer(const Pattern& pattern, const QString& path, float fstop) {
        const int width = pattern.width;
        const float flatZoom = lowestZoom(Projection::Flat, width, width / 2, 96, 54);
        const ViewState views[] = {
            // The whole picture: the quarters side by side, the caps along the edges.
            viewOf(Projection::Flat, 0.0f, 0.0f, flatZoom, fstop),
            // The 360-degree edge, which is also where the last tile meets the first.
            lookingAt(0, 0.3 * width / 2, width, 4.0f, fstop),
        };
        for (const ViewState& view : views) {
            const QString out = dir.filePath("view.png");
            const QString names[] = {"flat", "sphere", "planet"};
            QProcess process;
            process.start(MAROVEX_RENDER, {"--size", "96x54", "--projection",
                                           names[static_cast<int>(view.projection)], "--yaw",
                                           QString::number(view.yaw, 'g', 9), "--pitch",
                                           QString::number(view.pitch, 'g', 9), "--zoom",
                                           QString::number(view.zoom, 'g', 9), "--fstop",
                                           QString::number(view.fstop, 'g', 9), path, out});
            QVERIFY(process.waitForFinished(120000));
            QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
            const QString failure = compare(QImage(out), pattern, view);
            QVERIFY2(failure.isEmpty(),
                     qPrintable(QString("marovex-render %1: %2")
                                    .arg(names[static_cast<int>(view.projection)])
                                    .arg(failure)));
        }
    }

    QTemporaryDir dir;
};

QTEST_MAIN(LargePanoramaFileTest)
#include "LargePanoramaFileTest.moc"
