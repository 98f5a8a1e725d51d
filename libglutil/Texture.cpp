#include "Texture.h"

#include "Diagnostics.h"
#include "GlError.h"
#include "PictureReader.h"
#include "Stopwatch.h"

#include <fmt/printf.h>

#include <algorithm>
#include <cstddef>
#include <stdexcept>

namespace {

std::size_t componentSize(unsigned type) {
    switch (type) {
    case GL_FLOAT:
        return sizeof(GLfloat);
    case GL_UNSIGNED_SHORT:
        return sizeof(GLushort);
    case GL_UNSIGNED_BYTE:
        return sizeof(GLubyte);
    default:
        throw std::runtime_error(fmt::sprintf("Unsupported pixel component type 0x%x", type));
    }
}

void createTexture(GLuint* name, int width, int height, int internalFormat, int format,
                   unsigned type, const void* data) {
    glGenTextures(1, name);
    glBindTexture(GL_TEXTURE_2D, *name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, width, height, 0, format, type, nullptr);
    if (data != nullptr) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, type, data);
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
}

// Restores the pixel-store state however setup leaves.
struct ClientPixelStoreScope {
    ClientPixelStoreScope() { glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT); }
    ~ClientPixelStoreScope() { glPopClientAttrib(); }
    ClientPixelStoreScope(const ClientPixelStoreScope&) = delete;
    ClientPixelStoreScope& operator=(const ClientPixelStoreScope&) = delete;
};

} // namespace

Texture::Texture(int width, int height, const float* data, int internalFormat, int format) {
    setup(width, height, internalFormat, format, glType(data), data);
}

Texture::Texture(int width, int height, const unsigned short* data, int internalFormat,
                 int format) {
    setup(width, height, internalFormat, format, glType(data), data);
}

Texture::Texture(int width, int height, const unsigned char* data, int internalFormat, int format) {
    setup(width, height, internalFormat, format, glType(data), data);
}

Texture::~Texture() {
    glDeleteTextures(numTextures, glTextures);
    if (framebuffer != 0) {
        glDeleteFramebuffersEXT(1, &framebuffer);
    }
}

Texture::Texture(const std::string& path) : Texture(readPicture(path, sizeLimit())) {}

Texture::Texture(const Picture& picture) {
    Stopwatch stopwatch;
    switch (picture.encoding) {
    case PixelEncoding::Rgbe:
        setup(picture.width, picture.height, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE,
              picture.pixels.get());
        break;
    case PixelEncoding::Rgb8:
        setup(picture.width, picture.height, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE,
              picture.pixels.get());
        break;
    case PixelEncoding::RgbHalf:
    case PixelEncoding::RgbFloat:
        // The viewer program decodes RGBE or shows display values; it has no float road yet.
        throw std::runtime_error(
            fmt::sprintf("Floating-point pixels of '%s' cannot be shown", picture.fileName));
    }
    scaleMean = picture.scale.mean;
    scaleMin = picture.scale.min;
    scaleMax = picture.scale.max;
    if (picture.encoding == PixelEncoding::Rgbe) {
        // Counts the upload's queued GL work in its phase.
        glFinish();
        stopwatch.lap("cpu -> gpu");
        diagnostic(fmt::sprintf("%d %d", picture.width, picture.height));
    }
}

int Texture::pieceLimit() {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    return std::min<GLint>(max, largestPiece);
}

SizeLimit Texture::sizeLimit() {
    SizeLimit limit;
    limit.pieceLimit = pieceLimit();
    limit.maxPieces = 2;
    return limit;
}

void Texture::checkSize(long width, long height) {
    sizeLimit().check(width, height);
}

void Texture::setup(int width, int height, int internalFormat, int format, unsigned type,
                    const void* data) {
    checkSize(width, height);
    const int max = pieceLimit();
    this->width = width;
    this->height = height;
    hdr = internalFormat == GL_RGBA8 || internalFormat == GL_RGB16F_ARB;
    texWidth = width > max ? width / 2 : width;
    texHeight = height;

    // Rows are packed. The caller's alignment comes back afterwards: Qt's glyph uploads for
    // the overlay text rely on the default, and their letters come out sheared otherwise.
    ClientPixelStoreScope pixelStore;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    // The halves are read in place out of the full-width rows.
    if (texWidth != width) {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, width);
    }
    try {
        ++numTextures;
        createTexture(&glTextures[0], texWidth, texHeight, internalFormat, format, type, data);
        if (texWidth != width) {
            const std::size_t channels = format == GL_RGBA ? 4 : 3;
            const void* right = data == nullptr ? nullptr
                                                : static_cast<const char*>(data) +
                                                      texWidth * channels * componentSize(type);
            ++numTextures;
            createTexture(&glTextures[1], texWidth, texHeight, internalFormat, format, type, right);
        }
    } catch (...) {
        // The constructor fails, so no destructor will release what was made.
        glDeleteTextures(numTextures, glTextures);
        glTextures[0] = glTextures[1] = 0;
        numTextures = 0;
        throw;
    }
}

unsigned Texture::bind(unsigned firstUnit) const {
    for (int i = 0; i < numTextures; ++i) {
        glActiveTexture(firstUnit + i);
        glBindTexture(GL_TEXTURE_2D, glTextures[i]);
    }
    glActiveTexture(firstUnit);
    return firstUnit + numTextures;
}

void Texture::bindFB() const {
    if (framebuffer == 0) {
        glGenFramebuffersEXT(1, &framebuffer);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer);
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D,
                                  glTextures[0], 0);
        throwIfGlFailed(framebufferStatus(__FILE__, __LINE__));
        throwIfGlFailed(glError(__FILE__, __LINE__));
    } else {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer);
    }
    glDrawBuffer(GL_COLOR_ATTACHMENT0_EXT);
}

void Texture::clear() {
    bindFB();
    glViewport(0, 0, width, height);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}
