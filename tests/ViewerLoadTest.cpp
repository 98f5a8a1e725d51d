// Loading on a worker thread: the window keeps painting, resizing and taking keys while a
// file loads; q quits at once, Esc gives the load up. FIFOs make each load last exactly as
// long as the test feeds it.
#include "ExceptionSafeApplication.h"
#include "FifoPicture.h"
#include "LuminanceStatistics.h"
#include "PictureReader.h"
#include "ViewerSettle.h"
#include "ViewerWidget.h"

#include "ModalCloser.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMimeData>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <vector>

namespace {

int threadCount() {
    return static_cast<int>(
        QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Runs `step` every 10 ms inside the loops that open runs, until it returns true; after 20 s
// it closes the FIFO, so that no load and no test waits forever.
class Driver : public QObject {
public:
    Driver(FifoPicture& fifo, std::function<bool()> step) : fifo(fifo), step(std::move(step)) {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (done || ++ticks > 2000) {
                timer.stop();
                this->fifo.close();
                return;
            }
            done = this->step();
        });
        timer.start(10);
    }
    bool done = false;

private:
    FifoPicture& fifo;
    std::function<bool()> step;
    QTimer timer;
    int ticks = 0;
};

// Every turn of whichever loop runs (a 0 ms timer), notes the current picture's finest level
// on the card, and runs `step` once while the levels go up; after 20 s it gives up.
class UploadWatcher : public QObject {
public:
    UploadWatcher(ViewerWidget& widget, std::function<void()> step)
        : widget(widget), step(std::move(step)) {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (clock.elapsed() > 20000) {
                timer.stop();
                QCoreApplication::exit(3);
                return;
            }
            if (!this->widget.showing()) {
                return;
            }
            const Texture& texture = this->widget.currentTexture();
            if (texture.firstLevel > 0 && texture.firstLevel < texture.levels) {
                ++turnsDuringUpload;
                levelsSeen.insert(texture.firstLevel);
                if (this->step && !stepped) {
                    stepped = true;
                    names = {texture.glTextures[0], texture.glTextures[1]};
                    this->step();
                }
            }
        });
        clock.start();
        timer.start(0);
    }
    int turnsDuringUpload = 0;
    std::set<int> levelsSeen;
    bool stepped = false;
    std::vector<GLuint> names;

private:
    ViewerWidget& widget;
    std::function<void()> step;
    QTimer timer;
    QElapsedTimer clock;
};

// The finest level of the current picture at each paint the widget gets; -1 without one.
class LevelRecorder : public QObject {
public:
    explicit LevelRecorder(ViewerWidget& widget) : widget(widget) {
        widget.installEventFilter(this);
    }
    std::vector<int> painted;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            painted.push_back(widget.showing() ? widget.currentTexture().firstLevel : -1);
        }
        return false;
    }

private:
    ViewerWidget& widget;
};

// The names in 1..511 that are buffers in the current context.
std::set<GLuint> bufferNames() {
    std::set<GLuint> names;
    for (GLuint name = 1; name < 512; ++name) {
        if (glIsBuffer(name) == GL_TRUE) {
            names.insert(name);
        }
    }
    return names;
}

} // namespace

class ViewerLoadTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(dir.isValid());
        a = dir.filePath("a.hdr");
        b = dir.filePath("b.hdr");
        const std::vector<unsigned char> pixels(64 * 32 * 4, 128);
        rgbe::write(a.toStdString(), 64, 32, pixels.data(), true);
        rgbe::write(b.toStdString(), 64, 32, pixels.data(), true);
        c = dir.filePath("c.hdr");
        std::vector<unsigned char> gradient(512 * 256 * 4);
        for (std::size_t i = 0; i < gradient.size(); ++i) {
            gradient[i] = i % 4 == 3 ? 128 : static_cast<unsigned char>(i * 2654435761u >> 11);
        }
        rgbe::write(c.toStdString(), 512, 256, gradient.data(), true);
    }

    void init() {
        widget = std::make_unique<ViewerWidget>();
        widget->resize(400, 300);
        widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
        closer = std::make_unique<ModalCloser>();
    }
    void cleanup() {
        closer.reset();
        widget.reset();
    }

    // The window paints and resizes while the FIFO holds the decode of the first picture;
    // q then ends the load and the program's loop with 0, with no box.
    void quitDuringALoadEndsTheProgram() {
        FifoPicture fifo(dir.filePath("x.hdr").toStdString(), 8192);
        const QString x = QString::fromStdString(fifo.path);
        PaintCounter counter(*widget);
        bool sawLoad = false;
        Driver driver(fifo, [&] {
            if (!fifo.drained() || counter.paints == 0) {
                widget->update();
                return false;
            }
            // The share is "…" until the header's height is there, then 0% while no row is.
            sawLoad = widget->isLoading() && widget->message == "loading " + x + "... (0 MB)" &&
                      (widget->progress == QString::fromUtf8("\u2026") ||
                       widget->progress == QString("0%"));
            widget->resize(420, 310);
            type(*widget, "q");
            // The rows after the wait meet the cancelled load.
            fifo.feedAll();
            fifo.close();
            return true;
        });
        QTimer guard; // never hang
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(3); });
        guard.start(25000);
        widget->open({x, a});
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(driver.done);
        QVERIFY(sawLoad);
        QCOMPARE(widget->view.viewportWidth, 420);
        QVERIFY(!widget->isLoading());
        QVERIFY(widget->pictures.empty());
        QVERIFY(closer->boxes.isEmpty());
    }

    // Esc while the second of three files loads in the background: the first, shown, stays;
    // the second and third leave the set, no box comes, the worker is joined, and Esc quits
    // again afterwards.
    void escapeDuringALoadKeepsThePictureShown() {
        widget->open({b});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->pictures.size(), 1);
        const int threadsBefore = threadCount();
        FifoPicture fifo(dir.filePath("x.hdr").toStdString(), 8192);
        const QString x = QString::fromStdString(fifo.path);
        Driver driver(fifo, [&] {
            if (!fifo.drained() || !widget->showing()) {
                return false;
            }
            type(*widget, "\x1b", Qt::Key_Escape);
            fifo.feedAll();
            fifo.close();
            return true;
        });
        widget->open({a, x, b});
        QTRY_VERIFY_WITH_TIMEOUT(driver.done, 25000);
        QVERIFY(settle(*widget));
        QCOMPARE(widget->fileNames(), QStringList{a});
        QCOMPARE(widget->windowTitle(), a);
        QVERIFY(closer->boxes.isEmpty());
        // Qt's threads end on their own after the wait that joined them: a moment's grace,
        // while a thread left running would stay.
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, 5000);
        widget->updateGL();

        QTimer::singleShot(0, widget.get(), [this] { type(*widget, "\x1b", Qt::Key_Escape); });
        QTimer guard; // never hang
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(3); });
        guard.start(20000);
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    // A file cut short fails with its box while the events go on, and the list goes on.
    void failingFileAmongGoodOnesKeepsTheOrderOfBoxes() {
        FifoPicture fifo(dir.filePath("cut.hdr").toStdString(), 8192);
        const QString cut = QString::fromStdString(fifo.path);
        Driver driver(fifo, [&] {
            if (!fifo.drained() || !widget->message.contains(cut)) {
                return false;
            }
            fifo.close();
            return true;
        });
        const QString missing = dir.filePath("missing.jpg");
        widget->open({cut, a, missing});
        QVERIFY(settle(*widget));
        QVERIFY(driver.done);
        QCOMPARE(widget->fileNames(), QStringList{a});
        QCOMPARE(widget->windowTitle(), a);
        QCOMPARE(closer->boxes.size(), 2);
        QCOMPARE(closer->boxes[0].title, QString("Marovex Viewer"));
        QVERIFY2(closer->boxes[0].text.startsWith("Error: ") && closer->boxes[0].text.contains(cut),
                 qPrintable(closer->boxes[0].text));
        QCOMPARE(closer->boxes[1].title, QString("File not found"));
        QCOMPARE(closer->boxes[1].text, "Could not open image file:<br/>" + missing);
    }

    // Slices of 16 KB: the picture shows reduced first, events run between the slices, and
    // the frame once it is whole is the frame of a picture sent at once.
    void slicesShowAReducedViewFirstAndLetEventsRun() {
        widget->uploadSliceLimit = 16384;
        LevelRecorder recorder(*widget);
        UploadWatcher watcher(*widget, {});
        widget->open({c});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->windowTitle(), c);
        QCOMPARE(widget->currentTexture().firstLevel, 0);
        QVERIFY(closer->boxes.isEmpty());
        QVERIFY2(watcher.turnsDuringUpload >= 20,
                 qPrintable(QString::number(watcher.turnsDuringUpload)));
        QVERIFY(watcher.levelsSeen.count(1) == 1);
        // Level 0 alone takes 32 slices; the picture shows before it is there.
        const auto reduced = std::find_if(recorder.painted.begin(), recorder.painted.end(),
                                          [](int level) { return level > 0; });
        QVERIFY(reduced != recorder.painted.end());
        QVERIFY(std::find(recorder.painted.begin(), reduced, 0) == reduced);
        widget->updateGL();
        const QImage sliced = widget->grabFrameBuffer();

        widget->uploadSliceLimit = 0;
        widget->open({c});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->currentTexture().firstLevel, 0);
        widget->updateGL();
        QCOMPARE(widget->grabFrameBuffer(), sliced);
    }

    // The statistics are gathered from level 0 while the levels go up: once open returns,
    // every picture of the list has them, the same as its file's.
    void everyPictureHasItsStatisticsOnceOpened() {
        widget->uploadSliceLimit = 16384;
        widget->open({c, a});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->pictures.size(), 2);
        const QStringList files = {c, a};
        for (int i = 0; i < 2; ++i) {
            const LuminanceStatistics* statistics =
                widget->pictures.at(i).metadata.statistics.get();
            QVERIFY(statistics != nullptr);
            const Picture picture = readPicture(files[i].toStdString(), SizeLimit());
            const auto expected = LuminanceStatistics::of(picture, true);
            QCOMPARE(statistics->mean, expected->mean);
            QCOMPARE(statistics->min, expected->min);
            QVERIFY(statistics->histogram(-20.0, 20.0, 320) ==
                    expected->histogram(-20.0, 20.0, 320));
        }
    }

    // Esc while the levels go up: the picture, not yet whole, goes with its textures and pixel
    // buffer, no box comes, and the load is over.
    void escapeDuringTheUploadLeavesTheEmptyView() {
        widget->uploadSliceLimit = 16384;
        widget->makeCurrent();
        const std::set<GLuint> buffersBefore = bufferNames();
        UploadWatcher watcher(*widget, [this] { type(*widget, "\x1b", Qt::Key_Escape); });
        widget->open({c});
        QVERIFY(settle(*widget));
        QVERIFY(watcher.stepped);
        QVERIFY(widget->pictures.empty());
        QCOMPARE(widget->windowTitle(), QString("Marovex Viewer"));
        QVERIFY(closer->boxes.isEmpty());
        widget->makeCurrent();
        QVERIFY(watcher.names[0] != 0);
        QCOMPARE(glIsTexture(watcher.names[0]), GLboolean(GL_FALSE));
        // The given-up job keeps its buffer until its threads have ended, a moment later.
        QTRY_VERIFY_WITH_TIMEOUT((widget->makeCurrent(), bufferNames() == buffersBefore), 5000);
        widget->updateGL();
    }

    // q while the levels go up ends the load and the program's loop with 0.
    void quitDuringTheUploadEndsTheProgram() {
        widget->uploadSliceLimit = 16384;
        UploadWatcher watcher(*widget, [this] { type(*widget, "q"); });
        QTimer guard; // never hang
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(3); });
        guard.start(20000);
        widget->open({c});
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(watcher.stepped);
        QVERIFY(widget->pictures.empty());
        QVERIFY(closer->boxes.isEmpty());
    }

    // A large first picture shows as a reduced copy while the rest of its load runs: the frame
    // then is the final one but for the copy's blur, and the copy is gone once the picture is
    // there. The second picture of the list gets none.
    void aReducedCopyShowsFirst() {
        const QString smooth = dir.filePath("smooth.hdr");
        const int w = 2048;
        const int h = 1024;
        std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 4);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                unsigned char* p = pixels.data() + 4 * (static_cast<std::size_t>(y) * w + x);
                p[0] = static_cast<unsigned char>(128 + 100 * std::sin(x / 90.0));
                p[1] = static_cast<unsigned char>(128 + 100 * std::cos(y / 70.0));
                p[2] = static_cast<unsigned char>(128 + 60 * std::sin((x + y) / 150.0));
                p[3] = 128;
            }
        }
        rgbe::write(smooth.toStdString(), w, h, pixels.data(), true);
        widget->previewSide = 256;
        QImage previewFrame;
        std::set<std::pair<int, int>> copySizes;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (widget->preview && !widget->showing()) {
                copySizes.insert({widget->preview->width, widget->previewFactor});
                if (previewFrame.isNull()) {
                    widget->updateGL();
                    previewFrame = widget->grabFrameBuffer();
                }
            }
        });
        poll.start(0);
        PaintCounter counter(*widget);
        widget->open({smooth, a});
        QVERIFY(settle(*widget));
        poll.stop();
        QVERIFY(!widget->preview);
        QCOMPARE(widget->fileNames(), (QStringList{smooth, a}));
        QVERIFY(closer->boxes.isEmpty());
        QCOMPARE(copySizes, (std::set<std::pair<int, int>>{{256, 8}}));
        QVERIFY(!previewFrame.isNull());
        widget->updateGL();
        const QImage finalFrame = widget->grabFrameBuffer();
        QCOMPARE(previewFrame.size(), finalFrame.size());
        double difference = 0.0;
        int lit = 0;
        for (int y = 0; y < finalFrame.height(); ++y) {
            for (int x = 0; x < finalFrame.width(); ++x) {
                const QRgb p = previewFrame.pixel(x, y);
                const QRgb f = finalFrame.pixel(x, y);
                difference += std::abs(qRed(p) - qRed(f)) + std::abs(qGreen(p) - qGreen(f)) +
                              std::abs(qBlue(p) - qBlue(f));
                lit += qGray(p) > 8 ? 1 : 0;
            }
        }
        const double pixelCount = static_cast<double>(finalFrame.width()) * finalFrame.height();
        // The loading text over the copy and its blur differ a little, a copy in the wrong
        // place or size by far more.
        QVERIFY2(difference / (3.0 * pixelCount) < 6.0,
                 qPrintable(QString::number(difference / (3.0 * pixelCount))));
        QVERIFY(lit > pixelCount * 0.9);
    }

    void progressIsAShareOfTheRowsOrAnEllipsis() {
        QCOMPARE(loadProgress(0, 0), QString::fromUtf8("\u2026"));
        QCOMPARE(loadProgress(5, 0), QString::fromUtf8("\u2026"));
        QCOMPARE(loadProgress(0, 8192), QString("0%"));
        QCOMPARE(loadProgress(4095, 8192), QString("49%"));
        QCOMPARE(loadProgress(8192, 8192), QString("100%"));
    }

private:
    QTemporaryDir dir;
    QString a, b, c;
    std::unique_ptr<ViewerWidget> widget;
    std::unique_ptr<ModalCloser> closer;
};

int main(int argc, char** argv) {
    ExceptionSafeApplication app(argc, argv);
    ViewerLoadTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewerLoadTest.moc"
