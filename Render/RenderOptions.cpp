#include "RenderOptions.h"

#include "FileName.h"
#include "Picture.h"
#include "ToneOperator.h"

#include <fmt/printf.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

const char* const renderHelp =
    R"(Usage: marovex-render [options] INPUT OUTPUT
       marovex-render [options] --output-dir DIR [--format F] INPUT...

Renders one view of a picture, as the viewer shows it, without a window. INPUT is any file
the viewer opens (RADIANCE .hdr, JPEG, OpenEXR .exr, TIFF, .pfm, PNG, PNM, BMP, GIF, TGA,
WebP, .cr2 previews, "-" for a PNM picture on standard input; also gain-map JPEG, AVIF,
HEIC/HEIF, JPEG XL and camera raws: .dng, .cr3, .nef, .arw, .raf, .orf, .rw2, .pef, .srw). OUTPUT is chosen by its extension: .jpg,
.ppm or .png hold the displayed colours with 8 bits per channel; .hdr holds the same view as
linear light (the display curve undone, so 1 is the display's white and brighter parts stay
clipped: choose them with --fstop), and so does .exr in half floats; "-" writes PPM to
standard output. Draws on the X display when DISPLAY is set, else without any display
server through EGL (Mesa's surfaceless platform).

Options (a value may also follow an equals sign, as in --size=256x128):
  --size WxH        output size in pixels, each side 1 to 8192 (default 1280x720)
  --yaw DEG         view direction: degrees for sphere and planet, pan offsets in picture
  --pitch DEG       pixels for flat pictures, as in the viewer (default 0 0)
  --zoom Z          screen pixels per picture pixel, any value above 0 (default: the
                    viewer's lowest zoom: a third of a panorama across the width in the
                    sphere projection, else the whole picture)
  --fov DEG         horizontal field of view instead of --zoom: below 180 for sphere (a
                    straight-line perspective view), below 360 for planet (the angle of
                    the stereographic view); not for flat pictures, which have none
  --projection P    flat, sphere or planet (default: sphere for a picture exactly twice as
                    wide as high or marked equirectangular in its metadata, else flat)
  --fstop F         exposure in f-stops for high-dynamic-range pictures (default 0)
  --tonemap [NAME]  tone mapping on, with the operator NAME: reinhard (the viewer's
                    curve, the default), aces (ACES filmic), agx or neutral (Khronos PBR
                    Neutral); NAME is taken only when it is one of these (or --tonemap=NAME)
  --auto-exposure   the f-stop at which the view's log-average luminance, its brightest
                    1 % left out, shows as middle grey (instead of --fstop)
  --channels C      rgb, r, g or b: the channels left out are black (default rgb)
  --format F        jpg, png, ppm, hdr or exr: the output's type whatever its name
  --output-dir DIR  a batch in one process: each INPUT is saved in DIR under its own name
                    with the extension of --format (default png); a file that fails is
                    reported and the others go on; progress is shown on a terminal
  --thumbnail N     the whole picture, flat unless --projection is given, fitted into
                    N x N pixels with its shape kept (for file managers; replaces --size)
  --gain-map M      on or off: photos with a gain map as their HDR rendition (on, the
                    default) or as their base picture, as SDR screens show them (off)
  --timing          timing lines ("[T]") and the loader's statistics on standard
                    error, which otherwise carries only errors
  --help            this text

Example: marovex-render --size 256x128 --yaw 90 pano.hdr thumbnail.jpg
         marovex-render --output-dir views --format jpg --fov 90 *.hdr

Exit status: 0 on success, 2 for bad arguments, 1 when loading, rendering or saving fails
(in a batch: when any input failed).
A failed run leaves no output file behind.
)";

namespace {

std::runtime_error badValue(const std::string& option, const std::string& value, const char* why) {
    return std::runtime_error(fmt::sprintf("bad value '%s' for %s: %s", value, option, why));
}

float number(const std::string& option, const std::string& value) {
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(parsed) ||
        std::fabs(parsed) > 1e30) {
        throw badValue(option, value, "not a number");
    }
    return static_cast<float>(parsed);
}

int side(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    const int value = std::atoi(text.c_str());
    return value <= largestPiece ? value : 0;
}

void parseSize(const std::string& value, RenderOptions& options) {
    const std::size_t x = value.find_first_of("xX");
    const int w = x == std::string::npos ? 0 : side(value.substr(0, x));
    const int h = x == std::string::npos ? 0 : side(value.substr(x + 1));
    if (w == 0 || h == 0) {
        throw std::runtime_error(fmt::sprintf(
            "bad size '%s': expected WxH with each side from 1 to %d", value, largestPiece));
    }
    options.view.viewportWidth = w;
    options.view.viewportHeight = h;
}

const char* const formats[] = {"jpg", "png", "ppm", "hdr", "exr"};

void checkOutputType(const std::string& output) {
    if (output == "-") {
        return;
    }
    for (const char* suffix : {".jpg", ".ppm", ".png", ".hdr", ".exr"}) {
        if (hasSuffix(output, suffix)) {
            return;
        }
    }
    throw std::runtime_error(fmt::sprintf(
        "unsupported output type '%s': use .jpg, .ppm, .png, .hdr, .exr or - for PPM on "
        "standard output",
        output));
}

} // namespace

RenderOptions::RenderOptions() {
    view.viewportWidth = 1280;
    view.viewportHeight = 720;
}

RenderOptions parseRenderOptions(const std::vector<std::string>& args) {
    RenderOptions options;
    std::vector<std::string> files;
    bool optionsEnded = false;
    bool fstopGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.compare(0, 2, "--") != 0) {
            if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
                throw std::runtime_error(fmt::sprintf("unknown option '%s' (see --help)", arg));
            }
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (name == "--tonemap") {
            options.view.tonemap = true;
            // The next argument is the operator only when it names one, so that a bare
            // --tonemap before the files keeps working.
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size() && toneOperatorNamed(args[i + 1])) {
                value = args[++i];
            } else {
                continue;
            }
            const std::optional<ToneOperator> op = toneOperatorNamed(value);
            if (!op) {
                throw badValue(name, value, "expected reinhard, aces, agx or neutral");
            }
            options.view.toneOperator = *op;
            continue;
        }
        if (name == "--help" || name == "--auto-exposure" || name == "--timing") {
            if (equals != std::string::npos) {
                throw std::runtime_error(fmt::sprintf("option '%s' takes no value", name));
            }
            (name == "--help"            ? options.help
             : name == "--auto-exposure" ? options.autoExposure
                                         : options.timing) = true;
            continue;
        }
        static const char* const valued[] = {"--size",   "--yaw",        "--pitch",    "--zoom",
                                             "--fov",    "--projection", "--fstop",    "--channels",
                                             "--format", "--output-dir", "--thumbnail", "--gain-map"};
        bool known = false;
        for (const char* option : valued) {
            known = known || name == option;
        }
        if (!known) {
            throw std::runtime_error(fmt::sprintf("unknown option '%s' (see --help)", name));
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw std::runtime_error(fmt::sprintf("option '%s' needs a value", name));
        }

        if (name == "--size") {
            parseSize(value, options);
        } else if (name == "--yaw") {
            options.view.yaw = number(name, value);
        } else if (name == "--pitch") {
            options.view.pitch = number(name, value);
        } else if (name == "--fstop") {
            options.view.fstop = number(name, value);
            fstopGiven = true;
        } else if (name == "--zoom") {
            const float zoom = number(name, value);
            if (!(zoom > 0.0f)) {
                throw badValue(name, value, "must be above 0");
            }
            options.zoom = zoom;
        } else if (name == "--fov") {
            const float fov = number(name, value);
            if (!(fov > 0.0f && fov < 360.0f)) {
                throw badValue(name, value, "must lie between 0 and 360 degrees");
            }
            options.fov = fov;
        } else if (name == "--format") {
            bool knownFormat = false;
            for (const char* format : formats) {
                knownFormat = knownFormat || value == format;
            }
            if (!knownFormat) {
                throw badValue(name, value, "expected jpg, png, ppm, hdr or exr");
            }
            options.format = value;
        } else if (name == "--output-dir") {
            if (value.empty()) {
                throw badValue(name, value, "an empty folder name");
            }
            options.outputDir = value;
        } else if (name == "--thumbnail") {
            const int size = side(value);
            if (size == 0) {
                throw badValue(name, value,
                               fmt::sprintf("expected 1 to %d pixels", largestPiece).c_str());
            }
            options.thumbnail = size;
        } else if (name == "--gain-map") {
            if (value != "on" && value != "off") {
                throw badValue(name, value, "expected on or off");
            }
            options.gainMaps = value == "on";
        } else if (name == "--projection") {
            if (value == "flat") {
                options.projection = Projection::Flat;
            } else if (value == "sphere") {
                options.projection = Projection::Sphere;
            } else if (value == "planet") {
                options.projection = Projection::Planet;
            } else {
                throw badValue(name, value, "expected flat, sphere or planet");
            }
        } else {
            if (value != "rgb" && value != "r" && value != "g" && value != "b") {
                throw badValue(name, value, "expected rgb, r, g or b");
            }
            options.view.showRed = value == "rgb" || value == "r";
            options.view.showGreen = value == "rgb" || value == "g";
            options.view.showBlue = value == "rgb" || value == "b";
        }
    }
    if (options.help) {
        return options;
    }
    if (options.zoom && options.fov) {
        throw std::runtime_error("--zoom and --fov exclude each other");
    }
    if (options.autoExposure && fstopGiven) {
        throw std::runtime_error("--fstop and --auto-exposure exclude each other");
    }
    if (!options.outputDir.empty()) {
        if (files.empty()) {
            throw std::runtime_error("expected one INPUT or more with --output-dir (see --help)");
        }
        if (options.format.empty()) {
            options.format = "png";
        }
        options.inputs = files;
        return options;
    }
    if (files.size() != 2) {
        throw std::runtime_error("expected INPUT and OUTPUT (see --help)");
    }
    options.input = files[0];
    options.output = files[1];
    if (options.format.empty()) {
        checkOutputType(options.output);
    }
    return options;
}

std::string outputType(const RenderOptions& options, const std::string& output) {
    if (output == "-") {
        return ".ppm";
    }
    if (!options.format.empty()) {
        return "." + options.format;
    }
    for (const char* format : formats) {
        const std::string suffix = std::string(".") + format;
        if (hasSuffix(output, suffix)) {
            return suffix;
        }
    }
    return std::string();
}

std::string batchOutput(const RenderOptions& options, const std::string& input) {
    const std::size_t slash = input.rfind('/');
    std::string name = slash == std::string::npos ? input : input.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    if (name.empty() || input == "-") {
        name = "stdin";
    }
    std::string folder = options.outputDir;
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder + name + "." + options.format;
}
