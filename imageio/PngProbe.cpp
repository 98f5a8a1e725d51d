#include "Readers.h"

#include "CFile.h"

#include <fmt/printf.h>
#include <png.h>

#include <csetjmp>
#include <new>
#include <stdexcept>

// PNG's header as readPng reads it: libpng set up the same way, so that every header error is
// the read's own.
namespace {

struct PngHeaderReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::jmp_buf jump{};
    std::string message;

    PngHeaderReader() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &error, &warning);
        info = png != nullptr ? png_create_info_struct(png) : nullptr;
        if (info == nullptr) {
            png_destroy_read_struct(&png, nullptr, nullptr);
            throw std::bad_alloc();
        }
    }
    ~PngHeaderReader() { png_destroy_read_struct(&png, &info, nullptr); }
    PngHeaderReader(const PngHeaderReader&) = delete;
    PngHeaderReader& operator=(const PngHeaderReader&) = delete;

    [[noreturn]] static void error(png_structp png, png_const_charp text) {
        auto* reader = static_cast<PngHeaderReader*>(png_get_error_ptr(png));
        reader->message = text;
        std::longjmp(reader->jump, 1);
    }
    static void warning(png_structp, png_const_charp) {}
};

} // namespace

PictureInfo probePng(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    unsigned char signature[8];
    if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        throw std::runtime_error(fmt::sprintf("Not a PNG file: '%s'", path));
    }
    PngHeaderReader reader;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    // Nothing with a destructor past this point until the header is in: the jump skips them.
    if (setjmp(reader.jump) != 0) {
        throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, reader.message));
    }
    png_init_io(reader.png, file.get());
    png_set_sig_bytes(reader.png, sizeof signature);
    png_set_user_limits(reader.png, 0x7fffffff, 0x7fffffff);
    png_set_keep_unknown_chunks(reader.png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_set_chunk_malloc_max(reader.png, png_alloc_size_t(1) << 20);
    png_set_chunk_cache_max(reader.png, 64);
    png_read_info(reader.png, reader.info);
    png_get_IHDR(reader.png, reader.info, &width, &height, nullptr, nullptr, nullptr, nullptr,
                 nullptr);
    checkPictureSize(limit, width, height, PixelEncoding::Rgb8, path);
    PictureInfo info;
    info.width = static_cast<int>(width);
    info.height = static_cast<int>(height);
    return info;
}
