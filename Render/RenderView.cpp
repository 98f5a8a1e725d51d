#include "RenderView.h"

#include "GlError.h"
#include "OffscreenContext.h"
#include "PendingFile.h"
#include "RenderOptions.h"
#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ViewLimits.h"
#include "ViewerUniforms.h"

#include <GL/glew.h>
#include <fmt/printf.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace {

double now() {
    timeval time{};
    gettimeofday(&time, nullptr);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1000000.0;
}

// The loader's "[T]" format, so that both kinds of line read alike.
class Stopwatch {
public:
    explicit Stopwatch(bool on) : on(on), start(now()) {}

    // glFinish first, so that GL work queued by the phase is counted in it.
    void lap(const char* label) {
        if (!on) {
            return;
        }
        glFinish();
        const double end = now();
        std::fprintf(stderr, "%s %20s: %3.3fs\n", "[T]", label, end - start);
        std::fflush(stderr);
        start = now();
    }

private:
    bool on;
    double start;
};

// The loader's timing and statistics lines and the writer's statistics line are diagnostics:
// without --timing they are dropped, so that a failure is the only line on the stream.
class QuietStderr {
public:
    explicit QuietStderr(bool quiet) {
        if (!quiet) {
            return;
        }
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (saved >= 0 && null >= 0) {
            dup2(null, STDERR_FILENO);
        }
        if (null >= 0) {
            close(null);
        }
    }
    ~QuietStderr() {
        if (saved >= 0) {
            std::fflush(stderr);
            dup2(saved, STDERR_FILENO);
            close(saved);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved = -1;
};

std::unique_ptr<Texture> load(const std::string& path, bool verbose) {
    const QuietStderr quiet(!verbose);
    return std::make_unique<Texture>(path);
}

bool isRadiance(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string end = path.substr(path.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return end == ".hdr";
}

double toLinear(double display) {
    return display <= 0.04045 ? display / 12.92 : std::pow((display + 0.055) / 1.055, 2.4);
}

std::vector<std::uint8_t> toRgbe(const std::vector<float>& rgb) {
    std::vector<std::uint8_t> rgbe(rgb.size() / 3 * 4);
    for (std::size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
        double c[3];
        for (int k = 0; k < 3; ++k) {
            c[k] = toLinear(std::min(1.0, std::max(0.0, static_cast<double>(rgb[i + k]))));
        }
        const double m = std::max(c[0], std::max(c[1], c[2]));
        if (m < 1e-32) {
            continue;
        }
        int e = 0;
        std::frexp(m, &e);
        const double scale = std::ldexp(1.0, 8 - e);
        for (int k = 0; k < 3; ++k) {
            rgbe[j + k] = static_cast<std::uint8_t>(std::min(255.0, c[k] * scale));
        }
        rgbe[j + 3] = static_cast<std::uint8_t>(e + 128);
    }
    return rgbe;
}

void initializeGlew() {
    const GLenum status = glewInit();
    if (status != GLEW_OK) {
        throw std::runtime_error(
            fmt::sprintf("Error initializing OpenGL: %s",
                         reinterpret_cast<const char*>(glewGetErrorString(status))));
    }
    if (!GLEW_VERSION_2_0) {
        throw std::runtime_error("OpenGL 2.0 is not available");
    }
}

ViewParameters viewFor(const RenderOptions& options, const Texture& picture) {
    ViewParameters view;
    view.projection = options.projection.value_or(defaultProjection(picture.width, picture.height));
    view.yaw = options.yaw;
    view.pitch = options.pitch;
    view.fstop = options.fstop;
    view.tonemap = options.tonemap;
    view.viewportWidth = options.width;
    view.viewportHeight = options.height;
    if (options.zoom) {
        view.zoom = *options.zoom;
    } else if (options.fov) {
        view.zoom = zoomForFov(*options.fov, view.projection, picture.width, options.width);
    } else {
        view.zoom = lowestZoom(view.projection, picture.width, picture.height, options.width,
                               options.height);
    }
    return view;
}

// One render target piece: a wider output would be split and only its left half drawn.
void checkOutputSize(int width, int height) {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    max = std::min(max, 8192);
    if (width > max || height > max) {
        throw std::runtime_error(fmt::sprintf(
            "output size %dx%d exceeds the graphics card's limit of %d", width, height, max));
    }
}

template <typename T> std::vector<T> readBack(int width, int height) {
    std::vector<T> values(static_cast<std::size_t>(width) * height * 3);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    glReadPixels(0, 0, width, height, GL_RGB,
                 std::is_same<T, float>::value ? GL_FLOAT : GL_UNSIGNED_BYTE, values.data());
    glPopClientAttrib();
    throwIfGlFailed(glError(__FILE__, __LINE__));
    return values;
}

void save(const std::string& output, int width, int height, const std::uint8_t* pixels,
          int channels, bool verbose) {
    if (output == "-") {
        const QuietStderr quiet(!verbose);
        saveImage(output, width, height, channels, pixels);
        return;
    }
    PendingFile pending(output);
    {
        const QuietStderr quiet(!verbose);
        saveImage(pending.path(), width, height, channels, pixels);
    }
    pending.commit();
}

} // namespace

void renderView(const RenderOptions& options, const char* programName) {
    Stopwatch stopwatch(options.timing);
    // First, so that the GL objects below go while it is still current.
    const OffscreenContext context(programName);
    initializeGlew();
    checkOutputSize(options.width, options.height);
    stopwatch.lap("context");

    const std::unique_ptr<Texture> loaded = load(options.input, options.timing);
    const Texture& picture = *loaded;
    stopwatch.lap("load");
    const ViewParameters view = viewFor(options, picture);

    Shader shader("viewer", "");
    stopwatch.lap("shader");

    const bool radiance = isRadiance(options.output);
    // An 8-bit target holds display values exactly as a window would; the float one keeps
    // them unrounded for the linear .hdr output.
    std::unique_ptr<Texture> target =
        radiance
            ? std::make_unique<Texture>(options.width, options.height,
                                        static_cast<const float*>(nullptr), GL_RGBA32F_ARB, GL_RGBA)
            : std::make_unique<Texture>(options.width, options.height,
                                        static_cast<const std::uint8_t*>(nullptr), GL_RGBA8,
                                        GL_RGBA);
    // Cleared before the mask, which glClear obeys too: the channels left out read 0.
    target->clear();
    glColorMask(options.red, options.green, options.blue, GL_TRUE);
    shader.use(true);
    setViewerUniforms(shader, picture, view);
    // The quad's texture coordinate is the framebuffer row, row 0 is read back first and the
    // shader takes 0 as the top: the file comes out upright with no flip.
    renderTo(*target, picture, false);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    Shader::useNone();
    throwIfGlFailed(glError(__FILE__, __LINE__));
    stopwatch.lap("render");

    if (radiance) {
        const std::vector<std::uint8_t> rgbe =
            toRgbe(readBack<float>(options.width, options.height));
        stopwatch.lap("readback");
        save(options.output, options.width, options.height, rgbe.data(), 4, options.timing);
    } else {
        const std::vector<std::uint8_t> rgb = readBack<std::uint8_t>(options.width, options.height);
        stopwatch.lap("readback");
        save(options.output, options.width, options.height, rgb.data(), 3, options.timing);
    }
    stopwatch.lap("save");
}
