#include "CommandLine.h"

#include "PictureFormats.h"

#include <algorithm>
#include <string>

namespace {

const char* const usage =
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

// The usage, then one line a format of the readers' table, so that the two cannot differ.
std::string helpText() {
    std::string text = std::string(usage) +
                       "\nFormats read, by the name's suffix (other names by their first bytes, "
                       "PNG or PNM):\n";
    for (const PictureFormat& format : pictureFormats()) {
        std::string names;
        for (const char* suffix : format.suffixes) {
            names += (names.empty() ? "" : " ") + std::string(suffix);
        }
        if (format.wholeName != nullptr) {
            names += format.wholeName;
        }
        std::string name = format.name;
        name.resize(std::max<std::size_t>(name.size(), 22), ' ');
        text += "  " + name + " " + names + "\n";
    }
    return text;
}

} // namespace

const char* const commandLineHelp = [] {
    static const std::string text = helpText();
    return text.c_str();
}();

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
                result.error =
                    QString("--memory-budget takes a number of megabytes, not '%1'").arg(value);
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
