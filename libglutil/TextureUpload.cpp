#include "TextureUpload.h"

#include "AllCores.h"
#include "GlError.h"
#include "PixelStoreScope.h"
#include "SharedExponent.h"
#include "Stopwatch.h"
#include "Texture.h"

#include <fmt/printf.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

// Binds the unpack buffer for the scope and unbinds it after: Qt's glyph uploads read from
// client memory and would read from the buffer instead.
struct UnpackBufferScope {
    explicit UnpackBufferScope(GLuint buffer) { glBindBuffer(GL_PIXEL_UNPACK_BUFFER, buffer); }
    ~UnpackBufferScope() { glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0); }
    UnpackBufferScope(const UnpackBufferScope&) = delete;
    UnpackBufferScope& operator=(const UnpackBufferScope&) = delete;
};

// Puts back the active unit's 2D and array textures, which the caller may rely on.
struct TextureBindingScope {
    TextureBindingScope() {
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &plain);
        glGetIntegerv(GL_TEXTURE_BINDING_2D_ARRAY, &array);
    }
    ~TextureBindingScope() {
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(plain));
        glBindTexture(GL_TEXTURE_2D_ARRAY, static_cast<GLuint>(array));
    }
    TextureBindingScope(const TextureBindingScope&) = delete;
    TextureBindingScope& operator=(const TextureBindingScope&) = delete;
    GLint plain = 0;
    GLint array = 0;
};

std::size_t bytesPerPixel(const Picture& picture) {
    return picture.encoding == PixelEncoding::Rgbe ? 4 : 3;
}

} // namespace

// Rows y..y+h of level `level` (of tile `layer` of a tiled level 0, x the tile's first column
// in the picture, else -1 and 0), at `offset` in the buffer.
struct TextureUpload::Piece {
    int level;
    int layer;
    int x;
    int y;
    int width;
    int rows;
    int tileY;
    std::size_t offset;
};

UploadBuffer::UploadBuffer(std::size_t bytes) : capacity(bytes) {
    glGenBuffers(1, &name);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, name);
    glBufferData(GL_PIXEL_UNPACK_BUFFER, static_cast<GLsizeiptr>(bytes), nullptr, GL_STREAM_DRAW);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    const std::string failure = glError(__FILE__, __LINE__);
    if (!failure.empty()) {
        glDeleteBuffers(1, &name);
        throw std::runtime_error(failure);
    }
}

UploadBuffer::~UploadBuffer() {
    glDeleteBuffers(1, &name);
}

std::size_t UploadBuffer::bytesFor(const Texture& texture) {
    // All the levels where that is less: a small picture keeps a small buffer.
    const std::size_t pixel = texture.hdr ? 4 : 3;
    std::size_t all = 0;
    for (int l = 0; l < texture.levels; ++l) {
        all += pixel * static_cast<std::size_t>(std::max(1, texture.width >> l)) *
               static_cast<std::size_t>(std::max(1, texture.height >> l));
    }
    return std::min(all, UploadBuffer::largest);
}

TextureUpload::TextureUpload(Texture& texture, std::vector<Picture>&& levels,
                             std::unique_ptr<UploadBuffer> buffer)
    : target(texture), levels(std::move(levels)), buffer(std::move(buffer)),
      level(static_cast<int>(this->levels.size()) - 1) {
    if (static_cast<int>(this->levels.size()) != texture.levels || this->levels.empty() ||
        this->levels.front().width != texture.width ||
        this->levels.front().height != texture.height) {
        throw std::runtime_error("The levels to upload are not the texture's");
    }
}

TextureUpload::~TextureUpload() = default;

std::vector<TextureUpload::Piece> TextureUpload::plan(std::size_t bytes, int& nextLevel,
                                                      int& nextTile, int& nextRow) const {
    std::vector<Piece> pieces;
    std::size_t total = 0;
    int l = level;
    int t = tile;
    int r = row;
    while (l >= 0 && (pieces.empty() || total < bytes)) {
        const Picture& picture = levels[static_cast<std::size_t>(l)];
        const std::size_t pixel = bytesPerPixel(picture);
        Piece piece{l, -1, 0, 0, picture.width, 0, 0, total};
        int rowsInPiece = picture.height;
        if (l < target.tileLevels) {
            piece.layer = t;
            piece.x = t % target.tileColumns * target.texWidth;
            piece.tileY = t / target.tileColumns * target.texHeight;
            piece.width = std::min(target.texWidth, picture.width - piece.x);
            rowsInPiece = std::min(target.texHeight, picture.height - piece.tileY);
        }
        const std::size_t rowBytes = static_cast<std::size_t>(piece.width) * pixel;
        if (!pieces.empty() && bytes - total < rowBytes) {
            break;
        }
        const std::size_t fit =
            std::max<std::size_t>(1, (bytes - std::min(bytes, total)) / rowBytes);
        piece.rows = static_cast<int>(std::min<std::size_t>(fit, rowsInPiece - r));
        piece.y = r;
        pieces.push_back(piece);
        total += rowBytes * piece.rows;
        r += piece.rows;
        if (r == rowsInPiece) {
            r = 0;
            if (l < target.tileLevels && ++t < target.tileColumns * target.tileRows) {
                continue;
            }
            t = 0;
            --l;
        }
    }
    nextLevel = l;
    nextTile = t;
    nextRow = r;
    return pieces;
}

bool TextureUpload::step(std::size_t bytes) {
    if (done()) {
        return true;
    }
    int nextLevel = 0;
    int nextTile = 0;
    int nextRow = 0;
    const std::vector<Piece> pieces =
        plan(std::min(bytes, UploadBuffer::largest), nextLevel, nextTile, nextRow);
    const Piece& last = pieces.back();
    const std::size_t total =
        last.offset + static_cast<std::size_t>(last.width) * last.rows *
                          bytesPerPixel(levels[static_cast<std::size_t>(last.level)]);

    ClientPixelStoreScope pixelStore;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    TextureBindingScope bindings;
    // One buffer written again each step: fresh memory costs its page faults once only.
    if (!buffer || buffer->capacity < total) {
        buffer = std::make_unique<UploadBuffer>(std::max(total, UploadBuffer::bytesFor(target)));
    }
    UnpackBufferScope bound(buffer->name);
    auto* mapped = static_cast<unsigned char*>(
        glMapBufferRange(GL_PIXEL_UNPACK_BUFFER, 0, static_cast<GLsizeiptr>(total),
                         GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_RANGE_BIT));
    if (mapped == nullptr) {
        throwIfGlFailed(glError(__FILE__, __LINE__));
        throw std::runtime_error("The pixel buffer could not be mapped");
    }
    for (const Piece& piece : pieces) {
        const Picture& picture = levels[static_cast<std::size_t>(piece.level)];
        const std::size_t pixel = bytesPerPixel(picture);
        const std::size_t rowBytes = static_cast<std::size_t>(piece.width) * pixel;
        const std::size_t pictureRow = static_cast<std::size_t>(picture.width) * pixel;
        const unsigned char* source = picture.pixels.get() +
                                      static_cast<std::size_t>(piece.tileY + piece.y) * pictureRow +
                                      piece.x * pixel;
        unsigned char* const out = mapped + piece.offset;
        const bool packed = target.sharedExponent;
        const int shift = target.radianceShift;
        // On all cores, in bands of a megabyte or more: this pass is most of an upload's
        // time, and the window's thread would otherwise do it alone.
        runOnAllCores(
            piece.rows,
            [=](long r0, long r1) {
                for (long r = r0; r < r1; ++r) {
                    if (packed) {
                        packSharedExponent(source + r * pictureRow,
                                           reinterpret_cast<std::uint32_t*>(out + r * rowBytes),
                                           static_cast<std::size_t>(piece.width), shift);
                    } else {
                        std::memcpy(out + r * rowBytes, source + r * pictureRow, rowBytes);
                    }
                }
            },
            static_cast<long>(std::max<std::size_t>(1, (std::size_t(1) << 20) / rowBytes)));
    }
    // The store lost while mapped (a mode switch, say): the same slice goes again next step.
    if (glUnmapBuffer(GL_PIXEL_UNPACK_BUFFER) == GL_FALSE) {
        return false;
    }

    const bool rgbe = levels.front().encoding == PixelEncoding::Rgbe;
    const GLenum format = target.sharedExponent || !rgbe ? GL_RGB : GL_RGBA;
    const GLenum type = target.sharedExponent ? GL_UNSIGNED_INT_5_9_9_9_REV : GL_UNSIGNED_BYTE;
    for (const Piece& piece : pieces) {
        // An offset into the bound buffer, as GL takes it.
        const void* offset = reinterpret_cast<const void*>(piece.offset);
        if (piece.layer >= 0) {
            glBindTexture(GL_TEXTURE_2D_ARRAY, target.glTextures[1]);
            glTexSubImage3D(GL_TEXTURE_2D_ARRAY, 0, 0, piece.y, piece.layer, piece.width,
                            piece.rows, 1, format, type, offset);
        } else {
            glBindTexture(GL_TEXTURE_2D, target.glTextures[0]);
            glTexSubImage2D(GL_TEXTURE_2D, piece.level - target.tileLevels, 0, piece.y, piece.width,
                            piece.rows, format, type, offset);
        }
    }
    throwIfGlFailed(glError(__FILE__, __LINE__));
    // The slice's work belongs to this step, not to the next frame's.
    glFinish();

    for (int l = level; l > nextLevel && !(l == 0 && keepZero); --l) {
        levels[static_cast<std::size_t>(l)].pixels.reset();
    }
    target.firstLevel = nextLevel + 1;
    level = nextLevel;
    tile = nextTile;
    row = nextRow;
    sent += total;
    return done();
}

bool TextureUpload::stepFor(double seconds, std::size_t maxBytes) {
    const double wanted = std::clamp(rate * seconds, 65536.0, 1.0e9);
    std::size_t bytes = static_cast<std::size_t>(wanted);
    if (maxBytes != 0) {
        bytes = std::min(bytes, maxBytes);
    }
    const std::size_t before = sent;
    const double start = monotonicSeconds();
    const bool whole = step(bytes);
    const double elapsed = monotonicSeconds() - start;
    if (sent > before && elapsed > 0.0) {
        // Halfway to the rate just seen: one slow slice (a paint, another program) does not
        // halve the next.
        rate = 0.5 * rate + 0.5 * static_cast<double>(sent - before) / elapsed;
    }
    return whole;
}
