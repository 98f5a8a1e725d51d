#include "Readers.h"

#include "CFile.h"

#include <fmt/printf.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// A libpng reader whose errors jump back into pngCall; its warnings are dropped, as they
// concern ancillary chunks the picture does not need.
struct PngDecoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::jmp_buf jump{};
    std::string message;

    PngDecoder() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &error, &warning);
        info = png != nullptr ? png_create_info_struct(png) : nullptr;
        if (info == nullptr) {
            png_destroy_read_struct(&png, nullptr, nullptr);
            throw std::bad_alloc();
        }
    }
    ~PngDecoder() { png_destroy_read_struct(&png, &info, nullptr); }
    PngDecoder(const PngDecoder&) = delete;
    PngDecoder& operator=(const PngDecoder&) = delete;

    [[noreturn]] static void error(png_structp png, png_const_charp text) {
        auto* decoder = static_cast<PngDecoder*>(png_get_error_ptr(png));
        decoder->message = text;
        std::longjmp(decoder->jump, 1);
    }
    static void warning(png_structp, png_const_charp) {}
};

// Runs `step`, which must hold libpng calls only (the error jump skips destructors), and
// throws libpng's message naming the file when it fails.
template <typename Step> void pngCall(PngDecoder& decoder, const std::string& path, Step step) {
    if (setjmp(decoder.jump) != 0) {
        throw std::runtime_error(
            fmt::sprintf("Failed to read file '%s': %s", path, decoder.message));
    }
    step();
}

// The most libpng may allocate for one chunk's data other than the pixels'.
constexpr png_alloc_size_t chunkBytes = png_alloc_size_t(1) << 20;

struct PngHeader {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int depth = 0;
    int colour = 0;
};

// The signature and every chunk up to the pixels, read by `decoder` as the reader and the
// probe both need it, the size checked against `limit` and the memory.
PngHeader readHeader(PngDecoder& decoder, std::FILE* file, const std::string& path,
                     const SizeLimit& limit) {
    unsigned char signature[8];
    if (std::fread(signature, 1, sizeof signature, file) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        throw std::runtime_error(fmt::sprintf("Not a PNG file: '%s'", path));
    }
    png_structp png = decoder.png;
    png_infop info = decoder.info;
    PngHeader header;
    pngCall(decoder, path, [&] {
        png_init_io(png, file);
        png_set_sig_bytes(png, sizeof signature);
        // The header's size is judged below, against the card and the memory.
        png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
        // Only the pixels are wanted: every ancillary chunk but tRNS is skipped unread, so a
        // text or profile chunk claiming gigabytes costs nothing, and what libpng still keeps
        // of a chunk is bounded.
        png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
        png_set_chunk_malloc_max(png, chunkBytes);
        png_set_chunk_cache_max(png, 64);
        png_read_info(png, info);
        png_get_IHDR(png, info, &header.width, &header.height, &header.depth, &header.colour,
                     nullptr, nullptr, nullptr);
    });
    checkPictureSize(limit, header.width, header.height, PixelEncoding::Rgb8, path);
    return header;
}

} // namespace

// Decoded row by row into the picture, which libpng's transformations make 8-bit RGB: the
// picture's bytes are the only large buffer.
Picture readPng(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    PngDecoder decoder;
    const PngHeader header = readHeader(decoder, file.get(), path, limit);
    png_structp png = decoder.png;
    png_infop info = decoder.info;
    const png_uint_32 width = header.width;
    const png_uint_32 height = header.height;
    const int colour = header.colour;
    int passes = 1;
    pngCall(decoder, path, [&] {
        if (colour == PNG_COLOR_TYPE_PALETTE) {
            png_set_palette_to_rgb(png);
        }
        if ((colour & PNG_COLOR_MASK_COLOR) == 0) {
            png_set_expand_gray_1_2_4_to_8(png);
            png_set_gray_to_rgb(png);
        }
        if (header.depth == 16) {
            png_set_scale_16(png);
        }
        // Expanding a palette turns its tRNS chunk into alpha, which goes with the rest.
        if ((colour & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0) {
            png_set_strip_alpha(png);
        }
        passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
    });
    if (png_get_rowbytes(png, info) != static_cast<std::size_t>(width) * 3) {
        throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %u bytes a row, not %u",
                                              path, png_get_rowbytes(png, info), width * 3));
    }
    Picture picture;
    picture.allocate(static_cast<int>(width), static_cast<int>(height), PixelEncoding::Rgb8);
    // Interlaced passes each fill their pixels of the same rows.
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    unsigned char* const pixels = picture.pixels.get();
    pngCall(decoder, path, [&] {
        for (int pass = 0; pass < passes; ++pass) {
            for (png_uint_32 y = 0; y < height; ++y) {
                png_read_row(png, pixels + y * stride, nullptr);
            }
        }
    });
    return picture;
}

// The reader up to the pixels, so that every header error is the read's own.
PictureInfo probePng(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    PngDecoder decoder;
    const PngHeader header = readHeader(decoder, file.get(), path, limit);
    PictureInfo info;
    info.width = static_cast<int>(header.width);
    info.height = static_cast<int>(header.height);
    return info;
}
