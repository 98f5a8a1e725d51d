// The picture set in the real viewer window: a long list of 2048 x 1024 RADIANCE files (hard
// links of one file) opened at once against one of them alone, the steps through all of them
// and the peak memory meanwhile; R on a large panorama against the longest gap between timer
// ticks; and how long Esc and q take at moments through the loads of an OpenEXR, a TIFF and a
// RADIANCE file. Run by hand under an X display:
//   picture-set-bench [FILES (1000)] [LARGE WIDTH (16384, 0: none)] [BUDGET MB (the default)]
//   [0: stop after the steps]
#include "Diagnostics.h"
#include "PictureWriter.h"
#include "ViewerWidget.h"
#include "rgbe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGLFormat>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

double peakMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1000.0;
        }
    }
    return 0.0;
}

// Runs the events until `done` holds; the seconds it took.
template <typename Done> double waitFor(Done done, double limit = 600.0) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limit * 1000.0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return clock.nsecsElapsed() / 1e9;
}

void press(QWidget& widget, const QString& text, int key = Qt::Key_unknown) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(&widget, &event);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

void writePanorama(const std::string& path, int width) {
    const int height = width / 2;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        unsigned char* p = pixels.data() + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x, p += 4) {
            p[0] = static_cast<unsigned char>(128 + (x * 7) % 128);
            p[1] = static_cast<unsigned char>(128 + (y * 5) % 128);
            p[2] = static_cast<unsigned char>(128 + ((x ^ y) & 127));
            p[3] = static_cast<unsigned char>(120 + (x / 512 + y / 512) % 16);
        }
    }
    rgbe::write(path, width, height, pixels.data(), true);
}

// Seconds from open to the first picture on the screen.
double firstView(ViewerWidget& widget, const QStringList& files) {
    QElapsedTimer clock;
    clock.start();
    widget.open(files);
    waitFor([&] { return widget.showing(); });
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int largeWidth = argc > 2 ? std::atoi(argv[2]) : 16384;
    const DiagnosticsSilenced quiet(true);
    QTemporaryDir dir;
    const std::string one = dir.filePath("p0.hdr").toStdString();
    writePanorama(one, 2048);
    QStringList files;
    files << QString::fromStdString(one);
    for (int i = 1; i < count; ++i) {
        const QString name = dir.filePath(QString("p%1.hdr").arg(i));
        if (::link(one.c_str(), name.toLocal8Bit().constData()) != 0) {
            std::perror("link");
            return 1;
        }
        files << name;
    }

    ViewerWidget widget;
    if (argc > 3 && std::atoll(argv[3]) > 0) {
        widget.setResidentBudget(static_cast<std::size_t>(std::atoll(argv[3])) * 1000000);
    }
    widget.resize(1280, 720);
    widget.show();
    waitFor([&] { return widget.windowHandle() != nullptr && widget.windowHandle()->isExposed(); },
            10.0);

    std::vector<double> alone;
    for (int r = 0; r < 3; ++r) {
        alone.push_back(firstView(widget, {files.front()}));
        waitFor([&] { return !widget.isLoading(); });
    }
    // Each open of the list gives up the one before, as a user opening it again would.
    std::vector<double> lists;
    for (int r = 0; r < 3; ++r) {
        lists.push_back(firstView(widget, files));
    }
    const double list = median(lists);
    std::printf("%d files of 2048 x 1024, budget %.0f MB\n", count, widget.residentBudget / 1e6);
    std::printf("first view: one file %.3fs, the list %.3fs (medians of 3): %.2fx\n",
                median(alone), list, list / median(alone));

    // Steps through the list, each to its neighbour once read ahead: until it shows, and until
    // the frame after it is painted.
    std::vector<double> steps;
    const double peakBefore = peakMegabytes();
    for (int i = 1; i < count; ++i) {
        // As a person looks at each picture a moment: its neighbour is read meanwhile.
        waitFor([&] { return widget.pictures.at(i).texture != nullptr; }, 30.0);
        QElapsedTimer clock;
        clock.start();
        press(widget, "<");
        waitFor([&] { return widget.showing() && widget.currentIndex == i; });
        widget.updateGL();
        steps.push_back(clock.nsecsElapsed() / 1e9);
    }
    std::sort(steps.begin(), steps.end());
    std::printf("steps: median %.4fs, 95th %.4fs, slowest %.4fs (%.2fx one file)\n", median(steps),
                steps[steps.size() * 95 / 100], steps.back(), steps.back() / median(alone));
    std::printf("peak resident %.0f MB (%.0f MB before stepping), budget + 200 MB = %.0f MB\n",
                peakMegabytes(), peakBefore, widget.residentBudget / 1e6 + 200.0);
    widget.open({});
    waitFor([&] { return !widget.isLoading() && widget.loadsIdle(); });
    if (argc > 4 && std::atoi(argv[4]) == 0) {
        return 0;
    }

    if (largeWidth > 0) {
        const std::string large = dir.filePath("large.hdr").toStdString();
        writePanorama(large, largeWidth);
        widget.open({QString::fromStdString(large)});
        waitFor([&] { return !widget.isLoading(); });
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 gap = 0;
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            gap = std::max(gap, now - last);
            last = now;
        });
        ticks.start(5);
        press(widget, "R");
        const double reload = waitFor([&] { return !widget.isLoading(); });
        std::printf("R on %d x %d: %.3fs, longest gap between ticks %lld ms\n", largeWidth,
                    largeWidth / 2, reload, static_cast<long long>(gap));
    }

    // Esc and q at moments through each reader's load: the key's own time, and for q until
    // the loop it ends has returned.
    const std::string exr = dir.filePath("large.exr").toStdString();
    const std::string tiff = dir.filePath("large.tif").toStdString();
    {
        std::vector<float> rgb(std::size_t(8192) * 4096 * 3);
        for (std::size_t i = 0; i < rgb.size(); ++i) {
            rgb[i] = static_cast<float>(i % 8191) / 4096.0f;
        }
        saveLinearExr(exr, 8192, 4096, rgb.data());
        saveRgb(tiff, 8192, 4096, rgb.data());
    }
    const std::string hdr = dir.filePath("esc.hdr").toStdString();
    writePanorama(hdr, 8192);
    std::printf("%-10s %8s %12s %12s\n", "file", "after", "Esc takes", "q takes");
    for (const std::string& path : {exr, tiff, hdr}) {
        for (const int after : {20, 300, 800, 1500}) {
            double escape = 0.0;
            double quit = 0.0;
            for (const bool q : {false, true}) {
                widget.open({QString::fromStdString(path)});
                QElapsedTimer clock;
                QTimer::singleShot(after, [&] {
                    clock.start();
                    press(widget, q ? "q" : "\x1b", q ? Qt::Key_unknown : Qt::Key_Escape);
                    if (!q) {
                        escape = clock.nsecsElapsed() / 1e9;
                        QCoreApplication::exit(0);
                    }
                });
                app.exec();
                if (q) {
                    quit = clock.nsecsElapsed() / 1e9;
                }
                waitFor([&] { return widget.loadsIdle(); });
            }
            std::printf("%-10s %6dms %11.4fs %11.4fs\n", path.substr(path.rfind('.')).c_str(),
                        after, escape, quit);
        }
    }
    return 0;
}
