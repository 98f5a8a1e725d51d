// Frame rate of the real viewer window turning 8192 x 4096 and 32768 x 16384 panoramas (made in
// memory) at 1280 x 720, in each projection, beside the same window drawing with a program that
// samples one texel per pixel; and the memory each picture takes on the card and while it is
// uploaded. Run by hand under an X display: viewer-widget-bench [seconds per case]
#include "Shader.h"
#include "ViewerWidget.h"
#include "Picture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGLFormat>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    Projection projection;
    float zoom; // 0: the lowest zoom
    float pitch;
};

// Bands of colour and brightness, so that every frame samples varied texels.
Picture makePanorama(int width) {
    const int height = width / 2;
    Picture picture;
    picture.allocate(width, height, PixelEncoding::Rgbe);
    for (int y = 0; y < height; ++y) {
        unsigned char* p = picture.pixels.get() + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x, p += 4) {
            p[0] = static_cast<unsigned char>(128 + (x * 7) % 128);
            p[1] = static_cast<unsigned char>(128 + (y * 5) % 128);
            p[2] = static_cast<unsigned char>(128 + ((x ^ y) & 127));
            p[3] = static_cast<unsigned char>(120 + (x / 512 + y / 512) % 16);
        }
    }
    picture.scale = {1.0, 1.0, 1.0};
    picture.fileName = "panorama";
    return picture;
}

// The process's peak resident memory so far, in bytes.
double peakResident() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atof(line.c_str() + 6) * 1024.0;
        }
    }
    return 0.0;
}

// Bytes the picture's textures hold on the card.
double cardBytes(const Texture& texture) {
    const double texel = texture.hdr ? 4.0 : 3.0;
    double bytes = 0.0;
    if (texture.tileLevels > 0) {
        bytes +=
            texel * texture.texWidth * texture.texHeight * texture.tileColumns * texture.tileRows;
    }
    long w = texture.width;
    long h = texture.height;
    for (int level = 0; level < texture.levels; ++level) {
        if (level >= texture.tileLevels) {
            bytes += texel * static_cast<double>(w) * static_cast<double>(h);
        }
        w = std::max(1L, w / 2);
        h = std::max(1L, h / 2);
    }
    return bytes;
}

// Frames per second while the view turns for `seconds`.
double turn(ViewerWidget& widget, const Case& view, double seconds) {
    widget.view.projection = view.projection;
    widget.view.pitch = view.pitch;
    widget.setZoom(view.zoom);
    widget.updateGL();
    QElapsedTimer clock;
    clock.start();
    int frames = 0;
    while (clock.elapsed() < seconds * 1000.0) {
        widget.view.yaw += 0.5f;
        widget.updateGL();
        ++frames;
    }
    glFinish();
    return frames / (static_cast<double>(clock.elapsed()) / 1000.0);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    // Measure drawing, not the display's refresh.
    QGLFormat format = QGLFormat::defaultFormat();
    format.setSwapInterval(0);
    QGLFormat::setDefaultFormat(format);

    ViewerWidget widget;
    widget.timer->stop();
    widget.resize(1280, 720);
    widget.show();
    app.processEvents();
    if (!widget.shader) {
        std::fprintf(stderr, "the viewer program did not load\n");
        return 1;
    }

    const Case cases[] = {{"flat, whole picture", Projection::Flat, 0.0f, 0.0f},
                          {"spherical, lowest zoom", Projection::Sphere, 0.0f, 0.0f},
                          {"spherical, zoom 4", Projection::Sphere, 4.0f, 0.0f},
                          {"stereographic, lowest zoom", Projection::Planet, 0.0f, 0.0f},
                          {"little planet", Projection::Planet, 0.0f, -90.0f}};
    for (const int width : {8192, 32768}) {
        widget.makeCurrent();
        widget.pictures.clear();
        const double before = peakResident();
        Picture picture = makePanorama(width);
        const double rgbeBytes = static_cast<double>(picture.byteCount());
        const double made = peakResident();
        widget.pictures.append("panorama", 0, std::make_unique<Texture>(std::move(picture)));
        const double peak = peakResident() - before;
        widget.currentIndex = 0;
        std::printf("\n%d x %d: %.0f MB of RGBE; on the card %.2fx; peak resident while "
                    "uploading %.2fx (the picture alone %.2fx)\n",
                    width, width / 2, rgbeBytes / 1e6,
                    cardBytes(*widget.pictures.at(0).texture) / rgbeBytes, peak / rgbeBytes,
                    (made - before) / rgbeBytes);
        std::printf("%-28s %10s %10s %12s\n", "case (1280 x 720)", "fps", "ms/frame", "x floor");
        for (const Case& view : cases) {
            widget.makeCurrent();
            widget.shader = std::make_unique<Shader>("viewer", "");
            const double viewer = turn(widget, view, seconds);

            // The floor: one texel a pixel. Its missing uniforms would print a line each.
            widget.makeCurrent();
            widget.shader = std::make_unique<Shader>("passthrough", "");
            std::fflush(stderr);
            const int savedStderr = dup(2);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            const double floor = turn(widget, view, seconds);
            std::fflush(stderr);
            dup2(savedStderr, 2);
            close(null);
            close(savedStderr);

            std::printf("%-28s %10.2f %10.1f %12.1f\n", view.name, viewer, 1000.0 / viewer,
                        floor / viewer);
            std::printf("%-28s %10.2f %10.1f\n", "  one-texel floor", floor, 1000.0 / floor);
        }
    }
    widget.makeCurrent();
    widget.pictures.clear();
    return 0;
}
