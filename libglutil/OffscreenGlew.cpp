// Apart from OffscreenContext.cpp: Qt's GL headers and GLEW's do not mix.
#include "OffscreenContext.h"

#include <GL/glew.h>
#include <fmt/printf.h>

#include <stdexcept>

void initializeGlew(bool egl) {
    const GLenum status = glewInit();
    // Debian's GLEW is built for GLX: it loads the GL entry points (through libglvnd's
    // dispatch, which serves EGL contexts too) and only then fails to find a GLX display.
    const bool eglOnly = egl && status == GLEW_ERROR_NO_GLX_DISPLAY;
    if (status != GLEW_OK && !eglOnly) {
        throw std::runtime_error(
            fmt::sprintf("Error initializing OpenGL: %s",
                         reinterpret_cast<const char*>(glewGetErrorString(status))));
    }
    if (!GLEW_VERSION_2_0) {
        throw std::runtime_error("OpenGL 2.0 is not available");
    }
    // The entry points the renderer calls beyond 2.0's, checked where GLEW stopped early.
    if (eglOnly && (glCreateShader == nullptr || glGenFramebuffersEXT == nullptr)) {
        throw std::runtime_error("GLEW loaded no OpenGL entry points for the EGL context");
    }
}
