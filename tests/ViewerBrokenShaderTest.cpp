// Built into a folder of its own, where the test writes the viewer shaders it needs.
#include "ExceptionSafeApplication.h"
#include "ExeDir.h"
#include "Shader.h"
#include "ViewerWidget.h"

#include "ModalCloser.h"

#include <QFile>
#include <QStandardPaths>
#include <QtTest>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

const char* const brokenSource = "void main() {\n    gl_FragColor = vec4(1.0) oops;\n}\n";

QString viewerFragPath() {
    return QString::fromStdString(exeDir("viewer.frag"));
}

void writeViewerFrag(const QByteArray& text) {
    QFile file(viewerFragPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size()) {
        qFatal("cannot write %s", qPrintable(viewerFragPath()));
    }
}

// Stand-ins for the viewer's program that paint every pixel one colour; the real one is
// drawn by the shader tests.
QByteArray plainSource(const char* colour) {
    return QByteArray("void main() { gl_FragColor = vec4(") + colour + ", 1.0); }\n";
}

void showPicture(ViewerWidget& widget) {
    widget.makeCurrent();
    const std::vector<std::uint8_t> white(64 * 32 * 3, 255);
    widget.pictures.append("white", 0,
                           std::make_unique<Texture>(64, 32, white.data(), GL_RGB8, GL_RGB));
    widget.setZoom(1.0f);
}

QRgb centrePixel(ViewerWidget& widget) {
    widget.updateGL();
    const QImage frame = widget.grabFrameBuffer();
    return frame.pixel(frame.width() / 2, frame.height() / 2);
}

bool carriesCompilerLog(const QString& text) {
    return text.startsWith("Error: Error compiling shader '" + viewerFragPath() + "':\n") &&
           text.contains("error: syntax error");
}

} // namespace

class ViewerBrokenShaderTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanupTestCase() { QFile::remove(viewerFragPath()); }

    void typoAtStartIsOneBoxWithTheCompilerLog() {
        writeViewerFrag(brokenSource);
        ModalCloser closer;
        ViewerWidget widget;
        widget.resize(200, 100);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QTRY_COMPARE(closer.boxes.size(), 1);
        QCOMPARE(closer.boxes[0].title, QString("Marovex Viewer"));
        QVERIFY2(carriesCompilerLog(closer.boxes[0].text), qPrintable(closer.boxes[0].text));
        QVERIFY(!widget.shader);

        showPicture(widget);
        QCOMPARE(centrePixel(widget), qRgb(0, 0, 0));
        QTest::qWait(50);
        QCOMPARE(closer.boxes.size(), 1);
    }

    void typoOnReloadKeepsDrawingWithTheLastGoodProgram() {
        writeViewerFrag(plainSource("1.0, 0.0, 0.0"));
        ModalCloser closer;
        ViewerWidget widget;
        widget.resize(200, 100);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QVERIFY(widget.shader);
        showPicture(widget);
        const QRgb drawn = centrePixel(widget);
        QCOMPARE(drawn, qRgb(255, 0, 0));
        const GLuint program = widget.shader->program;

        writeViewerFrag(brokenSource);
        QTest::keyClick(&widget, 'u');
        QTRY_COMPARE(closer.boxes.size(), 1);
        QVERIFY2(carriesCompilerLog(closer.boxes[0].text), qPrintable(closer.boxes[0].text));
        QVERIFY(widget.shader);
        QCOMPARE(widget.shader->program, program);

        // The frames that follow draw as before and raise no further box.
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(centrePixel(widget), drawn);
        }
        QTest::qWait(50);
        QCOMPARE(closer.boxes.size(), 1);

        // Mended, "u" takes it.
        writeViewerFrag(plainSource("0.0, 0.0, 1.0"));
        QTest::keyClick(&widget, 'u');
        QVERIFY(widget.shader->program != program);
        QCOMPARE(centrePixel(widget), qRgb(0, 0, 255));
        QCOMPARE(closer.boxes.size(), 1);
    }
};

int main(int argc, char** argv) {
    // The guard of the real program turns a throw from a key into a box.
    ExceptionSafeApplication app(argc, argv);
    ViewerBrokenShaderTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ViewerBrokenShaderTest.moc"
