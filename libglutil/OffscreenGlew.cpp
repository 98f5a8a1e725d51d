// Apart from OffscreenContext.cpp: Qt's GL headers and GLEW's do not mix.
#include "OffscreenContext.h"

#include <GL/glew.h>
#include <fmt/printf.h>

#include <stdexcept>

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
