#pragma once

#include <GL/glew.h>

#include "Picture.h"

#include <cstddef>
#include <memory>
#include <vector>

class Texture;

// The pixel buffer object a TextureUpload sends its slices through, which can be made ahead,
// on a thread with a shared context: drivers fill new buffer storage (llvmpipe: about 3 ms a
// megabyte), too long for a turn of the event loop. Made and deleted with a GL context
// current. Throws std::runtime_error.
class UploadBuffer {
public:
    explicit UploadBuffer(std::size_t bytes);
    ~UploadBuffer();
    UploadBuffer(const UploadBuffer&) = delete;
    UploadBuffer& operator=(const UploadBuffer&) = delete;

    // What a TextureUpload of this texture's levels uses at most.
    static std::size_t bytesFor(const Texture& texture);
    // No step sends more, so that the one buffer stays this large: a buffer grown with the
    // slices cost more than the slices themselves. Small: every byte of new memory costs a
    // page fault, and llvmpipe fills new storage; a step this large takes a few milliseconds.
    static constexpr std::size_t largest = std::size_t{16} << 20;

    GLuint name = 0;
    std::size_t capacity = 0;
};

// Fills a Texture made with Texture::Texels::Later from its mip levels a slice at a time,
// through a pixel buffer object, the smallest level first, so that the caller's event loop
// runs between slices. The texture's firstLevel follows the levels that are whole; each
// level's bytes go once it is up. The texture must outlive this object, and every call, the
// destructor included, needs the texture's GL context current.
class TextureUpload {
public:
    // Throws std::runtime_error when the levels are not the texture's. `buffer`, when given,
    // is used while it is large enough.
    TextureUpload(Texture& texture, std::vector<Picture>&& levels,
                  std::unique_ptr<UploadBuffer> buffer = nullptr);
    ~TextureUpload();

    TextureUpload(const TextureUpload&) = delete;
    TextureUpload& operator=(const TextureUpload&) = delete;

    // Sends about `bytes` (at least one row) and waits until the card has them; returns
    // whether the texture is whole. Throws std::runtime_error on a GL failure.
    bool step(std::size_t bytes);
    // A step sized from the rate of the steps before, to take about `seconds`, at most
    // `maxBytes` (0: no bound).
    bool stepFor(double seconds, std::size_t maxBytes = 0);
    bool done() const { return level < 0; }
    // Level 0's pixels stay until this object goes, not only until they are up: another
    // thread still reads them.
    void keepLevelZero() { keepZero = true; }
    Texture& texture() const { return target; }
    std::size_t bytesSent() const { return sent; }

private:
    struct Piece;
    // The next slice from the current position, at most `bytes` (one row at least), and the
    // position after it.
    std::vector<Piece> plan(std::size_t bytes, int& nextLevel, int& nextTile, int& nextRow) const;

    Texture& target;
    std::vector<Picture> levels;
    std::unique_ptr<UploadBuffer> buffer;
    // The level going up (-1 once all are), the tile of a tiled level 0 and the next row of
    // that level or tile.
    int level;
    int tile = 0;
    int row = 0;
    std::size_t sent = 0;
    bool keepZero = false;
    // Bytes a second the steps so far managed; a cautious guess before the first.
    double rate = 100.0e6;
};
