#pragma once

#include <memory>

// A current OpenGL compatibility context on a hidden surface of the X display, with GLEW's
// entry points loaded, for the life of the object. Makes the process's QGuiApplication, so
// there is one at a time. Throws std::runtime_error when there is no display, no context or
// no OpenGL 2.0.
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
};

// Loads GLEW's entry points for the current context. Throws std::runtime_error when that
// fails or OpenGL 2.0 is missing.
void initializeGlew();
