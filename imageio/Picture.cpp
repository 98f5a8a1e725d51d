#include "Picture.h"

#include <fmt/printf.h>

#include <unistd.h>

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

PictureMetadata pictureMetadata(const Picture& picture) {
    return {picture.projectionHint, picture.layer,          picture.exposure,
            picture.statistics,     picture.candelaPerUnit, picture.gainMap};
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

void SizeLimit::check(long width, long height, const std::string& path) const {
    if (!allows(width, height)) {
        throw std::runtime_error(
            fmt::sprintf("Maximum texture size of GPU is too small (%dx%d > %d) for '%s'", width,
                         height, pieceLimit, path));
    }
}

std::size_t memoryBudget() {
    static const std::size_t budget = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && pageSize > 0
                   ? static_cast<std::size_t>(pages) / 2 * static_cast<std::size_t>(pageSize)
                   : std::size_t(1) << 30;
    }();
    return budget;
}

void checkMemoryBudget(long width, long height, PixelEncoding encoding, const std::string& path) {
    // In doubles: sizes from a header may overflow any integer product.
    if (static_cast<double>(width) * static_cast<double>(height) *
            static_cast<double>(bytesPerPixel(encoding)) >
        static_cast<double>(memoryBudget())) {
        throw std::runtime_error(
            fmt::sprintf("Picture of '%s' too large for memory (%dx%d)", path, width, height));
    }
}

void checkPictureSize(const SizeLimit& limit, long width, long height, PixelEncoding encoding,
                      const std::string& path) {
    limit.check(width, height, path);
    checkMemoryBudget(width, height, encoding, path);
}
