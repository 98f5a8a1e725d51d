// Frame rate of the "viewer" program drawing a panorama into a 1280 x 720 offscreen target
// while the view turns, beside a program that samples one texel per pixel (the floor of a
// frame on this driver). Run by hand under an X display:
//   viewer-shader-bench [picture] [--seconds s] [--snapshots folder]
// Without a picture it makes an 8192 x 4096 RGBE panorama. --snapshots writes PPM pictures of
// each projection with and without tone mapping instead of timing.
#include "Shader.h"
#include "Texture.h"
#include "ViewerUniforms.h"

#include <GL/glx.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int outWidth = 1280;
constexpr int outHeight = 720;

// A window that is never shown, only there to make a GL context current.
class HiddenGlContext {
public:
    HiddenGlContext() {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            throw std::runtime_error("No X display (is DISPLAY set?)");
        }
        int attributes[] = {GLX_RGBA, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
        std::unique_ptr<XVisualInfo, decltype(&XFree)> visual(
            glXChooseVisual(display, DefaultScreen(display), attributes), &XFree);
        if (!visual) {
            XCloseDisplay(display);
            throw std::runtime_error("No RGB visual for OpenGL");
        }
        const Window root = RootWindow(display, visual->screen);
        XSetWindowAttributes windowAttributes{};
        windowAttributes.colormap = XCreateColormap(display, root, visual->visual, AllocNone);
        window = XCreateWindow(display, root, 0, 0, 16, 16, 0, visual->depth, InputOutput,
                               visual->visual, CWColormap, &windowAttributes);
        context = glXCreateContext(display, visual.get(), nullptr, True);
        if (context == nullptr || !glXMakeCurrent(display, window, context)) {
            throw std::runtime_error("No OpenGL context");
        }
        if (glewInit() != GLEW_OK || !GLEW_VERSION_2_0) {
            throw std::runtime_error("OpenGL 2.0 is not available");
        }
    }
    ~HiddenGlContext() {
        glXMakeCurrent(display, None, nullptr);
        glXDestroyContext(display, context);
        XDestroyWindow(display, window);
        XCloseDisplay(display);
    }
    HiddenGlContext(const HiddenGlContext&) = delete;
    HiddenGlContext& operator=(const HiddenGlContext&) = delete;

private:
    Display* display = nullptr;
    Window window = 0;
    GLXContext context = nullptr;
};

// Sky gradient, a sun, a checkered ground and thin meridians: detail at every scale.
std::unique_ptr<Texture> makePanorama(int width, int height) {
    std::vector<std::uint8_t> rgbe(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        const double latitude = M_PI * (0.5 - (y + 0.5) / height);
        for (int x = 0; x < width; ++x) {
            const double longitude = 2 * M_PI * (x + 0.5) / width;
            double r, g, b;
            if (latitude > 0) {
                r = 0.2 + 0.3 * latitude;
                g = 0.3 + 0.4 * latitude;
                b = 0.8;
                const double sun = std::hypot(longitude - 2.0, latitude - 0.6);
                if (sun < 0.05) {
                    r = g = b = 2000;
                }
            } else {
                const bool dark = (static_cast<int>(std::floor(longitude * 40)) +
                                   static_cast<int>(std::floor(latitude * 40))) %
                                  2;
                r = dark ? 0.05 : 0.3;
                g = dark ? 0.04 : 0.25;
                b = dark ? 0.03 : 0.1;
            }
            if (x % 256 == 0) {
                r = g = b = 1.0;
            }
            const double m = std::max(r, std::max(g, b));
            int e = 0;
            std::frexp(m, &e);
            const double f = std::ldexp(1.0, 8 - e);
            std::uint8_t* p = &rgbe[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(r * f);
            p[1] = static_cast<std::uint8_t>(g * f);
            p[2] = static_cast<std::uint8_t>(b * f);
            p[3] = static_cast<std::uint8_t>(e + 128);
        }
    }
    auto texture = std::make_unique<Texture>(width, height, rgbe.data(), GL_RGBA8, GL_RGBA);
    // Mean exponent about -1, as the loader would measure for such a picture.
    texture->scaleMean = 0.5;
    return texture;
}

float lowestZoom(int projection, const Texture& picture) {
    if (projection == 1) {
        return outWidth / (picture.width / 3.0f);
    }
    return std::min(static_cast<float>(outWidth) / picture.width,
                    static_cast<float>(outHeight) / picture.height);
}

struct Case {
    const char* name;
    int projection;
    float zoom; // 0 for the lowest zoom of the projection
    float pitch;
    bool tonemap;
};

const Case cases[] = {
    {"flat, whole picture", 0, 0, 0, false},
    {"flat, zoom 4", 0, 4, 0, false},
    {"spherical, lowest zoom", 1, 0, 0, false},
    {"spherical, lowest zoom, tone mapped", 1, 0, 0, true},
    {"spherical, zoom 4", 1, 4, 0, false},
    {"spherical, looking up", 1, 0, 80, false},
    {"stereographic, lowest zoom", 2, 0, 0, false},
    {"stereographic, little planet", 2, 0, -90, false},
};

ViewParameters viewFor(const Case& c, const Texture& picture) {
    ViewParameters view;
    view.projection = c.projection;
    view.zoom = c.zoom > 0 ? c.zoom : lowestZoom(c.projection, picture);
    view.pitch = c.pitch;
    view.tonemap = c.tonemap;
    view.viewportWidth = outWidth;
    view.viewportHeight = outHeight;
    return view;
}

// Draws frames for about `seconds`, turning by a quarter degree (or pixel) each; returns the
// number of frames and the seconds they took.
template <typename SetUniforms>
std::pair<int, double> turn(double seconds, ViewParameters view, SetUniforms setUniforms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int frames = 0;
    double elapsed = 0;
    while (elapsed < seconds || frames < 3) {
        view.yaw += 0.25f;
        setUniforms(view);
        drawViewportQuad(outWidth, outHeight);
        glFinish();
        ++frames;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return {frames, elapsed};
}

void report(const char* name, std::pair<int, double> run) {
    std::printf("%-40s %7.2f fps %9.1f ms/frame (%d frames)\n", name, run.first / run.second,
                1000 * run.second / run.first, run.first);
    std::fflush(stdout);
}

void writePpm(const std::string& path) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(outWidth) * outHeight * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, outWidth, outHeight, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    std::ofstream file(path, std::ios::binary);
    file << "P6\n" << outWidth << " " << outHeight << "\n255\n";
    const std::size_t row = static_cast<std::size_t>(outWidth) * 3;
    for (int y = outHeight - 1; y >= 0; --y) {
        file.write(reinterpret_cast<const char*>(&rgb[y * row]), static_cast<std::streamsize>(row));
    }
    if (!file) {
        throw std::runtime_error("Failed to write " + path);
    }
}

int run(int argc, char** argv) {
    std::string picturePath;
    std::string snapshots;
    double seconds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--snapshots") == 0 && i + 1 < argc) {
            snapshots = argv[++i];
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            picturePath = argv[i];
        }
    }

    HiddenGlContext context;
    std::printf("%s, %s\n", glGetString(GL_RENDERER), glGetString(GL_VERSION));
    const std::unique_ptr<Texture> picture =
        picturePath.empty() ? makePanorama(8192, 4096) : std::make_unique<Texture>(picturePath);
    std::printf("picture %d x %d in %d piece(s), viewport %d x %d\n", picture->width,
                picture->height, picture->numTextures, outWidth, outHeight);

    Shader viewer("viewer", "");
    Texture target(outWidth, outHeight, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8,
                   GL_RGBA);
    target.bindFB();
    glViewport(0, 0, outWidth, outHeight);
    glDisable(GL_DEPTH_TEST);
    picture->bind(GL_TEXTURE0);

    if (!snapshots.empty()) {
        viewer.use(true);
        const char* names[] = {
            "flat",         "flat-zoom4",    "spherical",    "spherical-tonemap", "spherical-zoom4",
            "spherical-up", "stereographic", "little-planet"};
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            for (bool tonemap : {false, true}) {
                ViewParameters view = viewFor(cases[i], *picture);
                view.tonemap = tonemap;
                setViewerUniforms(viewer, *picture, view);
                drawViewportQuad(outWidth, outHeight);
                writePpm(snapshots + "/" + names[i] + (tonemap ? "-tm" : "") + ".ppm");
            }
        }
        return 0;
    }

    Shader passThrough("passthrough", "");
    passThrough.use(true);
    report("pass-through (one texel)",
           turn(seconds, viewFor(cases[0], *picture), [&](const ViewParameters&) {
               passThrough.setUniform2f("texSize0", static_cast<float>(picture->texWidth),
                                        static_cast<float>(picture->texHeight));
           }));
    viewer.use(true);
    for (const Case& c : cases) {
        report(c.name, turn(seconds, viewFor(c, *picture), [&](const ViewParameters& view) {
                   setViewerUniforms(viewer, *picture, view);
               }));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
