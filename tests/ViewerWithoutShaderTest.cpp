// Built into a folder of its own, where no viewer shader lies beside the program.
#include "ViewerWidget.h"

#include "ModalCloser.h"

#include <QStandardPaths>
#include <QtTest>

#include <cstdint>

class ViewerWithoutShaderTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void missingShaderIsReportedOnceAndFramesShowOnlyText() {
        ModalCloser closer;
        ViewerWidget widget;
        widget.resize(200, 100);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QTRY_COMPARE(closer.boxes.size(), 1);
        QCOMPARE(closer.boxes[0].title, QString("Marovex Viewer"));
        QVERIFY2(closer.boxes[0].text.startsWith("Error: Error opening file '") &&
                     closer.boxes[0].text.endsWith("viewer.frag'"),
                 qPrintable(closer.boxes[0].text));
        QVERIFY(!widget.shader);

        widget.makeCurrent();
        const std::vector<std::uint8_t> white(64 * 32 * 3, 255);
        widget.pictures.append("white", 0,
                               std::make_unique<Texture>(64, 32, white.data(), GL_RGB8, GL_RGB));
        widget.setZoom(1.0f);
        widget.showInfo = true;
        for (int i = 0; i < 5; ++i) {
            widget.updateGL();
        }
        QTest::qWait(50);
        QCOMPARE(closer.boxes.size(), 1);
        // No program draws the picture: the view stays black but for the info line.
        const QImage frame = widget.grabFrameBuffer();
        QCOMPARE(frame.pixel(frame.width() / 2, frame.height() / 2), qRgb(0, 0, 0));
    }
};

QTEST_MAIN(ViewerWithoutShaderTest)
#include "ViewerWithoutShaderTest.moc"
