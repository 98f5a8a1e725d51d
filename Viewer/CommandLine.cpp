#include "CommandLine.h"

CommandLine parseCommandLine(QStringList arguments) {
    CommandLine result;
    if (!arguments.isEmpty()) {
        arguments.removeFirst();
    }
    if (!arguments.isEmpty() && (arguments.first() == "/f" || arguments.first() == "-f")) {
        arguments.removeFirst();
        result.fullscreen = true;
    }
    result.files = arguments;
    return result;
}
