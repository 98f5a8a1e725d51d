#include "CommandLine.h"

const char* const commandLineHelp =
    R"(Usage: marovex-viewer [-f] [--watch] [FILE...]
       marovex-viewer --help | --version

Shows high-dynamic-range and ordinary photographs and spherical panoramas. With no FILE the
open dialog comes up. A file whose name begins with a dash is given with its folder, as in
./--help.

  -f         start in full screen (first on the line only)
  --watch    reload the shown picture when its file changes on disk (key w switches it)
  --memory-budget MB
             the megabytes of pictures kept on the graphics card (default: a quarter of
             the memory); the longest unshown ones leave it and are read again when shown
  --help     this text
  --version  the version
)";

CommandLine parseCommandLine(QStringList arguments) {
    CommandLine result;
    if (!arguments.isEmpty()) {
        arguments.removeFirst();
    }
    if (!arguments.isEmpty() && (arguments.first() == "/f" || arguments.first() == "-f")) {
        arguments.removeFirst();
        result.fullscreen = true;
    }
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == "--memory-budget" || argument.startsWith("--memory-budget=")) {
            QString value = argument.mid(QString("--memory-budget=").size());
            if (argument == "--memory-budget") {
                value = i + 1 < arguments.size() ? arguments[++i] : QString();
            }
            bool ok = false;
            result.memoryBudget = value.toLongLong(&ok);
            if (!ok || result.memoryBudget <= 0) {
                result.error = QString("--memory-budget takes a number of megabytes, not '%1'")
                                   .arg(value);
                result.memoryBudget = 0;
            }
        } else if (argument == "--help") {
            result.help = true;
        } else if (argument == "--version") {
            result.version = true;
        } else if (argument == "--watch") {
            result.watch = true;
        } else {
            result.files.append(argument);
        }
    }
    return result;
}
