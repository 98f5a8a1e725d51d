#pragma once

// A current desktop OpenGL context on Mesa's surfaceless EGL platform, for the life of the
// object: no display server, no window system, no default framebuffer (draw into textures).
// Throws std::runtime_error naming what is missing when EGL cannot give one.
class EglContext {
public:
    EglContext();
    ~EglContext();

    EglContext(const EglContext&) = delete;
    EglContext& operator=(const EglContext&) = delete;

private:
    void release();

    void* display = nullptr;
    void* context = nullptr;
};
