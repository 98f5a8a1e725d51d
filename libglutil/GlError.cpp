#include "GlError.h"

#include <GL/glew.h>
#include <GL/glu.h>
#include <fmt/printf.h>

#include <stdexcept>

namespace {

unsigned nextGlError() {
    return glGetError();
}

std::string errorDescription(unsigned code) {
    // GLU knows the core codes only; anything newer is shown by number.
    const GLubyte* text = gluErrorString(code);
    if (text == nullptr) {
        return fmt::sprintf("0x%x", code);
    }
    return reinterpret_cast<const char*>(text);
}

const char* framebufferReason(GLenum status) {
    switch (status) {
    case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT_EXT:
        return "Framebuffer incomplete, incomplete attachment";
    case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT_EXT:
        return "Framebuffer incomplete, missing attachment";
    case GL_FRAMEBUFFER_INCOMPLETE_DIMENSIONS_EXT:
        return "Framebuffer incomplete, attached images must have same dimensions";
    case GL_FRAMEBUFFER_INCOMPLETE_FORMATS_EXT:
        return "Framebuffer incomplete, attached images must have same format";
    case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER_EXT:
        return "Framebuffer incomplete, missing draw buffer";
    case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER_EXT:
        return "Framebuffer incomplete, missing read buffer";
    case GL_FRAMEBUFFER_UNSUPPORTED_EXT:
        return "Unsupported framebuffer format";
    default:
        return nullptr;
    }
}

} // namespace

std::string glErrorLines(const char* file, int line, unsigned (*nextError)()) {
    std::string result;
    for (unsigned code = nextError(); code != GL_NO_ERROR; code = nextError()) {
        result +=
            fmt::sprintf("glError in file %s @ line %d: %s\n", file, line, errorDescription(code));
    }
    return result;
}

std::string glError(const char* file, int line) {
    return glErrorLines(file, line, nextGlError);
}

std::string framebufferStatus(const char* file, int line) {
    const GLenum status = glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT);
    if (status == GL_FRAMEBUFFER_COMPLETE_EXT) {
        return {};
    }
    std::string result = fmt::sprintf("Framebuffer Error in file %s @ line %d: ", file, line);
    if (const char* reason = framebufferReason(status)) {
        return result + reason;
    }
    result += fmt::sprintf("Unknown framebuffer status: 0x%x\n", static_cast<unsigned>(status));
    return result + glError(file, line);
}

void throwIfGlFailed(const std::string& text) {
    if (!text.empty()) {
        throw std::runtime_error(text);
    }
}
