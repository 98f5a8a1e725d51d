// The picture set: a memory budget that stepping never exceeds, boxes in the list's order
// whatever the budget, files gone when stepped to, reloads that keep the view and the
// statistics while the window paints, and the diagnostic lines of a load.
#include "Diagnostics.h"
#include "ExceptionSafeApplication.h"
#include "GainMapJpegWriter.h"
#include "GainMapSetting.h"
#include "LuminanceStatistics.h"
#include "PictureLoader.h"
#include "PictureReader.h"
#include "ViewerSettle.h"
#include "ViewerWidget.h"
#include "rgbe.h"

#include "ModalCloser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fstream>
#include <random>
#include <vector>

namespace {

// A panorama (2:1) of `width` whose colour `k` tells it apart.
QString panorama(const QTemporaryDir& dir, const QString& name, int width, int k = 0) {
    const QString path = dir.filePath(name);
    const int height = width / 2;
    std::vector<unsigned char> pixels(4 * static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        rgbe::encode(0.1 + 0.01 * (k % 50), 0.2 + 0.001 * static_cast<double>(i % 997), 0.3,
                     &pixels[i]);
    }
    const DiagnosticsSilenced quiet(true);
    rgbe::write(path.toStdString(), width, height, pixels.data(), true);
    return path;
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return 0;
}

// The card's bytes of one 256 x 128 picture with its mip levels.
constexpr std::size_t onePicture = 256 * 128 * 4 * 4 / 3;

} // namespace

class ViewerPictureSetTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        widget = std::make_unique<ViewerWidget>();
        widget->resize(400, 300);
        widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
        closer = std::make_unique<ModalCloser>();
    }
    void cleanup() {
        PictureLoader::decodeHook = nullptr;
        closer.reset();
        widget.reset();
    }

    // Two and a half pictures' worth: stepping through eight keeps at most the budget on the
    // card, the shown one always there, and one that left shows again when stepped back to.
    void steppingStaysWithinTheBudget() {
        QStringList files;
        for (int i = 0; i < 8; ++i) {
            files << panorama(dir, QString("p%1.hdr").arg(i), 256, i);
        }
        widget->setResidentBudget(onePicture * 5 / 2);
        widget->open(files);
        QVERIFY(settle(*widget));
        QCOMPARE(widget->pictures.size(), 8);
        QVERIFY(widget->pictures.residentBytes() <= widget->residentBudget);
        QCOMPARE(widget->pictures.residentCount(), 2);
        for (int step = 1; step <= 8; ++step) {
            type(*widget, "<");
            QVERIFY(settle(*widget));
            QCOMPARE(widget->currentIndex, step % 8);
            QVERIFY(widget->showing());
            QCOMPARE(widget->windowTitle(), files[step % 8]);
            QVERIFY2(widget->pictures.residentBytes() <= widget->residentBudget,
                     qPrintable(QString::number(widget->pictures.residentBytes())));
        }
        // Back at the first, read again after it left the card.
        QCOMPARE(widget->currentTexture().width, 256);
        QVERIFY(closer->boxes.isEmpty());
    }

    // [bad.hdr, a.hdr, missing.jpg]: the reader's box, then a.hdr shown, then the not-found
    // box, whether or not the budget lets the list load ahead.
    void boxesComeInTheListsOrderWhateverTheBudget() {
        const QString bad = dir.filePath("bad.hdr");
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a picture\n");
        file.close();
        const QString a = panorama(dir, "a.hdr", 64);
        const QString missing = dir.filePath("missing.jpg");
        // Read ahead within the budget, or judged by its header beyond it.
        const struct {
            QStringList files;
            std::size_t budget;
        } cases[] = {{{bad, a, missing}, std::size_t(1) << 30},
                     {{bad, a, missing}, 1},
                     {{a, bad, missing}, std::size_t(1) << 30},
                     {{a, bad, missing}, 1}};
        for (const auto& test : cases) {
            closer->boxes.clear();
            widget->setResidentBudget(test.budget);
            widget->open(test.files);
            QVERIFY(settle(*widget));
            QCOMPARE(widget->fileNames(), QStringList{a});
            QCOMPARE(widget->windowTitle(), a);
            QCOMPARE(closer->boxes.size(), 2);
            QCOMPARE(closer->boxes[0].title, QString("Marovex Viewer"));
            QVERIFY2(closer->boxes[0].text.startsWith("Error: ") &&
                         closer->boxes[0].text.contains(bad),
                     qPrintable(closer->boxes[0].text));
            QCOMPARE(closer->boxes[1].title, QString("File not found"));
            QCOMPARE(closer->boxes[1].text, "Could not open image file:<br/>" + missing);
        }
    }

    // A file deleted after the open is reported when stepped to and leaves the set; the next
    // picture shows.
    void aFileGoneIsReportedWhenSteppedTo() {
        const QString a = panorama(dir, "g-a.hdr", 64);
        const QString b = panorama(dir, "g-b.hdr", 64);
        const QString c = panorama(dir, "g-c.hdr", 64);
        widget->setResidentBudget(1);
        widget->open({a, b, c});
        QVERIFY(settle(*widget));
        QVERIFY(QFile::remove(b));
        type(*widget, "<");
        QVERIFY(settle(*widget));
        QTRY_COMPARE(closer->boxes.size(), 1);
        QVERIFY2(closer->boxes[0].text.startsWith("Error: ") && closer->boxes[0].text.contains(b),
                 qPrintable(closer->boxes[0].text));
        QCOMPARE(widget->fileNames(), (QStringList{a, c}));
        QTRY_VERIFY(widget->showing());
        QCOMPARE(widget->windowTitle(), c);
    }

    // R and the watch read the file on a worker: the window paints while the decode is held,
    // and the new picture comes with its statistics and the view as it was.
    void reloadsKeepTheViewAndTheStatisticsAndLetTheWindowPaint() {
        for (const bool watch : {false, true}) {
            const QString path = panorama(dir, QString("r%1.hdr").arg(watch), 256, 1);
            widget->open({path});
            QVERIFY(settle(*widget));
            widget->setWatch(watch);
            widget->view.yaw = 33.0f;
            widget->view.fstop = 1.5f;
            std::atomic<bool> held{false};
            std::atomic<bool> release{false};
            PictureLoader::decodeHook = [&](const std::string&) {
                held = true;
                while (!release) {
                    QThread::msleep(2);
                }
            };
            if (watch) {
                panorama(dir, QString("r%1.hdr").arg(watch), 256, 2);
            } else {
                type(*widget, "R");
            }
            QTRY_VERIFY_WITH_TIMEOUT(held.load(), 10000);
            // Frames asked for go out while the worker holds the decode.
            PaintCounter counter(*widget);
            widget->update();
            QTRY_VERIFY(counter.paints > 0);
            widget->update();
            QTRY_VERIFY(counter.paints > 1);
            QVERIFY(widget->isLoading());
            release = true;
            QVERIFY(settle(*widget));
            PictureLoader::decodeHook = nullptr;
            QCOMPARE(widget->view.yaw, 33.0f);
            QCOMPARE(widget->view.fstop, 1.5f);
            const LuminanceStatistics* statistics = widget->currentMetadata().statistics.get();
            QVERIFY(statistics != nullptr);
            const Picture picture = readPicture(path.toStdString(), SizeLimit());
            QCOMPARE(statistics->mean, LuminanceStatistics::of(picture, true)->mean);
            widget->setWatch(false);
            QVERIFY(closer->boxes.isEmpty());
        }
    }

    // A RADIANCE load tells its read, statistics and upload, and the picture's size, not its
    // reduced copy's; a JPEG load tells nothing.
    void aRadianceLoadTellsItsLinesAndAJpegNone() {
        const QString large = panorama(dir, "large.hdr", 2048);
        const QString jpeg = dir.filePath("photo.jpg");
        QImage photo(64, 48, QImage::Format_RGB888);
        photo.fill(Qt::darkCyan);
        QVERIFY(photo.save(jpeg, "JPEG"));
        widget->previewSide = 256;
        for (const QString& name : {large, jpeg}) {
            QStringList lines;
            const DiagnosticSink saved = setDiagnosticSink(
                [&lines](const std::string& line) { lines << QString::fromStdString(line); });
            widget->open({name});
            QVERIFY(settle(*widget));
            setDiagnosticSink(saved);
            if (name == jpeg) {
                QVERIFY2(lines.isEmpty(), qPrintable(lines.join("|")));
                continue;
            }
            QCOMPARE(lines.size(), 5);
            const QStringList starts = {"[T]                 read: ", "M: ",
                                        "[T]                stats: ", "[T]           cpu -> gpu: "};
            for (int i = 0; i < starts.size(); ++i) {
                QVERIFY2(lines[i].startsWith(starts[i]), qPrintable(lines.join("|")));
            }
            QCOMPARE(lines[4], QString("2048 1024"));
        }
    }

    // The arrow, Home and End keys visit exactly the pictures of the shown file's folder, in
    // natural order, and stop at its ends; the folder itself opens its pictures.
    void folderKeysVisitItsPicturesInNaturalOrder() {
        QTemporaryDir folder;
        const QString img10 = panorama(folder, "img10.hdr", 64);
        const QString img2 = panorama(folder, "img2.hdr", 64, 2);
        const QString first = folder.filePath("a.png");
        const QString last = folder.filePath("z.jpg");
        QImage small(32, 16, QImage::Format_RGB888);
        small.fill(Qt::gray);
        QVERIFY(small.save(first, "PNG") && small.save(last, "JPEG"));
        QFile notes(folder.filePath("notes.txt"));
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("not a picture") > 0);
        notes.close();
        QVERIFY(QDir(folder.path()).mkdir("sub.hdr"));
        panorama(folder, ".hidden.hdr", 64);

        widget->open({img10});
        QVERIFY(settle(*widget));
        const struct {
            int key;
            QString shown;
        } steps[] = {{Qt::Key_Home, first}, {Qt::Key_Right, img2},   {Qt::Key_Right, img10},
                     {Qt::Key_Right, last}, {Qt::Key_Right, last},   {Qt::Key_End, last},
                     {Qt::Key_Left, img10}, {Qt::Key_PageUp, first}, {Qt::Key_PageDown, last}};
        for (const auto& step : steps) {
            type(*widget, QString(), step.key);
            QVERIFY(settle(*widget));
            QTRY_VERIFY(widget->showing());
            QCOMPARE(QFileInfo(widget->windowTitle()).absoluteFilePath(),
                     QFileInfo(step.shown).absoluteFilePath());
        }
        QVERIFY(closer->boxes.isEmpty());

        widget->open({folder.path()});
        QVERIFY(settle(*widget));
        QStringList names;
        for (const QString& name : widget->fileNames()) {
            names << QFileInfo(name).fileName();
        }
        QCOMPARE(names, (QStringList{"a.png", "img2.hdr", "img10.hdr", "z.jpg"}));
    }

    // Random keys and steps over 300 pictures with a budget of a few: nothing fails, and once
    // every picture has been read the process's memory stays where it was.
    void randomStepsOverManyPicturesKeepMemoryFlat() {
        QTemporaryDir many;
        QStringList files;
        for (int i = 0; i < 300; ++i) {
            files << panorama(many, QString("m%1.hdr").arg(i), 128, i);
        }
        widget->setResidentBudget(128 * 64 * 4 * 2 * 4);
        widget->open(files);
        QVERIFY(settle(*widget, 120000));
        for (int i = 0; i < 300; ++i) {
            type(*widget, "<");
            QVERIFY(settle(*widget));
        }
        [[maybe_unused]] const long before = residentKilobytes();
        std::mt19937 random(24);
        const QStringList keys = {"<", ">", "<", ">", "R", "+", "-", "p", "s", ",", ".", "0"};
        std::uniform_int_distribution<int> pick(0, static_cast<int>(keys.size()) - 1);
        for (int i = 0; i < 2000; ++i) {
            type(*widget, keys[pick(random)]);
            QCoreApplication::processEvents();
            QVERIFY(widget->pictures.residentBytes() <= widget->residentBudget);
        }
        QVERIFY(settle(*widget));
        QCOMPARE(widget->pictures.size(), 300);
        QVERIFY(closer->boxes.isEmpty());
#if !defined(__SANITIZE_ADDRESS__)
        // The sanitizer's quarantine holds freed memory back; elsewhere it is reused.
        const long growth = residentKilobytes() - before;
        QVERIFY2(growth < 20000, qPrintable(QString::number(growth)));
#endif
    }

    // G reads the shown gain-map photo again as its base picture, and back; the entry's
    // metadata says which rendition is on the card, the readout's scale stays the file's.
    void gainMapKeyTogglesTheRendition() {
        const QString file = dir.filePath("gain-map.jpg");
        std::vector<float> hdr(64 * 32 * 3);
        for (std::size_t i = 0; i < hdr.size(); ++i) {
            hdr[i] = i % 7 == 0 ? 6.0f : 0.3f;
        }
        writeGainMapJpeg(file.toStdString(), hdr, 64, 32);
        QVERIFY(openAndSettle(*widget, {file}));
        QCOMPARE(widget->currentMetadata().gainMap, GainMap::Applied);
        for (const GainMap expected : {GainMap::Base, GainMap::Applied}) {
            type(*widget, "G");
            QVERIFY(settle(*widget));
            QCOMPARE(widget->currentMetadata().gainMap, expected);
            QCOMPARE(gainMapsApplied(), expected == GainMap::Applied);
            QVERIFY(widget->currentTexture().hdr);
        }
        QVERIFY(closer->boxes.isEmpty());
    }

private:
    QTemporaryDir dir;
    std::unique_ptr<ViewerWidget> widget;
    std::unique_ptr<ModalCloser> closer;
};

int main(int argc, char** argv) {
    ExceptionSafeApplication app(argc, argv);
    ViewerPictureSetTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewerPictureSetTest.moc"
