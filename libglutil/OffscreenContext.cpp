// Qt's GL headers clash with GLEW's, so no GLEW here.
#include "OffscreenContext.h"

#include "EglContext.h"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QSurfaceFormat>

#include <fmt/printf.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

// After Qt: Xlib's macros (None, Bool, Status) would break Qt's headers.
#include <X11/Xlib.h>

namespace {

// Qt aborts the process when its X connection fails, so the display is tried first.
void checkDisplay() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        const std::string name = XDisplayName(nullptr);
        throw std::runtime_error(
            name.empty()
                ? "no X display: DISPLAY is not set (run under xvfb-run -a for a virtual one)"
                : fmt::sprintf("cannot open the X display '%s' (run under xvfb-run -a for a "
                               "virtual one)",
                               name));
    }
    XCloseDisplay(display);
}

} // namespace

struct OffscreenContext::Parts {
    int argc = 1;
    char* argv[2];
    QGuiApplication application;
    QOffscreenSurface surface;
    QOpenGLContext context;

    explicit Parts(char* programName) : argv{programName, nullptr}, application(argc, argv) {}
};

OffscreenContext::OffscreenContext(const char* programName) {
    // Servers, containers and sandboxed thumbnailers have no display: Mesa draws without one.
    const char* displayName = std::getenv("DISPLAY");
    if (displayName == nullptr || *displayName == '\0') {
        egl = std::make_unique<EglContext>();
        initializeGlew(true);
        return;
    }
    checkDisplay();
    // Qt keeps the pointer; the name lives as long as the program's own arguments.
    parts = std::make_unique<Parts>(const_cast<char*>(programName));
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    parts->context.setFormat(format);
    parts->surface.setFormat(format);
    parts->surface.create();
    if (!parts->context.create() || !parts->context.makeCurrent(&parts->surface)) {
        throw std::runtime_error("no OpenGL context on the X display");
    }
    initializeGlew(false);
}

OffscreenContext::~OffscreenContext() {
    if (parts) {
        parts->context.doneCurrent();
    }
}
