// The viewer's keys for tone operators, false colour, clipping flags and auto-exposure, their
// menu entries and their lines in the help box.
#include "ViewerWidget.h"

#include "DisplayColour.h"
#include "DrawView.h"
#include "ExposureMeter.h"
#include "ModalCloser.h"
#include "Shader.h"
#include "rgbe.h"

#include <QAction>
#include <QStandardPaths>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// An RGBE picture of one radiance everywhere, 2:1 so that it shows as a panorama.
void addHdrPicture(ViewerWidget& widget, float radiance) {
    widget.makeCurrent();
    Picture picture;
    picture.allocate(64, 32, PixelEncoding::Rgbe);
    for (int i = 0; i < 64 * 32; ++i) {
        rgbe::encode(radiance, radiance, radiance, picture.pixels.get() + i * 4);
    }
    picture.scale = {0.5, 0.5, 0.5};
    widget.pictures.append("uniform.hdr", 0, std::make_unique<Texture>(std::move(picture)));
    widget.setZoom(0.0f);
}

std::unique_ptr<ViewerWidget> shownWidget() {
    auto widget = std::make_unique<ViewerWidget>();
    widget->resize(320, 240);
    widget->show();
    if (!QTest::qWaitForWindowExposed(widget.get())) {
        qFatal("the viewer window did not appear");
    }
    return widget;
}

// What the metered f-stop shows the picture's radiance as, before any tone curve.
double shown(const ViewerWidget& widget, double radiance) {
    return radiance *
           std::exp2(exposureOffset(widget.view.fstop, widget.currentTexture().scaleMean));
}

} // namespace

class DisplayKeysTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        closer = std::make_unique<ModalCloser>();
    }
    void cleanupTestCase() { closer.reset(); }

    void toneOperatorFalseColourAndClippingKeys() {
        auto widget = shownWidget();
        addHdrPicture(*widget, 0.5f);
        QCOMPARE(widget->viewState().toneOperator, ToneOperator::Reinhard);
        QTest::keyClick(widget.get(), 'T', Qt::ShiftModifier);
        QCOMPARE(widget->viewState().toneOperator, ToneOperator::AcesFilmic);
        QVERIFY(widget->viewState().tonemap);
        QCOMPARE(widget->note, QString("Tone operator: ACES filmic"));
        // t stays the switch: off and on again, the operator kept.
        QTest::keyClick(widget.get(), 't');
        QVERIFY(!widget->viewState().tonemap);
        QCOMPARE(widget->viewState().toneOperator, ToneOperator::AcesFilmic);
        QTest::keyClick(widget.get(), 'T', Qt::ShiftModifier);
        QVERIFY(widget->tonemapAction->isChecked());
        QCOMPARE(widget->viewState().toneOperator, ToneOperator::AgX);
        QTest::keyClick(widget.get(), 'T', Qt::ShiftModifier);
        QTest::keyClick(widget.get(), 'T', Qt::ShiftModifier);
        QCOMPARE(widget->viewState().toneOperator, ToneOperator::Reinhard);

        QCOMPARE(widget->viewState().display, DisplayMode::Colour);
        QTest::keyClick(widget.get(), 'F', Qt::ShiftModifier);
        QCOMPARE(widget->viewState().display, DisplayMode::FalseColour);
        QVERIFY(widget->falseColourAction->isChecked());
        const QImage falseColour = widget->grabFrameBuffer();
        QTest::keyClick(widget.get(), 'F', Qt::ShiftModifier);
        QCOMPARE(widget->viewState().display, DisplayMode::Colour);
        // The picture in false colour is one colour of the scale, with the legend beside it.
        const QColor centre =
            falseColour.pixelColor(falseColour.width() / 3, falseColour.height() / 2);
        const glm::dvec3 expected = falseColourScale(falseColourPosition(shown(*widget, 0.5)));
        QVERIFY(std::abs(centre.redF() - expected.r) < 2.0 / 255);
        QVERIFY(std::abs(centre.greenF() - expected.g) < 2.0 / 255);
        QVERIFY(std::abs(centre.blueF() - expected.b) < 2.0 / 255);

        QVERIFY(!widget->viewState().showClipping);
        QTest::keyClick(widget.get(), 'x');
        QVERIFY(widget->viewState().showClipping);
        // Ten stops up, the whole picture is over white and flagged red.
        widget->view.fstop = 10.0f;
        widget->tonemapAction->setChecked(false);
        widget->updateGL();
        const QColor flagged = widget->grabFrameBuffer().pixelColor(160, 120);
        QCOMPARE(flagged, QColor(255, 0, 0));
        QTest::keyClick(widget.get(), 'x');
        QVERIFY(!widget->viewState().showClipping);
    }

    void autoExposureKeys() {
        auto widget = shownWidget();
        addHdrPicture(*widget, 0.5f);
        widget->view.fstop = 3.0f;
        QTest::keyClick(widget.get(), 'e');
        QVERIFY(std::abs(shown(*widget, 0.5) - 0.18) < 0.005);
        const float metered = widget->view.fstop;

        // Followed: it comes back to the metered f-stop by itself, without jumping there.
        widget->view.fstop = metered - 4.0f;
        QTest::keyClick(widget.get(), 'E', Qt::ShiftModifier);
        QVERIFY(widget->followExposureAction->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(std::abs(widget->view.fstop - metered) < 0.05f, 10000);
        // A manual change ends it.
        const float followed = widget->view.fstop;
        QTest::keyClick(widget.get(), '.');
        QVERIFY(!widget->followExposureAction->isChecked());
        QCOMPARE(widget->view.fstop, followed + 0.5f);
        QTest::qWait(100);
        QCOMPARE(widget->view.fstop, followed + 0.5f);

        // 8-bit pictures keep their exposure.
        widget->makeCurrent();
        widget->pictures.clear();
        widget->pictures.append("ldr", 0,
                                std::make_unique<Texture>(64, 32,
                                                          static_cast<const std::uint8_t*>(nullptr),
                                                          GL_RGB8, GL_RGB));
        widget->view.fstop = 1.0f;
        QTest::keyClick(widget.get(), 'e');
        QCOMPARE(widget->view.fstop, 1.0f);
        QCOMPARE(widget->note, QString("Auto-exposure needs an HDR picture"));
    }

    void menuAndHelpListTheNewKeys() {
        ViewerWidget widget;
        QStringList texts;
        for (QAction* action : widget.menuActions()) {
            texts << action->text();
        }
        for (const char* entry :
             {"Auto &exposure\te", "&Follow exposure\tE", "&Next tone operator\tT",
              "False &colour\tF", "Show &clipping\tx"}) {
            QVERIFY2(texts.contains(entry), entry);
        }
        // The widget's own seven actions are untouched.
        QCOMPARE(widget.actions().size(), 7);

        widget.showHelp();
        QCOMPARE(closer->boxes.size(), 1);
        const QString help = closer->boxes.takeFirst().text;
        const QString old = "<tr><td>Reset color channels</td><td>press <b>c</b></td></tr>";
        QVERIFY(help.contains(old));
        for (const char* key : {"press <b>e</b>", "press <b>E</b>", "press <b>T</b>",
                                "press <b>F</b>", "press <b>x</b>"}) {
            QVERIFY2(help.indexOf(key) > help.indexOf(old), key);
        }
    }

private:
    std::unique_ptr<ModalCloser> closer;
};

QTEST_MAIN(DisplayKeysTest)
#include "DisplayKeysTest.moc"
