#include "CommandLine.h"
#include "ExceptionSafeApplication.h"
#include "ViewerSettle.h"
#include "ViewerWidget.h"

#include "ModalCloser.h"

#include <QFileOpenEvent>
#include <QStandardPaths>
#include <QtTest>

#include <stdexcept>

namespace {

QStringList criticalMessages;

void recordCriticals(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg) {
        criticalMessages << text;
    }
}

class ThrowingWidget : public QWidget {
public:
    bool throwUnknown = false;

protected:
    void keyPressEvent(QKeyEvent*) override {
        if (throwUnknown) {
            throw 42;
        }
        throw std::runtime_error("x");
    }
};

MacApp& application() {
    return *static_cast<MacApp*>(QCoreApplication::instance());
}

} // namespace

class ApplicationTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        qInstallMessageHandler(recordCriticals);
    }
    void init() { criticalMessages.clear(); }

    void exceptionFromAHandlerIsShownAndTheProgramGoesOn() {
        ThrowingWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        ModalCloser closer;
        QTest::keyClick(&widget, Qt::Key_A);
        QCOMPARE(closer.boxes.size(), 1);
        QCOMPARE(closer.boxes[0].title, QString("Marovex Viewer"));
        QCOMPARE(closer.boxes[0].text, QString("Error: x"));
        QCOMPARE(criticalMessages, QStringList{"Error: x"});

        // The guard stays in place for the next event.
        QTest::keyClick(&widget, Qt::Key_B);
        QCOMPARE(closer.boxes.size(), 2);
    }

    void unknownExceptionIsOnlyLogged() {
        ThrowingWidget widget;
        widget.throwUnknown = true;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        ModalCloser closer;
        QTest::keyClick(&widget, Qt::Key_A);
        QTest::qWait(100);
        QVERIFY(closer.boxes.isEmpty());
        QCOMPARE(criticalMessages, QStringList{"Unknown Error"});
    }

    void fullScreenSwitchCountsOnlyInFirstPlace() {
        const auto parse = [](const QStringList& arguments) {
            return parseCommandLine(QStringList{"marovex-viewer"} + arguments);
        };
        CommandLine line = parse({"-f", "a.hdr", "b.jpg"});
        QVERIFY(line.fullscreen);
        QCOMPARE(line.files, (QStringList{"a.hdr", "b.jpg"}));
        line = parse({"/f"});
        QVERIFY(line.fullscreen);
        QVERIFY(line.files.isEmpty());
        line = parse({"a.hdr", "-f"});
        QVERIFY(!line.fullscreen);
        QCOMPARE(line.files, (QStringList{"a.hdr", "-f"}));
        line = parse({"-F", "--f"});
        QVERIFY(!line.fullscreen);
        QCOMPARE(line.files, (QStringList{"-F", "--f"}));
        line = parse({"-f", "-f"});
        QVERIFY(line.fullscreen);
        QCOMPARE(line.files, QStringList{"-f"});
        QVERIFY(parseCommandLine({}).files.isEmpty());
        QVERIFY(parse({}).files.isEmpty());
    }

    // --help, --version and --watch count anywhere; ./--help is a file; -f stays first only.
    void helpVersionAndWatchAreSwitchesAnywhere() {
        const auto parse = [](const QStringList& arguments) {
            return parseCommandLine(QStringList{"marovex-viewer"} + arguments);
        };
        CommandLine line = parse({"a.hdr", "--watch", "b.jpg"});
        QVERIFY(line.watch && !line.help && !line.version);
        QCOMPARE(line.files, (QStringList{"a.hdr", "b.jpg"}));
        line = parse({"-f", "--help"});
        QVERIFY(line.fullscreen && line.help && !line.version);
        QVERIFY(line.files.isEmpty());
        line = parse({"./--help", "./--version", "--Help", "-help"});
        QVERIFY(!line.help && !line.version && !line.watch);
        QCOMPARE(line.files, (QStringList{"./--help", "./--version", "--Help", "-help"}));
        line = parse({"x.exr", "--version"});
        QVERIFY(line.version);
        QCOMPARE(line.files, QStringList{"x.exr"});
        QVERIFY(QString(commandLineHelp).startsWith("Usage: marovex-viewer "));
    }

    // --memory-budget takes megabytes, as the next argument or after '='; anything else is an
    // error naming the value, and no file.
    void memoryBudgetTakesMegabytes() {
        const struct {
            QStringList arguments;
            long long megabytes;
            bool error;
            QStringList files;
        } cases[] = {
            {{"--memory-budget", "500", "a.hdr"}, 500, false, {"a.hdr"}},
            {{"a.hdr", "--memory-budget=64"}, 64, false, {"a.hdr"}},
            {{"--memory-budget", "lots", "b.hdr"}, 0, true, {"b.hdr"}},
            {{"--memory-budget=0"}, 0, true, {}},
            {{"--memory-budget"}, 0, true, {}},
        };
        for (const auto& test : cases) {
            const CommandLine line =
                parseCommandLine(QStringList{"marovex-viewer"} + test.arguments);
            QCOMPARE(line.memoryBudget, test.megabytes);
            QCOMPARE(!line.error.isEmpty(), test.error);
            QCOMPARE(line.files, test.files);
        }
    }

    void fileOpenEventBeforeTheWindowExistsIsHarmless() {
        MacApp& app = application();
        app.viewerWidget = nullptr;
        app.fileOpened = false;
        QFileOpenEvent event(QString("nowhere.hdr"));
        QVERIFY(QCoreApplication::sendEvent(&app, &event));
        QVERIFY(app.fileOpened);
    }

    void fileOpenEventOpensItsFileAndSuppressesTheDialog() {
        MacApp& app = application();
        ViewerWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        app.viewerWidget = &widget;
        app.fileOpened = false;
        ModalCloser closer;
        QFileOpenEvent event(QString("missing.hdr"));
        QVERIFY(QCoreApplication::sendEvent(&app, &event));
        QVERIFY(settle(widget));
        QCOMPARE(closer.boxes.size(), 1);
        QCOMPARE(closer.boxes[0].title, QString("File not found"));
        QCOMPARE(closer.boxes[0].text, QString("Could not open image file:<br/>missing.hdr"));

        app.checkForOpenedFile();
        QTest::qWait(100);
        QCOMPARE(closer.boxes.size(), 1); // no dialog
        app.viewerWidget = nullptr;
    }

    void cancelledStartUpDialogQuitsWithStatusZero() {
        MacApp& app = application();
        ViewerWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        app.viewerWidget = &widget;
        app.fileOpened = false;
        ModalCloser closer;
        QTimer::singleShot(0, &app, &MacApp::checkForOpenedFile);
        QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(3); }); // never hang
        QCOMPARE(app.exec(), 0);
        QCOMPARE(closer.boxes.size(), 1);
        QCOMPARE(closer.boxes[0].title, QString("Choose image(s) to display"));
        app.viewerWidget = nullptr;
    }
};

int main(int argc, char** argv) {
    ExceptionSafeApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    ApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ApplicationTest.moc"
