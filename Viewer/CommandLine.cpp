#include "CommandLine.h"

const char* const commandLineHelp =
    R"(Usage: marovex-viewer [-f] [--watch] [FILE...]
       marovex-viewer --help | --version

Shows high-dynamic-range and ordinary photographs and spherical panoramas. With no FILE the
open dialog comes up. A file whose name begins with a dash is given with its folder, as in
./--help.

  -f         start in full screen (first on the line only)
  --watch    reload the shown picture when its file changes on disk (key w switches it)
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
    for (const QString& argument : arguments) {
        if (argument == "--help") {
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
