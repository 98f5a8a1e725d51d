#pragma once

#include <memory>

class EglContext;

// A current OpenGL compatibility context with GLEW's entry points loaded, for the life of the
// object: on a hidden surface of the X display when DISPLAY is set (making the process's
// QGuiApplication, so there is one at a time), else on Mesa's surfaceless EGL platform, which
// has no default framebuffer. Throws std::runtime_error when there is no display, no context
// or no OpenGL 2.0.
class OffscreenContext {
public:
    // `programName` must outlive the object (argv[0] does): Qt keeps the pointer.
    explicit OffscreenContext(const char* programName);
    ~OffscreenContext();

    OffscreenContext(const OffscreenContext&) = delete;
    OffscreenContext& operator=(const OffscreenContext&) = delete;

private:
    struct Parts;
    std::unique_ptr<Parts> parts;
    std::unique_ptr<EglContext> egl;
};

// Loads GLEW's entry points for the current context, made through EGL or not. Throws
// std::runtime_error when that fails or OpenGL 2.0 is missing.
void initializeGlew(bool egl);
