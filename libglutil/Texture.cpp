#include "Texture.h"

#include "Diagnostics.h"
#include "GlError.h"
#include "MipLevel.h"
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

Texture::Texture(const std::string& path) {
    Picture picture = readPicture(path, sizeLimit());
    upload(picture, &picture);
}

Texture::Texture(const Picture& picture) {
    upload(picture, nullptr);
}

Texture::Texture(Picture&& picture) {
    upload(picture, &picture);
}

void Texture::upload(const Picture& picture, Picture* owned) {
    Stopwatch stopwatch;
    if (picture.encoding != PixelEncoding::Rgbe && picture.encoding != PixelEncoding::Rgb8) {
        // The viewer program decodes RGBE or shows display values; it has no float road yet.
        throw std::runtime_error(
            fmt::sprintf("Floating-point pixels of '%s' cannot be shown", picture.fileName));
    }
    const bool rgbe = picture.encoding == PixelEncoding::Rgbe;
    if (mipmapped()) {
        setupPyramid(picture, owned);
    } else {
        setup(picture.width, picture.height, rgbe ? GL_RGBA8 : GL_RGB8, rgbe ? GL_RGBA : GL_RGB,
              GL_UNSIGNED_BYTE, picture.pixels.get());
    }
    scaleMean = picture.scale.mean;
    scaleMin = picture.scale.min;
    scaleMax = picture.scale.max;
    if (rgbe) {
        // Counts the upload's queued GL work in its phase.
        glFinish();
        stopwatch.lap("cpu -> gpu");
        diagnostic(fmt::sprintf("%d %d", width, height));
    }
}

bool Texture::mipmapped() {
    // Fetching a texel of a chosen level needs GLSL 1.30, which comes with OpenGL 3.
    return GLEW_VERSION_3_0 != 0;
}

void Texture::setupPyramid(const Picture& picture, Picture* owned) {
    sizeLimit().check(picture.width, picture.height);
    const bool rgbe = picture.encoding == PixelEncoding::Rgbe;
    const GLenum format = rgbe ? GL_RGBA : GL_RGB;
    width = texWidth = picture.width;
    height = texHeight = picture.height;
    hdr = rgbe;
    levels = mipLevelCount(width, height);

    ClientPixelStoreScope pixelStore;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glGenTextures(1, &glTextures[0]);
    numTextures = 1;
    try {
        uploadLevels(picture, owned);
    } catch (...) {
        // The constructor fails, so no destructor will release what was made.
        glDeleteTextures(numTextures, glTextures);
        glTextures[0] = 0;
        numTextures = 0;
        throw;
    }
}

void Texture::uploadLevels(const Picture& picture, Picture* owned) {
    const bool rgbe = picture.encoding == PixelEncoding::Rgbe;
    const GLenum format = rgbe ? GL_RGBA : GL_RGB;
    glBindTexture(GL_TEXTURE_2D, glTextures[0]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST_MIPMAP_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, levels - 1);
    glTexImage2D(GL_TEXTURE_2D, 0, rgbe ? GL_RGBA8 : GL_RGB8, width, height, 0, format,
                 GL_UNSIGNED_BYTE, picture.pixels.get());
    throwIfGlFailed(glError(__FILE__, __LINE__));

    // Each level is made from the one before; the picture's own bytes go as soon as the
    // first smaller level exists, so that memory holds little more than the card's copy.
    Picture level;
    const Picture* previous = &picture;
    for (int l = 1; l < levels; ++l) {
        level = halvePicture(*previous);
        if (l == 1 && owned != nullptr) {
            owned->pixels.reset();
        }
        glTexImage2D(GL_TEXTURE_2D, l, rgbe ? GL_RGBA8 : GL_RGB8, level.width, level.height, 0,
                     format, GL_UNSIGNED_BYTE, level.pixels.get());
        throwIfGlFailed(glError(__FILE__, __LINE__));
        previous = &level;
    }
}

int Texture::pieceLimit() {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    return std::min<GLint>(max, largestPiece);
}

SizeLimit Texture::sizeLimit() {
    SizeLimit limit;
    if (mipmapped()) {
        // Pictures go to the card whole, up to its own limit.
        GLint max = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
        limit.pieceLimit = max;
        limit.maxPieces = 1;
    } else {
        limit.pieceLimit = pieceLimit();
        limit.maxPieces = 2;
    }
    return limit;
}

void Texture::checkSize(long width, long height) {
    SizeLimit pieces;
    pieces.pieceLimit = pieceLimit();
    pieces.maxPieces = 2;
    pieces.check(width, height);
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
