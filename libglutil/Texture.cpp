#include "Texture.h"

#include "Diagnostics.h"
#include "GlError.h"
#include "MipLevel.h"
#include "PictureReader.h"
#include "PixelStoreScope.h"
#include "SharedExponent.h"
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

Texture::Texture(std::vector<Picture>&& levels) {
    if (levels.empty()) {
        throw std::runtime_error("No picture to upload");
    }
    upload(levels.front(), &levels.front(), &levels);
}

Texture::Texture(const std::vector<Picture>& levels, Texels) {
    makeStorage(levels);
}

Texture::Texture(int width, int height, PixelEncoding encoding, Texels) {
    // The levels' sizes alone, without pixels.
    std::vector<Picture> shapes(static_cast<std::size_t>(mipLevelCount(width, height)));
    for (std::size_t l = 0; l < shapes.size(); ++l) {
        shapes[l].width = std::max(1, width >> l);
        shapes[l].height = std::max(1, height >> l);
        shapes[l].encoding = encoding;
    }
    makeStorage(shapes);
}

void Texture::makeStorage(const std::vector<Picture>& levels) {
    if (levels.empty()) {
        throw std::runtime_error("No picture to upload");
    }
    const Picture& picture = levels.front();
    checkEncoding(picture);
    if (!mipmapped()) {
        throw std::runtime_error("Uploads in slices need OpenGL 3");
    }
    const GLint max = beginPyramid(picture, &levels);
    try {
        for (int l = 0; l < this->levels; ++l) {
            const Picture& level = levels[static_cast<std::size_t>(l)];
            if (level.width != std::max(1, width >> l) ||
                level.height != std::max(1, height >> l) || level.encoding != picture.encoding) {
                throw std::runtime_error(fmt::sprintf("Mip level %d of a %dx%d picture is %dx%d", l,
                                                      width, height, level.width, level.height));
            }
        }
        allocateLevels(picture, max, levels);
    } catch (...) {
        deletePieces();
        throw;
    }
    firstLevel = this->levels;
    takeScale(picture);
}

void Texture::checkEncoding(const Picture& picture) {
    if (picture.encoding != PixelEncoding::Rgbe && picture.encoding != PixelEncoding::Rgb8) {
        // The viewer program decodes RGBE or shows display values; it has no float road yet.
        throw std::runtime_error(
            fmt::sprintf("Floating-point pixels of '%s' cannot be shown", picture.fileName));
    }
}

void Texture::takeScale(const Picture& picture) {
    scaleMean = picture.scale.mean;
    scaleMin = picture.scale.min;
    scaleMax = picture.scale.max;
}

void Texture::deletePieces() {
    glDeleteTextures(numTextures, glTextures);
    glTextures[0] = glTextures[1] = 0;
    numTextures = 0;
}

void Texture::upload(const Picture& picture, Picture* owned, std::vector<Picture>* ready) {
    Stopwatch stopwatch;
    checkEncoding(picture);
    const bool rgbe = picture.encoding == PixelEncoding::Rgbe;
    if (mipmapped()) {
        setupPyramid(picture, owned, ready);
    } else {
        setup(picture.width, picture.height, rgbe ? GL_RGBA8 : GL_RGB8, rgbe ? GL_RGBA : GL_RGB,
              GL_UNSIGNED_BYTE, picture.pixels.get());
    }
    takeScale(picture);
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

GLint Texture::beginPyramid(const Picture& picture, const std::vector<Picture>* ready) {
    sizeLimit().check(picture.width, picture.height);
    width = picture.width;
    height = picture.height;
    hdr = picture.encoding == PixelEncoding::Rgbe;
    sharedExponent = hdr;
    // Pixels may come later, and their shift with them.
    radianceShift =
        hdr && picture.pixels
            ? sharedExponentShift(picture.pixels.get(), static_cast<std::size_t>(width) * height)
            : 0;
    levels = mipLevelCount(width, height);
    if (ready != nullptr && static_cast<int>(ready->size()) != levels) {
        throw std::runtime_error(fmt::sprintf("A %dx%d picture has %d mip levels, not %d", width,
                                              height, levels, ready->size()));
    }
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    tileLevels = width > max || height > max ? 1 : 0;
    glGenTextures(1 + tileLevels, glTextures);
    numTextures = 1 + tileLevels;
    return max;
}

void Texture::setupPyramid(const Picture& picture, Picture* owned, std::vector<Picture>* ready) {
    const GLint max = beginPyramid(picture, ready);
    ClientPixelStoreScope pixelStore;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    try {
        uploadLevels(picture, owned, max, ready);
    } catch (...) {
        // The constructor fails, so no destructor will release what was made.
        deletePieces();
        throw;
    }
}

namespace {

struct PixelFormat {
    GLint internal;
    GLenum format;
    GLenum type;
    std::size_t bytes;
};

// Radiance in the texels the card filters; 8-bit pictures as they are.
PixelFormat pixelFormat(const Picture& picture) {
    return picture.encoding == PixelEncoding::Rgbe
               ? PixelFormat{GL_RGB9_E5, GL_RGB, GL_UNSIGNED_INT_5_9_9_9_REV, 4}
               : PixelFormat{GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, 3};
}

void setTextureParameters(GLenum target, int maxLevel, bool filtered) {
    glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(target, GL_TEXTURE_MAG_FILTER, filtered ? GL_LINEAR : GL_NEAREST);
    glTexParameteri(target, GL_TEXTURE_MIN_FILTER,
                    maxLevel == 0 ? (filtered ? GL_LINEAR : GL_NEAREST)
                    : filtered    ? GL_LINEAR_MIPMAP_LINEAR
                                  : GL_NEAREST_MIPMAP_NEAREST);
    glTexParameteri(target, GL_TEXTURE_BASE_LEVEL, 0);
    glTexParameteri(target, GL_TEXTURE_MAX_LEVEL, maxLevel);
}

// Sends `rows` rows of `columns` pixels from (x, y) of `source` to (0, toY) of the bound
// texture's `level` (or layer `layer` of the bound array), packing radiance a band at a time.
void sendRows(const Picture& source, int x, int y, int columns, int rows, GLint level, int layer,
              int toY, int shift) {
    const PixelFormat pixels = pixelFormat(source);
    const auto send = [&](int firstRow, int count, const void* data) {
        if (layer >= 0) {
            glTexSubImage3D(GL_TEXTURE_2D_ARRAY, level, 0, toY + firstRow, layer, columns, count, 1,
                            pixels.format, pixels.type, data);
        } else {
            glTexSubImage2D(GL_TEXTURE_2D, level, 0, toY + firstRow, columns, count, pixels.format,
                            pixels.type, data);
        }
        throwIfGlFailed(glError(__FILE__, __LINE__));
    };
    const std::size_t rowBytes = static_cast<std::size_t>(source.width) * pixels.bytes;
    // The offset in 64 bits here: the driver's own sums may not take 2 GiB.
    const unsigned char* first = source.pixels.get() + static_cast<std::size_t>(y) * rowBytes +
                                 static_cast<std::size_t>(x) * pixels.bytes;
    if (source.encoding != PixelEncoding::Rgbe) {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, source.width);
        send(0, rows, first);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        return;
    }
    // About 16 MB a band: the packed copy never holds much of a large picture.
    const int band = std::max(1, std::min(rows, (1 << 22) / std::max(columns, 1)));
    std::vector<std::uint32_t> packed(static_cast<std::size_t>(band) * columns);
    for (int r = 0; r < rows; r += band) {
        const int count = std::min(band, rows - r);
        for (int i = 0; i < count; ++i) {
            packSharedExponent(first + static_cast<std::size_t>(r + i) * rowBytes,
                               packed.data() + static_cast<std::size_t>(i) * columns,
                               static_cast<std::size_t>(columns), shift);
        }
        send(r, count, packed.data());
    }
}

// The tile side, a power of two within the card's limit, that wastes least of the layers.
long tileSide(long size, long max) {
    if (size <= max) {
        return size;
    }
    long best = 0;
    long bestPadded = 0;
    for (long side = 1; side <= max; side *= 2) {
        const long padded = (size + side - 1) / side * side;
        // 1024 or more, so that the layers stay few; ties go to the larger side.
        if (side >= std::min(1024L, max) && (best == 0 || padded <= bestPadded)) {
            best = side;
            bestPadded = padded;
        }
    }
    return best;
}

} // namespace

void Texture::uploadLevels(const Picture& picture, Picture* owned, int max,
                           std::vector<Picture>* ready) {
    const PixelFormat pixels = pixelFormat(picture);
    if (tileLevels > 0) {
        allocateTiles(picture, max);
        for (int row = 0; row < tileRows; ++row) {
            for (int column = 0; column < tileColumns; ++column) {
                const int x = column * texWidth;
                const int y = row * texHeight;
                sendRows(picture, x, y, std::min(texWidth, width - x),
                         std::min(texHeight, height - y), 0, row * tileColumns + column, 0,
                         radianceShift);
            }
        }
    } else {
        texWidth = width;
        texHeight = height;
    }

    // The levels from tileLevels on make one ordinary texture. Each level is made from the one
    // before; the picture's own bytes go as soon as the first smaller level exists, so that
    // memory holds little more than the card's copy.
    glBindTexture(GL_TEXTURE_2D, glTextures[0]);
    setTextureParameters(GL_TEXTURE_2D, levels - 1 - tileLevels, sharedExponent);
    Picture level;
    const Picture* current = &picture;
    for (int l = 0; l < levels; ++l) {
        if (l > 0 && ready != nullptr) {
            current = &(*ready)[static_cast<std::size_t>(l)];
            (*ready)[static_cast<std::size_t>(l) - 1].pixels.reset();
        } else if (l > 0) {
            level = halvePicture(*current);
            current = &level;
            if (l == 1 && owned != nullptr) {
                owned->pixels.reset();
            }
        }
        if (l >= tileLevels) {
            glTexImage2D(GL_TEXTURE_2D, l - tileLevels, pixels.internal, current->width,
                         current->height, 0, pixels.format, pixels.type, nullptr);
            throwIfGlFailed(glError(__FILE__, __LINE__));
            sendRows(*current, 0, 0, current->width, current->height, l - tileLevels, -1, 0,
                     radianceShift);
        }
    }
}

void Texture::allocateTiles(const Picture& picture, int max) {
    // Level 0 beyond the card's limit: tiles as the layers of an array texture, row by row.
    const PixelFormat pixels = pixelFormat(picture);
    texWidth = static_cast<int>(tileSide(width, max));
    texHeight = static_cast<int>(tileSide(height, max));
    tileColumns = (width + texWidth - 1) / texWidth;
    tileRows = (height + texHeight - 1) / texHeight;
    glBindTexture(GL_TEXTURE_2D_ARRAY, glTextures[1]);
    setTextureParameters(GL_TEXTURE_2D_ARRAY, 0, sharedExponent);
    // Immutable storage where the driver has it: some take larger arrays that way.
    if (GLEW_ARB_texture_storage) {
        glTexStorage3D(GL_TEXTURE_2D_ARRAY, 1, pixels.internal, texWidth, texHeight,
                       tileColumns * tileRows);
    } else {
        glTexImage3D(GL_TEXTURE_2D_ARRAY, 0, pixels.internal, texWidth, texHeight,
                     tileColumns * tileRows, 0, pixels.format, pixels.type, nullptr);
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
}

void Texture::allocateLevels(const Picture& picture, int max, const std::vector<Picture>& ready) {
    const PixelFormat pixels = pixelFormat(picture);
    if (tileLevels > 0) {
        allocateTiles(picture, max);
    } else {
        texWidth = width;
        texHeight = height;
    }
    // Every level exists, its texels undefined, so that the texture is complete whatever has
    // gone up: the shader keeps to the levels from firstLevel on.
    glBindTexture(GL_TEXTURE_2D, glTextures[0]);
    setTextureParameters(GL_TEXTURE_2D, levels - 1 - tileLevels, sharedExponent);
    const Picture& top = ready[static_cast<std::size_t>(tileLevels)];
    if (GLEW_ARB_texture_storage) {
        glTexStorage2D(GL_TEXTURE_2D, levels - tileLevels, pixels.internal, top.width, top.height);
    } else {
        for (int l = tileLevels; l < levels; ++l) {
            const Picture& level = ready[static_cast<std::size_t>(l)];
            glTexImage2D(GL_TEXTURE_2D, l - tileLevels, pixels.internal, level.width, level.height,
                         0, pixels.format, pixels.type, nullptr);
        }
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
}

int Texture::pieceLimit() {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    return std::min<GLint>(max, largestPiece);
}

SizeLimit Texture::sizeLimit() {
    SizeLimit limit;
    if (mipmapped()) {
        // Level 0 of a picture up to twice the card's limit each way goes in tiles; from level
        // 1 on it is one texture.
        GLint max = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
        limit.pieceLimit = max;
        limit.maxPieces = 2;
        limit.maxRows = 2;
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
        glBindTexture(i == 1 && tileLevels > 0 ? GL_TEXTURE_2D_ARRAY : GL_TEXTURE_2D,
                      glTextures[i]);
    }
    glActiveTexture(firstUnit);
    return firstUnit + numTextures;
}

void Texture::wrapColumns(bool wrap) const {
    glBindTexture(GL_TEXTURE_2D, glTextures[0]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, wrap ? GL_REPEAT : GL_CLAMP_TO_EDGE);
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
