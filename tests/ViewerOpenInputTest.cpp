// Opening, drag and drop, keys, mouse and wheel on real pictures in a real context.
#include "ExceptionSafeApplication.h"
#include "Version.h"
#include "ViewerSettle.h"
#include "ViewerWidget.h"
#include "Shader.h"
#include "rgbe.h"

#include "ModalCloser.h"

#include <QAction>
#include <QFile>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

namespace {

using Boxes = QList<ModalCloser::Box>;

QString jpeg(const QTemporaryDir& dir, const QString& name, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(200, 120, 40));
    const QString path = dir.filePath(name);
    if (!image.save(path, "JPG")) {
        qFatal("cannot write %s", qPrintable(path));
    }
    return path;
}

QString hdr(const QTemporaryDir& dir, const QString& name, int width, int height) {
    const std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4, 128);
    const QString path = dir.filePath(name);
    rgbe::write(path.toStdString(), width, height, pixels.data(), true);
    return path;
}

QString fileOfSize(const QTemporaryDir& dir, const QString& name, qint64 size) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    return path;
}

void sendMouse(QWidget& widget, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, pos, widget.mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

void sendWheel(QWidget& widget, int delta, Qt::MouseButtons buttons) {
    const QPoint pos(10, 10);
    QWheelEvent event(pos, widget.mapToGlobal(pos), QPoint(), QPoint(0, delta), buttons,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&widget, &event);
}

bool dragAccepted(QWidget& widget, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent event(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(false);
    QCoreApplication::sendEvent(&widget, &event);
    return event.isAccepted();
}

} // namespace

class ViewerOpenInputTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(dir.isValid());
        a = hdr(dir, "a.hdr", 64, 32);
        b = jpeg(dir, "b.jpg", 40, 30);
        c = jpeg(dir, "c.jpg", 30, 40);
        bad = dir.filePath("bad.hdr");
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("hello\n");
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

    void missingAndGoodFile() {
        const QString missing = dir.filePath("missing.hdr");
        widget->open({missing, a});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->fileNames(), QStringList{a});
        QCOMPARE(widget->windowTitle(), a);
        QCOMPARE(widget->pictures.size(), 1);
        QCOMPARE(widget->view.projection, Projection::Sphere);
        QCOMPARE(widget->view.zoom,
                 400.0f / (64.0f / 3.0f) > 16.0f ? 16.0f : 400.0f / (64.0f / 3.0f));
        QCOMPARE(closer->boxes.size(), 1);
        QCOMPARE(closer->boxes[0].title, QString("File not found"));
        QCOMPARE(closer->boxes[0].text, "Could not open image file:<br/>" + missing);
    }

    void onlyMissingFiles() {
        widget->open({"m1.hdr", "m2.jpg"});
        QVERIFY(settle(*widget));
        QVERIFY(widget->pictures.empty());
        QCOMPARE(closer->boxes.size(), 1);
        QCOMPARE(closer->boxes[0].title, QString("Files not found"));
        QCOMPARE(closer->boxes[0].text,
                 QString("Could not open image files:<br/>m1.hdr<br/>m2.jpg"));
    }

    void badGoodAndMissingGiveThreeOutcomesInOrder() {
        const QString missing = dir.filePath("missing.jpg");
        widget->open({bad, a, missing});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->fileNames(), QStringList{a});
        QCOMPARE(closer->boxes.size(), 2);
        QCOMPARE(closer->boxes[0].title, QString("Marovex Viewer"));
        QCOMPARE(closer->boxes[0].text, "Error: Not a RADIANCE file: '" + bad + "' (hello)");
        QCOMPARE(closer->boxes[1].title, QString("File not found"));
        QCOMPARE(closer->boxes[1].text, "Could not open image file:<br/>" + missing);
    }

    void onlyBadFileKeepsItsLoadingMessage() {
        widget->open({a});
        QVERIFY(settle(*widget));
        widget->open({bad});
        QVERIFY(settle(*widget));
        QVERIFY(widget->pictures.empty());
        QVERIFY(widget->fileNames().isEmpty());
        QCOMPARE(widget->message, "loading " + bad + "... (0 MB)");
        QCOMPARE(closer->boxes.size(), 1);
        widget->updateGL(); // the empty view paints its text
    }

    void emptyListLeavesNoPictureAndNoBox() {
        widget->open({a});
        QVERIFY(settle(*widget));
        widget->open(QStringList());
        QVERIFY(settle(*widget));
        QVERIFY(widget->pictures.empty());
        QTest::qWait(50);
        QVERIFY(closer->boxes.isEmpty());
    }

    void megabytesAreDecimalAndRoundedDown() {
        widget->open({fileOfSize(dir, "big.hdr", 2499999)});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->message, "loading " + dir.filePath("big.hdr") + "... (2 MB)");
        widget->open({fileOfSize(dir, "small.hdr", 999999)});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->message, "loading " + dir.filePath("small.hdr") + "... (0 MB)");
    }

    void projectionFollowsTheShapeOfTheFirstPicture() {
        widget->open({jpeg(dir, "p1.jpg", 1000, 500)});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->view.projection, Projection::Sphere);
        widget->open({jpeg(dir, "p2.jpg", 1000, 501)});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->view.projection, Projection::Flat);
        widget->open({jpeg(dir, "p3.jpg", 999, 500), a});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->view.projection, Projection::Flat);
        QCOMPARE(widget->view.fstop, 0.0f);
        QCOMPARE(widget->view.yaw, 0.0f);
        QCOMPARE(widget->view.zoom, std::min(400.0f / 999.0f, 300.0f / 500.0f));
    }

    // Local pictures of every readable suffix and folders are taken; remote URLs, missing
    // files and files of other suffixes are not.
    void dragAcceptsLocalPicturesAndFolders() {
        QVERIFY(dragAccepted(*widget, {QUrl::fromLocalFile(dir.path())}));
        QVERIFY(!dragAccepted(*widget, {QUrl("https://www.marovex.example/a.hdr")}));
        const QString png = dir.filePath("b.png");
        QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(png));
        QVERIFY(dragAccepted(*widget, {QUrl::fromLocalFile(png)}));
        QVERIFY(dragAccepted(*widget, {QUrl::fromLocalFile(fileOfSize(dir, "c.jpeg", 10))}));
        QVERIFY(!dragAccepted(*widget, {QUrl::fromLocalFile(dir.filePath("missing.hdr"))}));
        const QString text = fileOfSize(dir, "notes.txt", 10);
        QVERIFY(!dragAccepted(*widget, {QUrl::fromLocalFile(text)}));

        const QString upper = dir.filePath("a.HDR");
        QFile::copy(a, upper);
        const QList<QUrl> mixed{QUrl::fromLocalFile(upper), QUrl::fromLocalFile(text)};
        QVERIFY(dragAccepted(*widget, mixed));
        QMimeData data;
        data.setUrls(mixed);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(widget.get(), &drop);
        QVERIFY(settle(*widget));
        QCOMPARE(widget->fileNames(), QStringList{upper});
        QVERIFY(closer->boxes.isEmpty());
    }

    void panoramaFormatsDropWithTheirLayerInTheTitle() {
        const QString exr = dir.filePath("layers.exr");
        QCOMPARE(QProcess::execute("oiiotool", {"--pattern", "constant:color=0.5,0.25,1", "60x40",
                                                "3", "--chnames", "diffuse.R,diffuse.G,diffuse.B",
                                                "-d", "half", "-o", exr}),
                 0);
        for (const char* name : {"p.tif", "p.TIFF", "p.pfm", "p.EXR"}) {
            QVERIFY2(dragAccepted(*widget, {QUrl::fromLocalFile(fileOfSize(dir, name, 10))}),
                     qPrintable(name));
        }
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(exr)});
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(widget.get(), &drop);
        QVERIFY(settle(*widget));
        QCOMPARE(widget->fileNames(), QStringList{exr});
        QCOMPARE(widget->windowTitle(), exr + ":diffuse");
        QVERIFY(widget->currentTexture().hdr);
        QCOMPARE(widget->view.projection, Projection::Flat);
        QVERIFY(closer->boxes.isEmpty());
    }

    void cancelledDialogChangesNothing() {
        widget->workingDirectory = "/before";
        QSettings().setValue("working_directory", "/stored");
        QVERIFY(!widget->open());
        QCOMPARE(closer->boxes.size(), 1);
        QCOMPARE(closer->boxes[0].title, QString("Choose image(s) to display"));
        QCOMPARE(widget->workingDirectory, QString("/before"));
        QCOMPARE(QSettings().value("working_directory").toString(), QString("/stored"));
        QSettings().remove("working_directory");
    }

    void withoutPictureOnlyTheFirstTableWorks() {
        for (const char* key : {"+", "0", "<", "R", "p", "H"}) {
            QVERIFY2(!type(*widget, key), qPrintable(key));
        }
        sendWheel(*widget, 360, Qt::NoButton);
        QCOMPARE(widget->view.zoom, 0.0f);
        QCOMPARE(widget->view.projection, Projection::Sphere);
        type(*widget, "i");
        QVERIFY(widget->showInfo);
        type(*widget, "t");
        QVERIFY(widget->tonemapAction->isChecked());
        type(*widget, "a");
        QVERIFY(widget->autoRotateAction->isChecked());
        QCOMPARE(widget->velocity, glm::vec3(0.0f));
        type(*widget, "f");
        QVERIFY(widget->fullscreenAction->isChecked());
        QVERIFY(widget->windowState() & Qt::WindowFullScreen);
        type(*widget, "f");
        type(*widget, "h");
        type(*widget, "o");
        QCOMPARE(closer->boxes.size(), 2);
        QCOMPARE(closer->boxes[0].title, QString("Help"));
        QCOMPARE(closer->boxes[1].title, QString("Choose image(s) to display"));
    }

    void zoomKeysAndLimits() {
        widget->resize(1000, 750);
        QTRY_COMPARE(widget->view.viewportWidth, 1000);
        widget->open({jpeg(dir, "flat.jpg", 4000, 3000)});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->view.zoom, 0.25f);
        type(*widget, "1");
        QCOMPARE(widget->view.zoom, 1.0f);
        type(*widget, "+");
        QCOMPARE(widget->view.zoom, 1.1f);
        type(*widget, "-");
        QCOMPARE(widget->view.zoom, static_cast<float>(1.1f / 1.1));
        type(*widget, "5");
        QCOMPARE(widget->view.zoom, 16.0f);
        type(*widget, "+");
        QCOMPARE(widget->view.zoom, 16.0f);
        widget->view.yaw = 30.0f;
        type(*widget, "0");
        QCOMPARE(widget->view.yaw, 0.0f);
        QCOMPARE(widget->view.zoom, 0.25f);
        type(*widget, ".");
        type(*widget, ".");
        type(*widget, ",");
        QCOMPARE(widget->view.fstop, 0.5f);
    }

    void pictureStepsWrapAround() {
        widget->open({a, b, c});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->currentIndex, 0);
        type(*widget, ">");
        QCOMPARE(widget->currentIndex, 2);
        QCOMPARE(widget->windowTitle(), c);
        type(*widget, "<");
        QCOMPARE(widget->currentIndex, 0);
        type(*widget, "<");
        QCOMPARE(widget->currentIndex, 1);
        QCOMPARE(widget->windowTitle(), b);
        widget->open({b});
        QVERIFY(settle(*widget));
        widget->setWindowTitle("x");
        type(*widget, "<");
        QCOMPARE(widget->currentIndex, 0);
        QCOMPARE(widget->windowTitle(), b);
    }

    void projectionChannelsAndCaseSensitivity() {
        widget->open({b});
        QVERIFY(settle(*widget));
        QCOMPARE(widget->view.projection, Projection::Flat);
        QCOMPARE(widget->cursor().shape(), Qt::ArrowCursor);
        type(*widget, "s");
        QCOMPARE(widget->view.projection, Projection::Planet);
        type(*widget, "p");
        QCOMPARE(widget->view.projection, Projection::Sphere);
        type(*widget, "p");
        QCOMPARE(widget->view.projection, Projection::Flat);
        QCOMPARE(widget->cursor().shape(), Qt::OpenHandCursor);
        QVERIFY(!type(*widget, "P"));
        QCOMPARE(widget->view.projection, Projection::Flat);
        type(*widget, "r");
        QVERIFY(widget->view.showRed && !widget->view.showGreen && !widget->view.showBlue);
        type(*widget, "b");
        QVERIFY(!widget->view.showRed && !widget->view.showGreen && widget->view.showBlue);
        type(*widget, "c");
        QVERIFY(widget->view.showRed && widget->view.showGreen && widget->view.showBlue);
        QVERIFY(!type(*widget, "H"));
        QVERIFY(closer->boxes.isEmpty());
    }

    void upperCaseRReloadsTheCurrentPicture() {
        const QString path = dir.filePath("reload.jpg");
        QFile::remove(path);
        QVERIFY(QFile::copy(b, path));
        widget->open({a, path});
        QVERIFY(settle(*widget));
        type(*widget, "<");
        type(*widget, "R");
        QVERIFY(settle(*widget));
        QCOMPARE(widget->pictures.size(), 2);
        QCOMPARE(widget->pictures.at(1).texture->width, 40);
        QVERIFY(closer->boxes.isEmpty());

        // A picture that no longer loads leaves the set, with its name, and the next one shows.
        QFile::remove(path);
        QVERIFY(QFile::copy(bad, path));
        type(*widget, "R");
        QVERIFY(settle(*widget));
        QTRY_COMPARE(closer->boxes.size(), 1);
        QVERIFY(closer->boxes[0].text.startsWith("Error: "));
        QCOMPARE(widget->fileNames(), QStringList{a});
        QCOMPARE(widget->currentIndex, 0);
        QCOMPARE(widget->windowTitle(), a);
        type(*widget, "<");
        widget->updateGL();
    }

    void shaderKeyReloadsOrRebuildsTheProgram() {
        widget->open({a});
        QVERIFY(settle(*widget));
        QVERIFY(widget->shader);
        type(*widget, "u");
        QVERIFY(widget->shader);
        QVERIFY(widget->shader->program != 0);
        widget->makeCurrent();
        widget->shader.reset();
        type(*widget, "u");
        QVERIFY(widget->shader);
        QVERIFY(closer->boxes.isEmpty());
    }

    void mouseDragsPanZoomAndExpose() {
        widget->open({jpeg(dir, "wide.jpg", 800, 600)});
        QVERIFY(settle(*widget));
        widget->view.zoom = 2.0f;
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(widget->cursor().shape(), Qt::ClosedHandCursor);
        sendMouse(*widget, QEvent::MouseMove, {110, 90}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(widget->view.yaw, 5.0f);
        QCOMPARE(widget->view.pitch, -5.0f);
        sendMouse(*widget, QEvent::MouseMove, {110, -900}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(widget->view.pitch, -300.0f); // half the picture's height
        sendMouse(*widget, QEvent::MouseButtonRelease, {110, 90}, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(widget->cursor().shape(), Qt::OpenHandCursor);

        sendMouse(*widget, QEvent::MouseButtonPress, {50, 200}, Qt::RightButton, Qt::RightButton);
        sendMouse(*widget, QEvent::MouseMove, {50, 150}, Qt::NoButton, Qt::RightButton);
        QCOMPARE(widget->view.zoom, 3.0f);
        sendMouse(*widget, QEvent::MouseMove, {50, 170}, Qt::NoButton,
                  Qt::LeftButton | Qt::RightButton);
        QCOMPARE(widget->view.fstop, 2.0f);
        sendMouse(*widget, QEvent::MouseButtonRelease, {50, 150}, Qt::RightButton, Qt::NoButton);
        QVERIFY(closer->boxes.isEmpty()); // a 50-pixel right drag opens no menu
    }

    void leftDragIsAJoystickWhileTheTimerRuns() {
        widget->open({a});
        QVERIFY(settle(*widget));
        widget->timer->setInterval(100000); // running, but no tick during the test
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton);
        sendMouse(*widget, QEvent::MouseMove, {116, 92}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(widget->velocity, glm::vec3(-16.0f * 360.0f / 64.0f, 8.0f * 360.0f / 64.0f, 0.0f));
        QCOMPARE(widget->view.yaw, 0.0f);
        sendMouse(*widget, QEvent::MouseButtonRelease, {116, 92}, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(widget->velocity, glm::vec3(0.0f));

        // Once auto-rotation was switched off, the timer is stopped and the drag is direct.
        widget->setAutoRotate(false);
        QVERIFY(!widget->timer->isActive());
        widget->view.zoom = 4.0f;
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton);
        sendMouse(*widget, QEvent::MouseMove, {116, 92}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(widget->view.yaw, 16.0f * 360.0f / 64.0f / 4.0f);
        QCOMPARE(widget->view.pitch, -8.0f * 360.0f / 64.0f / 4.0f);
    }

    void shortRightClickOpensTheMenu() {
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::RightButton, Qt::RightButton);
        sendMouse(*widget, QEvent::MouseButtonRelease, {104, 96}, Qt::RightButton, Qt::NoButton);
        QCOMPARE(closer->boxes.size(), 1);
        QCOMPARE(closer->boxes[0].title, QString("menu"));
        // The first seven entries as they always were; the display toggles follow them.
        const QString entries = closer->boxes[0].text;
        QVERIFY2(entries.startsWith("&Open image...|&Fullscreen|&Auto rotate|&Tonemap||&Help|"
                                    "About||"),
                 qPrintable(entries));
        for (const char* entry : {"Pixel &readout", "&Histogram", "Auto &exposure\te",
                                  "&Next tone operator\tT", "False &colour\tF"}) {
            QVERIFY2(entries.split('|').contains(entry), entry);
        }
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::RightButton, Qt::RightButton);
        sendMouse(*widget, QEvent::MouseButtonRelease, {105, 100}, Qt::RightButton, Qt::NoButton);
        QTest::qWait(50);
        QCOMPARE(closer->boxes.size(), 1);
    }

    void menuEntriesWorkWithoutAPicture() {
        closer->menuChoice = "&Auto rotate";
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::RightButton, Qt::RightButton);
        sendMouse(*widget, QEvent::MouseButtonRelease, {100, 100}, Qt::RightButton, Qt::NoButton);
        QTRY_VERIFY(widget->autoRotateAction->isChecked());
        QCOMPARE(widget->velocity, glm::vec3(0.0f));

        closer->menuChoice = "&Open image...";
        sendMouse(*widget, QEvent::MouseButtonPress, {100, 100}, Qt::RightButton, Qt::RightButton);
        sendMouse(*widget, QEvent::MouseButtonRelease, {100, 100}, Qt::RightButton, Qt::NoButton);
        QTRY_COMPARE(closer->boxes.size(), 3);
        QCOMPARE(closer->boxes[2].title, QString("Choose image(s) to display"));
    }

    void helpAndAboutTexts() {
        widget->showHelp();
        QCOMPARE(closer->boxes.size(), 1);
        QCOMPARE(closer->boxes[0].title, QString("Help"));
        const QString help = closer->boxes[0].text;
        QVERIFY(help.startsWith("<html><style type=\"text/css\">table td {padding-right: 10px;}"
                                "</style><body><h3>Marovex Viewer Help</h3><a href="));
        QVERIFY(help.contains("<table><tr></tr><tr><th colspan=\"2\" align=\"left\">Basic "
                              "panorama viewing</th></tr><tr><td>Open image</td><td>press "
                              "<b>o</b> or use drag&amp;drop</td></tr>"));
        QVERIFY(help.contains("</tr><tr></tr><tr><th colspan=\"2\" align=\"left\">For HDR "
                              "images only:</th></tr>"));
        // The old text stays word for word; the newer keys come after it, in the same table.
        const QString oldEnd = "<tr><td>Reset color channels</td><td>press <b>c</b></td></tr>";
        QVERIFY(help.contains(oldEnd));
        QVERIFY(help.endsWith("</table></body></html>"));
        const QString added = help.mid(help.indexOf(oldEnd) + oldEnd.size());
        for (const char* key : {"<b>v</b>", "<b>H</b>", "<b>e</b>", "<b>E</b>", "<b>T</b>",
                                "<b>F</b>", "<b>x</b>", "<b>w</b>"}) {
            QVERIFY2(added.contains(key), key);
        }

        widget->makeCurrent();
        const QString renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        widget->showAbout();
        QCOMPARE(closer->boxes.size(), 2);
        QCOMPARE(closer->boxes[1].title, QString("About"));
        const QString about = closer->boxes[1].text;
        QVERIFY(about.startsWith("<center><h4>Marovex Viewer</h4>Version: 1.0.3209<br><br>OpenGL "
                                 "Info:<br>" +
                                 renderer + "<br>"));
        QVERIFY(about.contains("<br/><br/>This software is based in part on the <br/>work of "
                               "the Independent JPEG Group.<br><br><a href="));
        QVERIFY(about.endsWith("</a></center>"));

        standalone = true;
        widget->showAbout();
        standalone = false;
        const QString standaloneAbout = closer->boxes[2].text;
        QVERIFY(standaloneAbout.contains(
            "Version: 1.0.3209<br/>stand-alone application<br><br>OpenGL Info:"));
        QVERIFY(standaloneAbout.endsWith("</a><br/>Distribute freely!</center>"));
    }

    void wheelZoomsOrExposes() {
        widget->open({hdr(dir, "pano.hdr", 2048, 1024)});
        QVERIFY(settle(*widget));
        widget->view.zoom = 5.0f;
        sendWheel(*widget, 360, Qt::NoButton);
        QCOMPARE(widget->view.zoom, 10.0f);
        sendWheel(*widget, 360, Qt::NoButton);
        QCOMPARE(widget->view.zoom, 16.0f);
        sendWheel(*widget, -120, Qt::RightButton);
        QCOMPARE(widget->view.fstop, -1.0f);
        QCOMPARE(widget->view.zoom, 16.0f);
    }

    void quitKeysEndTheLoopWithStatusZero() {
        for (const auto& key : {std::make_pair(QString("q"), 0),
                                std::make_pair(QString("\x1b"), int(Qt::Key_Escape))}) {
            QTimer::singleShot(0, widget.get(),
                               [this, key] { type(*widget, key.first, key.second); });
            QTimer::singleShot(20000, [] { QCoreApplication::exit(3); }); // never hang
            QCOMPARE(QCoreApplication::exec(), 0);
        }
    }

private:
    QTemporaryDir dir;
    QString a, b, c, bad;
    std::unique_ptr<ViewerWidget> widget;
    std::unique_ptr<ModalCloser> closer;
};

int main(int argc, char** argv) {
    ExceptionSafeApplication app(argc, argv);
    ViewerOpenInputTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewerOpenInputTest.moc"
