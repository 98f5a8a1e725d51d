// No Xlib: the surfaceless platform needs none, and its macros would leak into our code.
#define EGL_NO_X11
#include "EglContext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <fmt/printf.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

std::string eglErrorName() {
    static const char* const names[] = {
        "EGL_SUCCESS",       "EGL_NOT_INITIALIZED",     "EGL_BAD_ACCESS",
        "EGL_BAD_ALLOC",     "EGL_BAD_ATTRIBUTE",       "EGL_BAD_CONFIG",
        "EGL_BAD_CONTEXT",   "EGL_BAD_CURRENT_SURFACE", "EGL_BAD_DISPLAY",
        "EGL_BAD_MATCH",     "EGL_BAD_NATIVE_PIXMAP",   "EGL_BAD_NATIVE_WINDOW",
        "EGL_BAD_PARAMETER", "EGL_BAD_SURFACE",         "EGL_CONTEXT_LOST"};
    const EGLint code = eglGetError();
    const EGLint index = code - EGL_SUCCESS;
    if (index >= 0 && index < static_cast<EGLint>(sizeof names / sizeof names[0])) {
        return names[index];
    }
    return fmt::sprintf("EGL error 0x%04x", code);
}

// Whole words only: one extension's name may begin another's.
bool hasExtension(const char* list, const char* name) {
    if (list == nullptr) {
        return false;
    }
    const std::string padded = " " + std::string(list) + " ";
    return padded.find(" " + std::string(name) + " ") != std::string::npos;
}

} // namespace

EglContext::EglContext() {
    // Client extensions are asked of no display; a pre-1.5 EGL returns null here.
    if (!hasExtension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS),
                      "EGL_MESA_platform_surfaceless")) {
        throw std::runtime_error(
            "no X display, and EGL lacks Mesa's surfaceless platform "
            "(EGL_MESA_platform_surfaceless; Debian package libegl-mesa0): set DISPLAY or run "
            "under xvfb-run -a");
    }
    EGLDisplay eglDisplay =
        eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLint major = 0;
    EGLint minor = 0;
    if (eglDisplay == EGL_NO_DISPLAY || !eglInitialize(eglDisplay, &major, &minor)) {
        throw std::runtime_error(fmt::sprintf(
            "no X display, and EGL's surfaceless platform does not start (%s): Mesa's drivers "
            "(Debian package libgl1-mesa-dri) are missing or unusable",
            eglErrorName()));
    }
    display = eglDisplay;
    try {
        if (!hasExtension(eglQueryString(eglDisplay, EGL_EXTENSIONS),
                          "EGL_KHR_surfaceless_context")) {
            throw std::runtime_error("EGL's surfaceless platform lacks contexts without a surface "
                                     "(EGL_KHR_surfaceless_context)");
        }
        if (!eglBindAPI(EGL_OPENGL_API)) {
            throw std::runtime_error(
                fmt::sprintf("EGL offers no desktop OpenGL here (%s)", eglErrorName()));
        }
        // Surfaceless has no windows: the default surface type, EGL_WINDOW_BIT, matches nothing.
        // clang-format off
        const EGLint attributes[] = {
            EGL_SURFACE_TYPE, EGL_PBUFFER_BIT,
            EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
            EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_ALPHA_SIZE, 8,
            EGL_NONE};
        // clang-format on
        EGLConfig config = nullptr;
        EGLint count = 0;
        if (!eglChooseConfig(eglDisplay, attributes, &config, 1, &count) || count < 1) {
            throw std::runtime_error(
                "EGL's surfaceless platform has no 8-bit RGBA configuration for desktop OpenGL");
        }
        // No version asked: Mesa then gives its newest compatibility profile, as GLX does.
        EGLContext eglContext = eglCreateContext(eglDisplay, config, EGL_NO_CONTEXT, nullptr);
        if (eglContext == EGL_NO_CONTEXT) {
            throw std::runtime_error(fmt::sprintf(
                "no OpenGL context on EGL's surfaceless platform (%s)", eglErrorName()));
        }
        context = eglContext;
        if (!eglMakeCurrent(eglDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, eglContext)) {
            throw std::runtime_error(fmt::sprintf(
                "the OpenGL context on EGL's surfaceless platform cannot be made current (%s)",
                eglErrorName()));
        }
    } catch (...) {
        // The destructor does not run for an object whose constructor threw.
        release();
        throw;
    }
}

EglContext::~EglContext() {
    release();
}

void EglContext::release() {
    if (display == nullptr) {
        return;
    }
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context != nullptr) {
        eglDestroyContext(display, context);
        context = nullptr;
    }
    eglTerminate(display);
    display = nullptr;
}
