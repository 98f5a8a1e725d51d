// Frame rate of the real viewer window turning an 8192 x 4096 panorama at 1280 x 720, in each
// projection, beside the same window drawing with a program that samples one texel per pixel.
// Run by hand under an X display: viewer-widget-bench [seconds per case]
#include "Shader.h"
#include "ViewerWidget.h"
#include "rgbe.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGLFormat>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Case {
    const char* name;
    Projection projection;
    float zoom; // 0: the lowest zoom
    float pitch;
};

// Bands of colour and brightness, so that every frame samples varied texels.
std::string makePanorama() {
    const int width = 8192;
    const int height = 4096;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = static_cast<unsigned char>(128 + (x * 7) % 128);
            p[1] = static_cast<unsigned char>(128 + (y * 5) % 128);
            p[2] = static_cast<unsigned char>(128 + ((x ^ y) & 127));
            p[3] = static_cast<unsigned char>(120 + (x / 512 + y / 512) % 16);
        }
    }
    const std::string path = QDir::temp().filePath("viewer-widget-bench.hdr").toStdString();
    rgbe::write(path, width, height, pixels.data(), true);
    return path;
}

// Frames per second while the view turns for `seconds`.
double turn(ViewerWidget& widget, const Case& view, double seconds) {
    widget.projection = view.projection;
    widget.pitch = view.pitch;
    widget.setZoom(view.zoom);
    widget.updateGL();
    QElapsedTimer clock;
    clock.start();
    int frames = 0;
    while (clock.elapsed() < seconds * 1000.0) {
        widget.yaw += 0.5f;
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
    widget.open({QString::fromStdString(makePanorama())});
    if (widget.textures.empty() || !widget.shader) {
        std::fprintf(stderr, "the panorama or the viewer program did not load\n");
        return 1;
    }

    const Case cases[] = {{"flat, whole picture", Projection::Flat, 0.0f, 0.0f},
                          {"spherical, lowest zoom", Projection::Sphere, 0.0f, 0.0f},
                          {"spherical, zoom 4", Projection::Sphere, 4.0f, 0.0f},
                          {"stereographic, lowest zoom", Projection::Planet, 0.0f, 0.0f},
                          {"little planet", Projection::Planet, 0.0f, -90.0f}};
    std::printf("%-28s %10s %10s %12s\n", "case (1280 x 720)", "fps", "ms/frame", "x floor");
    for (const Case& view : cases) {
        widget.makeCurrent();
        widget.shader = std::make_unique<Shader>("viewer", "");
        const double viewer = turn(widget, view, seconds);

        // The floor: one texel a pixel. Its missing uniforms would print a line each per frame.
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
    return 0;
}
