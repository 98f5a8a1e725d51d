#include "CommandLine.h"
#include "ExceptionSafeApplication.h"
#include "PixelMemory.h"
#include "Version.h"
#include "ViewerWidget.h"

#include <QGLFormat>
#include <QScreen>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>

MAROVEX_RESTART_EARLY

int main(int argc, char** argv) {
    // Answered before the application object, which needs a display.
    QStringList plain;
    for (int i = 0; i < argc; ++i) {
        plain.append(QString::fromLocal8Bit(argv[i]));
    }
    const CommandLine early = parseCommandLine(plain);
    if (!early.error.isEmpty()) {
        std::fprintf(stderr, "marovex-viewer: %s\n", qPrintable(early.error));
        return 2;
    }
    if (early.help || early.version) {
        if (early.help) {
            std::fputs(commandLineHelp, stdout);
        } else {
            std::printf("Marovex Viewer %s\n", VERSION);
        }
        return 0;
    }

    ExceptionSafeApplication app(argc, argv);

    // Buffer swaps wait for the display refresh; set before the widget makes its context.
    QGLFormat format = QGLFormat::defaultFormat();
    format.setSwapInterval(1);
    QGLFormat::setDefaultFormat(format);

    ViewerWidget widget;
    // Sized before it is shown: no resize follows its first frame.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    widget.resize(static_cast<int>(std::lround(screen.width() * 0.5)),
                  static_cast<int>(std::lround(screen.height() * 0.5)));
    widget.show();

    const CommandLine commandLine = parseCommandLine(QCoreApplication::arguments());
    if (commandLine.fullscreen) {
        widget.setFullscreen(true);
    }
    // Set before any file is opened: a message box's nested loop may deliver a file-open event.
    app.viewerWidget = &widget;
    widget.setWatch(commandLine.watch);
    if (commandLine.memoryBudget > 0) {
        widget.setResidentBudget(static_cast<std::size_t>(commandLine.memoryBudget) * 1000000);
    }
    if (!commandLine.files.isEmpty()) {
        widget.open(commandLine.files);
    } else {
        QTimer::singleShot(500, &app, &MacApp::checkForOpenedFile);
    }
    const int code = app.exec();
    if (!widget.loadsIdle()) {
        // A decode that cannot be stopped would hold the end back: nothing of it is kept.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
