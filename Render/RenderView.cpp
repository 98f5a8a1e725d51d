#include "RenderView.h"

#include "Diagnostics.h"
#include "DrawView.h"
#include "ExposureMeter.h"
#include "FileName.h"
#include "GlError.h"
#include "OffscreenContext.h"
#include "PendingFile.h"
#include "PictureReader.h"
#include "PictureWriter.h"
#include "RenderOptions.h"
#include "Shader.h"
#include "Stopwatch.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ViewLimits.h"
#include "rgbe.h"

#include <GL/glew.h>
#include <QString>
#include <QtGlobal>
#include <fmt/printf.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The platform's notes (a missing runtime folder and the like) are no concern of a one-shot
// command; only its failures are shown.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "marovex-render: %s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

double toLinear(double display) {
    return display <= 0.04045 ? display / 12.92 : std::pow((display + 0.055) / 1.055, 2.4);
}

// Display values back to linear light, 1 being the display's white.
std::vector<float> toLinearRgb(const std::vector<float>& rgb) {
    std::vector<float> linear(rgb.size());
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        linear[i] =
            static_cast<float>(toLinear(std::min(1.0, std::max(0.0, static_cast<double>(rgb[i])))));
    }
    return linear;
}

std::vector<std::uint8_t> toRgbe(const std::vector<float>& rgb) {
    std::vector<std::uint8_t> quadruples(rgb.size() / 3 * 4);
    for (std::size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
        double c[3];
        for (int k = 0; k < 3; ++k) {
            c[k] = toLinear(std::min(1.0, std::max(0.0, static_cast<double>(rgb[i + k]))));
        }
        rgbe::encode(c[0], c[1], c[2], &quadruples[j]);
    }
    return quadruples;
}

// `hint` is the projection the picture's metadata asks for.
ViewState viewFor(const RenderOptions& options, const Texture& picture, ProjectionHint hint) {
    ViewState view = options.view;
    if (options.thumbnail) {
        // The whole picture, flat, in the asked square: what a file manager shows of it.
        const int side = *options.thumbnail;
        const bool wide = picture.width >= picture.height;
        const double ratio = wide ? static_cast<double>(picture.height) / picture.width
                                  : static_cast<double>(picture.width) / picture.height;
        const int shorter = std::max(1, static_cast<int>(std::lround(side * ratio)));
        view.viewportWidth = wide ? side : shorter;
        view.viewportHeight = wide ? shorter : side;
    }
    view.projection = options.projection.value_or(
        options.thumbnail ? Projection::Flat
                          : defaultProjection(picture.width, picture.height, hint));
    if (options.zoom) {
        view.zoom = *options.zoom;
    } else if (options.fov) {
        view.zoom = zoomForFov(*options.fov, view.projection, picture.width, view.viewportWidth);
    } else {
        view.zoom = lowestZoom(view.projection, picture.width, picture.height, view.viewportWidth,
                               view.viewportHeight);
    }
    return view;
}

// One render target piece: a wider output would be split and only its left half drawn.
void checkOutputSize(int width, int height) {
    const int max = Texture::pieceLimit();
    if (width > max || height > max) {
        throw std::runtime_error(fmt::sprintf(
            "output size %dx%d exceeds the graphics card's limit of %d", width, height, max));
    }
}

void save(const std::string& output, const std::string& type, int width, int height,
          const std::uint8_t* pixels, int channels) {
    if (output == "-") {
        saveImage(output, width, height, channels, pixels);
        return;
    }
    PendingFile pending(output, type);
    saveImage(pending.path(), width, height, channels, pixels);
    pending.commit();
}

} // namespace

RenderContext::RenderContext(const char* programName) {
    qInstallMessageHandler(quietMessages);
    context = std::make_unique<OffscreenContext>(programName);
}

RenderContext::~RenderContext() = default;

void RenderContext::render(const RenderOptions& options, const std::string& input,
                           const std::string& output) {
    // The loader's and the writer's diagnostic lines and the timings are dropped without
    // --timing, so that a failure is the only line on the stream.
    const DiagnosticsSilenced quiet(!options.timing);
    Stopwatch stopwatch;
    // glFinish first, so that GL work queued by the phase is counted in it.
    const auto lap = [&](const char* label) {
        if (options.timing) {
            glFinish();
        }
        stopwatch.lap(label);
    };
    checkOutputSize(options.view.viewportWidth, options.view.viewportHeight);

    Picture read = readPicture(input, Texture::sizeLimit());
    const PictureMetadata metadata = pictureMetadata(read);
    const Texture picture(std::move(read));
    lap("load");
    ViewState view = viewFor(options, picture, metadata.projectionHint);
    const int width = view.viewportWidth;
    const int height = view.viewportHeight;
    checkOutputSize(width, height);

    if (!shader) {
        shader = std::make_unique<Shader>("viewer", "");
    }
    lap("shader");
    if (options.autoExposure) {
        // An 8-bit picture has no exposure to meter; it keeps its f-stop.
        view.fstop = meterView(*shader, picture, view).value_or(view.fstop);
        lap("meter");
    }

    const std::string type = outputType(options, output);
    const bool exr = type == ".exr";
    const bool radiance = type == ".hdr" || exr;
    // An 8-bit target holds display values exactly as a window would; the float one keeps
    // them unrounded for the linear .hdr output.
    std::unique_ptr<Texture> target =
        radiance ? std::make_unique<Texture>(width, height, static_cast<const float*>(nullptr),
                                             GL_RGBA32F_ARB, GL_RGBA)
                 : std::make_unique<Texture>(
                       width, height, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
    drawView(*shader, picture, view, *target);
    Shader::useNone();
    throwIfGlFailed(glError(__FILE__, __LINE__));
    lap("render");

    if (exr) {
        const std::vector<float> linear =
            toLinearRgb(readBack<float>(*target, 0, 0, width, height, 3));
        lap("readback");
        PendingFile pending(output, type);
        saveLinearExr(pending.path(), width, height, linear.data());
        pending.commit();
    } else if (radiance) {
        const std::vector<std::uint8_t> quadruples =
            toRgbe(readBack<float>(*target, 0, 0, width, height, 3));
        lap("readback");
        save(output, type, width, height, quadruples.data(), 4);
    } else {
        const std::vector<std::uint8_t> rgb =
            readBack<std::uint8_t>(*target, 0, 0, width, height, 3);
        lap("readback");
        save(output, type, width, height, rgb.data(), 3);
    }
    lap("save");
}

void renderView(const RenderOptions& options, const char* programName) {
    const DiagnosticsSilenced quiet(!options.timing);
    Stopwatch stopwatch;
    RenderContext context(programName);
    if (options.timing) {
        glFinish();
    }
    stopwatch.lap("context");
    context.render(options, options.input, options.output);
}
