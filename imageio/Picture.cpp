#include "Picture.h"

#include <fmt/printf.h>

#include <new>
#include <stdexcept>

std::size_t bytesPerPixel(PixelEncoding encoding) {
    switch (encoding) {
    case PixelEncoding::Rgbe:
        return 4;
    case PixelEncoding::Rgb8:
        return 3;
    case PixelEncoding::RgbHalf:
        return 6;
    case PixelEncoding::RgbFloat:
        return 12;
    }
    throw std::logic_error("unknown pixel encoding");
}

std::size_t Picture::byteCount() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
           bytesPerPixel(encoding);
}

void Picture::allocate(int width, int height, PixelEncoding encoding) {
    this->width = width;
    this->height = height;
    this->encoding = encoding;
    // Uninitialised: every byte is written by the decoder.
    pixels = allocatePixels(byteCount());
}

bool SizeLimit::allows(long width, long height) const {
    return height <= maxRows * pieceLimit && width <= maxPieces * pieceLimit;
}

void SizeLimit::check(long width, long height) const {
    if (!allows(width, height)) {
        throw std::runtime_error(fmt::sprintf(
            "Maximum texture size of GPU is too small (%dx%d > %d)", width, height, pieceLimit));
    }
}
