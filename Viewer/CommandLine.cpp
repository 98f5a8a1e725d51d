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
