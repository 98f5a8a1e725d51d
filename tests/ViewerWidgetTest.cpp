#include "ViewerWidget.h"

#include "ModalCloser.h"
#include "DrawView.h"

#include <QAction>
#include <QGLWidget>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

class CountingWidget : public ViewerWidget {
public:
    int paints = 0;

protected:
    void paintGL() override {
        ++paints;
        ViewerWidget::paintGL();
    }
};

void addPicture(ViewerWidget& widget, int width, int height) {
    widget.makeCurrent();
    widget.pictures.append(QString("picture%1").arg(widget.pictures.size() + 1), 0,
                           std::make_unique<Texture>(width, height,
                                                     static_cast<const std::uint8_t*>(nullptr),
                                                     GL_RGB8, GL_RGB));
}

int brightPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += qGray(image.pixel(x, y)) > 128;
        }
    }
    return count;
}

std::unique_ptr<CountingWidget> shownWidget() {
    auto widget = std::make_unique<CountingWidget>();
    widget->resize(320, 240);
    widget->show();
    if (!QTest::qWaitForWindowExposed(widget.get())) {
        qFatal("the viewer window did not appear");
    }
    return widget;
}

} // namespace

class ViewerWidgetTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        closer = std::make_unique<ModalCloser>();
    }
    // A box nobody expects would hang a test; it is closed, and counted against the test.
    void cleanup() {
        const QList<ModalCloser::Box> boxes = closer->boxes;
        closer->boxes.clear();
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.value(0).text));
    }
    void cleanupTestCase() { closer.reset(); }

    void freshWidgetHasTheInitialState() {
        ViewerWidget widget;
        QCOMPARE(widget.windowTitle(), QString("Marovex Viewer"));
        QVERIFY(!widget.windowIcon().isNull());
        QVERIFY(widget.acceptDrops());
        QCOMPARE(widget.view.zoom, 0.0f);
        QCOMPARE(widget.view.yaw, 0.0f);
        QCOMPARE(widget.view.pitch, 0.0f);
        QCOMPARE(widget.view.projection, Projection::Sphere);
        QVERIFY(widget.view.showRed && widget.view.showGreen && widget.view.showBlue);
        QVERIFY(!widget.showInfo);
        QVERIFY(widget.pictures.empty());
        QVERIFY(widget.message.isEmpty());
        QVERIFY(widget.timer->isActive());
        QCOMPARE(widget.timer->interval(), 15);
        QCOMPARE(widget.velocity, glm::vec3(0.0f));
        QCOMPARE(QCoreApplication::organizationName(), QString("Marovex"));
        QCOMPARE(QCoreApplication::applicationName(), QString("Marovex Viewer"));
        QCOMPARE(widget.workingDirectory,
                 QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    }

    void workingDirectoryComesFromTheSettings() {
        ViewerWidget first; // sets the identity the settings are found by
        QSettings().setValue("working_directory", "/some/folder");
        ViewerWidget widget;
        QCOMPARE(widget.workingDirectory, QString("/some/folder"));
        QSettings().remove("working_directory");
    }

    void actionsHaveTheirTextsShortcutsAndOrder() {
        ViewerWidget widget;
        const QList<QAction*> actions = widget.actions();
        QCOMPARE(actions.size(), 7);
        const QStringList texts{"&Open image...", "&Fullscreen", "&Auto rotate", "&Tonemap", "",
                                "&Help",          "About"};
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(actions[i]->text(), texts[i]);
        }
        QCOMPARE(actions[0], widget.openAction);
        QCOMPARE(actions[1], widget.fullscreenAction);
        QCOMPARE(actions[2], widget.autoRotateAction);
        QCOMPARE(actions[3], widget.tonemapAction);
        QVERIFY(actions[4]->isSeparator());
        QVERIFY(!widget.openAction->isCheckable());
        for (QAction* action :
             {widget.fullscreenAction, widget.autoRotateAction, widget.tonemapAction}) {
            QVERIFY(action->isCheckable());
            QVERIFY(!action->isChecked());
        }
        QCOMPARE(widget.openAction->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(widget.fullscreenAction->shortcut(), QKeySequence("Ctrl+F"));
        QCOMPARE(widget.autoRotateAction->shortcut(), QKeySequence("Ctrl+A"));
        QCOMPARE(widget.tonemapAction->shortcut(), QKeySequence("Ctrl+T"));
        QCOMPARE(actions[5]->shortcuts(), QKeySequence::keyBindings(QKeySequence::HelpContents));
        QVERIFY(actions[6]->shortcuts().isEmpty());
    }

    void zoomStaysWithinTheLimitsOfPictureAndProjection() {
        auto widget = shownWidget();
        widget->setZoom(3.0f);
        QCOMPARE(widget->view.zoom, 0.0f); // no picture: unchanged

        addPicture(*widget, 1000, 400);
        widget->view.projection = Projection::Flat;
        widget->view.viewportWidth = 800;
        widget->view.viewportHeight = 600;
        widget->setZoom(0.5f);
        QCOMPARE(widget->view.zoom, 0.8f);
        widget->setZoom(20.0f);
        QCOMPARE(widget->view.zoom, 16.0f);
        widget->setZoom(2.5f);
        QCOMPARE(widget->view.zoom, 2.5f);
        widget->view.projection =
            Projection::Planet; // every projection but Sphere fits the whole picture
        widget->setZoom(0.0f);
        QCOMPARE(widget->view.zoom, 0.8f);

        widget->makeCurrent();
        widget->pictures.clear();
        addPicture(*widget, 6000, 3000);
        widget->view.projection = Projection::Sphere;
        widget->setZoom(0.0f);
        QCOMPARE(widget->view.zoom, 0.4f);
        widget->view.zoom = 0.1f;
        widget->updateZoom();
        QCOMPARE(widget->view.zoom, 0.4f);
    }

    void resizeStoresTheViewportAndRaisesTheZoom() {
        auto widget = shownWidget();
        QCOMPARE(widget->view.viewportWidth, 320);
        QCOMPARE(widget->view.viewportHeight, 240);
        addPicture(*widget, 1200, 600);
        widget->setZoom(0.0f);
        QCOMPARE(widget->view.zoom, 320.0f / 400.0f);
        widget->resize(600, 240);
        QTRY_COMPARE(widget->view.viewportWidth, 600);
        QCOMPARE(widget->view.zoom, 600.0f / 400.0f);
    }

    void tickMovesAndRepaintsOnlyWithAVelocity() {
        auto widget = shownWidget();
        widget->timer->stop(); // ticks are driven by hand here
        addPicture(*widget, 2000, 1000);
        widget->view.zoom = 1.0f;
        const int paints = widget->paints;
        widget->tick();
        QCOMPARE(widget->paints, paints);
        QCOMPARE(widget->view.yaw, 0.0f);

        widget->velocity = glm::vec3(-0.25f, 0.0f, 0.0f);
        widget->tick();
        QCOMPARE(widget->paints, paints + 1);
        QCOMPARE(widget->view.yaw, -0.01875f);
        QCOMPARE(widget->view.zoom, 1.0f);

        // The steps are divided by the zoom, and pitch stops at the poles.
        widget->view.zoom = 2.0f;
        widget->view.yaw = 0.0f;
        widget->velocity = glm::vec3(1.0f, 10000.0f, 0.0f);
        widget->tick();
        QCOMPARE(widget->view.yaw, 0.0375f);
        QCOMPARE(widget->view.pitch, 90.0f);

        // A flat picture stops at half its height.
        widget->view.projection = Projection::Flat;
        widget->velocity = glm::vec3(0.0f, -100000.0f, 0.0f);
        widget->tick();
        QCOMPARE(widget->view.pitch, -500.0f);

        // The zoom rate applies too, and the result keeps to the limits.
        widget->velocity = glm::vec3(0.0f, 0.0f, 1000.0f);
        widget->tick();
        QCOMPARE(widget->view.zoom, 16.0f);
    }

    void tickWithAVelocityButNoPictureDoesNothing() {
        auto widget = shownWidget();
        widget->timer->stop();
        widget->velocity = glm::vec3(-0.25f, 0.0f, 0.0f);
        widget->view.zoom = 1.0f;
        const int paints = widget->paints;
        widget->tick();
        widget->timer->start(15);
        QTest::qWait(100); // several real ticks; cleanup checks that no box came up
        QCOMPARE(widget->view.yaw, 0.0f);
        QCOMPARE(widget->paints, paints);
    }

    void autoRotateNeedsAPicture() {
        auto widget = shownWidget();
        widget->autoRotateAction->trigger();
        QVERIFY(widget->autoRotateAction->isChecked());
        QCOMPARE(widget->velocity, glm::vec3(0.0f));
        QVERIFY(widget->timer->isActive());
        widget->setAutoRotate(false);
        QVERIFY(widget->timer->isActive()); // no picture: the timer keeps its state

        addPicture(*widget, 2000, 1000);
        widget->setAutoRotate(false);
        QCOMPARE(widget->velocity, glm::vec3(-0.25f, 0.0f, 0.0f));
        QVERIFY(!widget->timer->isActive());
        widget->setAutoRotate(true);
        QVERIFY(widget->timer->isActive());
        QCOMPARE(widget->timer->interval(), 15);
    }

    void fullscreenIsAWindowStateApartFromTheAction() {
        auto widget = shownWidget();
        widget->setWindowState(widget->windowState() | Qt::WindowMaximized);
        widget->setFullscreen(true);
        QVERIFY(widget->windowState() & Qt::WindowFullScreen);
        QVERIFY(widget->windowState() & Qt::WindowMaximized);
        QVERIFY(!widget->fullscreenAction->isChecked());
        widget->setFullscreen(false);
        QVERIFY(!(widget->windowState() & Qt::WindowFullScreen));
        QVERIFY(widget->windowState() & Qt::WindowMaximized);
    }

    void tonemapSwitchRepaints() {
        auto widget = shownWidget();
        const int paints = widget->paints;
        widget->tonemapAction->trigger();
        QCOMPARE(widget->paints, paints + 1);
        QVERIFY(widget->tonemapAction->isChecked());
    }

    void emptyViewShowsOnlyTheMessage() {
        auto widget = shownWidget();
        widget->updateGL();
        QImage frame = widget->grabFrameBuffer();
        QVERIFY(brightPixels(frame) == 0);

        widget->message = "loading something... (12 MB)";
        widget->updateGL();
        frame = widget->grabFrameBuffer();
        // The text sits around the centre, in white.
        QVERIFY(brightPixels(frame.copy(0, 0, frame.width(), frame.height() / 3)) == 0);
        QVERIFY(brightPixels(frame.copy(frame.width() / 4, frame.height() / 3, frame.width() / 2,
                                        frame.height() / 3)) > 20);
    }

    void aFrameTheWindowAsksForFirstLeavesItsTextToTheNext() {
        auto widget = shownWidget();
        widget->message = "loading something... (12 MB)";
        // As when the window has just appeared: its frames wait for one turn of the loop.
        widget->textHeld = true;
        widget->textRelease = false;
        widget->textWithheld = false;
        widget->repaint();
        const QRect middle(80, 80, 160, 80);
        QCOMPARE(brightPixels(widget->grabFrameBuffer().copy(middle)), 0);
        const int paints = widget->paints;
        // The next turn draws it, unasked.
        QTRY_VERIFY(!widget->textHeld);
        QTRY_COMPARE(widget->paints, paints + 1);
        QVERIFY(brightPixels(widget->grabFrameBuffer().copy(middle)) > 20);

        // Frames asked for with updateGL always have it.
        widget->textHeld = true;
        widget->updateGL();
        QVERIFY(brightPixels(widget->grabFrameBuffer().copy(middle)) > 20);
    }

    void colourMaskShowsOneChannel() {
        auto widget = shownWidget();
        widget->makeCurrent();
        const std::vector<std::uint8_t> white(32 * 24 * 3, 255);
        widget->pictures.append("white", 0,
                                std::make_unique<Texture>(32, 24, white.data(), GL_RGB8, GL_RGB));
        widget->view.projection = Projection::Flat;
        widget->setZoom(0.0f);
        widget->view.showRed = true;
        widget->view.showGreen = widget->view.showBlue = false;
        widget->updateGL();
        QImage frame = widget->grabFrameBuffer();
        const QRgb centre = frame.pixel(frame.width() / 2, frame.height() / 2);
        QVERIFY2(qRed(centre) > 240 && qGreen(centre) == 0 && qBlue(centre) == 0,
                 qPrintable(QString::number(centre, 16)));

        // The info line is drawn with every channel.
        widget->showInfo = true;
        widget->updateGL();
        frame = widget->grabFrameBuffer();
        int whiteText = 0;
        for (int y = frame.height() - 40; y < frame.height(); ++y) {
            for (int x = 0; x < frame.width() / 2; ++x) {
                const QRgb p = frame.pixel(x, y);
                whiteText += qRed(p) > 200 && qGreen(p) > 200 && qBlue(p) > 200;
            }
        }
        QVERIFY(whiteText > 20);
    }

    void infoLineFormatsItsNumbers() {
        QCOMPARE(infoLine(1.5f, 0.257f, 59.6), QString("f-stop: 1.5, zoom: 25%, fps: 60"));
        QCOMPARE(infoLine(0.0f, 0.999f, 0.0), QString("f-stop: 0.0, zoom: 99%, fps: 0"));
        QCOMPARE(infoLine(-2.0f, 16.0f, 12.4), QString("f-stop: -2.0, zoom: 1600%, fps: 12"));
    }

    void exposureOffsetOfHdrAndLdrPictures() {
        QCOMPARE(exposureOffset(1.0f, 4.0), -3.0f);
        QCOMPARE(exposureOffset(0.0f, 0.125), 1.0f);
        QVERIFY(std::isinf(exposureOffset(0.0f, 0.0)) && exposureOffset(0.0f, 0.0) > 0.0f);
    }

    void destructionReleasesPicturesInTheWidgetsOwnContext() {
        auto widget = shownWidget();
        addPicture(*widget, 16, 16);
        const GLuint name = widget->pictures.at(0).texture->glTextures[0];

        // Another context, current at destruction, holding a texture of the same name.
        QGLWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.makeCurrent();
        GLuint otherName = 0;
        while (otherName < name) {
            glGenTextures(1, &otherName);
            glBindTexture(GL_TEXTURE_2D, otherName);
        }
        QCOMPARE(otherName, name);
        widget.reset();
        other.makeCurrent();
        QVERIFY(glIsTexture(name));
    }

private:
    std::unique_ptr<ModalCloser> closer;
};

QTEST_MAIN(ViewerWidgetTest)
#include "ViewerWidgetTest.moc"
