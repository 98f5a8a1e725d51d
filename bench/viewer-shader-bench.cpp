// Frame rate of the "viewer" program drawing a panorama into a 1280 x 720 offscreen target
// while the view turns, beside a program that samples one texel per pixel (the floor of a
// frame on this driver). Run by hand under an X display:
//   viewer-shader-bench [picture] [--seconds s] [--snapshots folder]
// Without a picture it makes an 8192 x 4096 RGBE panorama. --snapshots writes PPM pictures of
// each projection with and without tone mapping instead of timing.
#include "DrawView.h"
#include "OffscreenContext.h"
#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ViewLimits.h"
#include "rgbe.h"

#include <GL/glew.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int outWidth = 1280;
constexpr int outHeight = 720;

// Sky gradient, a sun, a checkered ground and thin meridians: detail at every scale.
std::unique_ptr<Texture> makePanorama(int width, int height) {
    Picture picture;
    picture.allocate(width, height, PixelEncoding::Rgbe);
    std::uint8_t* pixels = picture.pixels.get();
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
            rgbe::encode(r, g, b, &pixels[(static_cast<std::size_t>(y) * width + x) * 4]);
        }
    }
    // With its mip pyramid, as the viewer uploads a picture.
    auto texture = std::make_unique<Texture>(std::move(picture));
    // Mean exponent about -1, as the loader would measure for such a picture.
    texture->scaleMean = 0.5;
    return texture;
}

struct Case {
    const char* name;
    Projection projection;
    float zoom; // 0 for the lowest zoom of the projection
    float pitch;
    bool tonemap;
};

const Case cases[] = {
    {"flat, whole picture", Projection::Flat, 0, 0, false},
    {"flat, zoom 4", Projection::Flat, 4, 0, false},
    {"spherical, lowest zoom", Projection::Sphere, 0, 0, false},
    {"spherical, lowest zoom, tone mapped", Projection::Sphere, 0, 0, true},
    {"spherical, zoom 4", Projection::Sphere, 4, 0, false},
    {"spherical, looking up", Projection::Sphere, 0, 80, false},
    {"stereographic, lowest zoom", Projection::Planet, 0, 0, false},
    {"stereographic, little planet", Projection::Planet, 0, -90, false},
};

ViewState viewFor(const Case& c, const Texture& picture) {
    ViewState view;
    view.projection = c.projection;
    view.zoom = c.zoom > 0
                    ? c.zoom
                    : lowestZoom(c.projection, picture.width, picture.height, outWidth, outHeight);
    view.pitch = c.pitch;
    view.tonemap = c.tonemap;
    view.viewportWidth = outWidth;
    view.viewportHeight = outHeight;
    return view;
}

// Draws frames for about `seconds`, turning by a quarter degree (or pixel) each, after one
// frame that is not counted; returns the number of frames and the seconds they took.
std::pair<int, double> turn(double seconds, ViewState view,
                            const std::function<void(const ViewState&)>& draw) {
    using Clock = std::chrono::steady_clock;
    // Not timed: the first frame builds the program for the case's modes.
    draw(view);
    glFinish();
    const Clock::time_point start = Clock::now();
    int frames = 0;
    double elapsed = 0;
    while (elapsed < seconds || frames < 3) {
        view.yaw += 0.25f;
        draw(view);
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

// The window's rows come bottom-up: the file's first row is the target's last.
void writePpm(const std::string& path, const Texture& target) {
    const std::vector<std::uint8_t> rgb =
        readBack<std::uint8_t>(target, 0, 0, outWidth, outHeight, 3);
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

    const OffscreenContext context(argv[0]);
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

    if (!snapshots.empty()) {
        const char* names[] = {
            "flat",         "flat-zoom4",    "spherical",    "spherical-tonemap", "spherical-zoom4",
            "spherical-up", "stereographic", "little-planet"};
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            for (bool tonemap : {false, true}) {
                ViewState view = viewFor(cases[i], *picture);
                view.tonemap = tonemap;
                drawView(viewer, *picture, view);
                writePpm(snapshots + "/" + names[i] + (tonemap ? "-tm" : "") + ".ppm", target);
            }
        }
        return 0;
    }

    Shader passThrough("passthrough", "");
    passThrough.use(true);
    picture->bind(GL_TEXTURE0);
    report("pass-through (one texel)",
           turn(seconds, viewFor(cases[0], *picture), [&](const ViewState&) {
               passThrough.setUniform2f("texSize0", static_cast<float>(picture->texWidth),
                                        static_cast<float>(picture->texHeight));
               drawViewportQuad(outWidth, outHeight);
           }));
    for (const Case& c : cases) {
        report(c.name, turn(seconds, viewFor(c, *picture),
                            [&](const ViewState& view) { drawView(viewer, *picture, view); }));
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
