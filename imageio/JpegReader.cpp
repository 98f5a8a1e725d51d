#include "Readers.h"

#include "CFile.h"
#include "JpegCodec.h"
#include "PanoramaMetadata.h"

#include <fmt/printf.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Adobe CMYK files store inverted inks, which is what libjpeg hands out: 255 means no ink.
void cmykToRgb(const unsigned char* cmyk, unsigned char* rgb, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
        const unsigned k = cmyk[3];
        for (int c = 0; c < 3; ++c) {
            rgb[c] = static_cast<unsigned char>((cmyk[c] * k + 127) / 255);
        }
    }
}

// libjpeg's warnings on standard error as before, each line naming the file; the end of the
// data is remembered, to judge how much of the picture the file held.
struct WarningWatch {
    const std::string* path = nullptr;
    bool ended = false;
    unsigned endRow = 0;
    int endScan = 0;
};

void watchWarnings(JpegDecoder& decoder, WarningWatch& watch, const std::string& path) {
    watch.path = &path;
    decoder.watch = &watch;
    decoder.errors.emit_message = [](j_common_ptr common, int level) {
        if (level >= 0) {
            return;
        }
        auto* current =
            static_cast<WarningWatch*>(static_cast<JpegDecoder*>(common->client_data)->watch);
        auto* info = reinterpret_cast<j_decompress_ptr>(common);
        // The file ended, or its data did before a marker.
        const int code = common->err->msg_code;
        if ((code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) && !current->ended) {
            current->ended = true;
            current->endRow = info->input_iMCU_row;
            current->endScan = info->input_scan_number;
        }
        // One line a warning kind, as libjpeg prints the first of all by itself.
        if (common->err->num_warnings++ == 0 || common->err->msg_code == JWRN_JPEG_EOF) {
            char message[JMSG_LENGTH_MAX];
            (*common->err->format_message)(common, message);
            std::fprintf(stderr, "Warning: JPEG file '%s': %s\n", current->path->c_str(), message);
        }
    };
}

// libjpeg's own messages name no file.
template <typename Call> void namedStep(JpegDecoder& decoder, const std::string& path, Call call) {
    try {
        jpegCall(decoder, call);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, error.what()));
    }
}

struct Header {
    // The picture's, once its metadata is applied.
    long width;
    long height;
    // CMYK or YCCK: inks.
    bool cmyk;
};

// The header read into `decoder` and the picture checked against the card and the memory.
Header readHeader(JpegDecoder& decoder, std::FILE* file, const PanoramaMetadata& metadata,
                  const std::string& path, const SizeLimit& limit) {
    jpeg_decompress_struct& info = decoder.info;
    namedStep(decoder, path, [&] {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file);
        jpeg_read_header(&info, TRUE);
    });
    // Progressive files hold every coefficient while they decode; beyond this libjpeg fails
    // rather than grow.
    info.mem->max_memory_to_use =
        static_cast<long>(std::min<std::size_t>(memoryBudget(), LONG_MAX));
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    namedStep(decoder, path, [&] { jpeg_calc_output_dimensions(&info); });
    // The size checked is the upright one: a photo stored sideways is shown turned.
    const std::pair<long, long> size =
        checkPanoramaSize(metadata, info.output_width, info.output_height, path, limit);
    checkMemoryBudget(info.output_width, info.output_height, PixelEncoding::Rgb8, path);
    return {size.first, size.second, cmyk};
}

} // namespace

Picture readJpeg(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    const PanoramaMetadata metadata = readPanoramaMetadata(path);
    JpegDecoder decoder;
    WarningWatch watch;
    watchWarnings(decoder, watch, path);
    jpeg_decompress_struct& info = decoder.info;
    const bool cmyk = readHeader(decoder, file.get(), metadata, path, limit).cmyk;
    const auto step = [&](auto call) { namedStep(decoder, path, call); };

    Picture picture;
    picture.allocate(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                     PixelEncoding::Rgb8);
    const std::size_t width = info.output_width;
    // A file that ends before half the rows of its first scan is refused: a forged size on a
    // few bytes would otherwise pass as a grey picture of any size. Later ends keep libjpeg's
    // tolerance, the rest grey.
    const auto shortFile = [&] {
        return watch.ended && watch.endScan <= 1 && 2 * (watch.endRow + 1) < info.total_iMCU_rows;
    };
    // CMYK rows are decoded one at a time into a row buffer and converted in place of RGB.
    std::unique_ptr<unsigned char[]> cmykRow(cmyk ? new unsigned char[width * 4] : nullptr);
    step([&] {
        jpeg_start_decompress(&info);
        while (info.output_scanline < info.output_height && !shortFile()) {
            unsigned char* rgb = picture.pixels.get() + info.output_scanline * width * 3;
            JSAMPROW row = cmyk ? cmykRow.get() : rgb;
            jpeg_read_scanlines(&info, &row, 1);
            if (cmyk) {
                cmykToRgb(cmykRow.get(), rgb, width);
            }
        }
    });
    if (shortFile()) {
        throw std::runtime_error(
            fmt::sprintf("Truncated JPEG file '%s': the data ends in row %d of %d", path,
                         watch.endRow * info.max_v_samp_factor * DCTSIZE, info.image_height));
    }
    step([&] { jpeg_finish_decompress(&info); });
    applyPanoramaMetadata(picture, metadata, path);
    return picture;
}

PictureInfo probeJpeg(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    const PanoramaMetadata metadata = readPanoramaMetadata(path);
    JpegDecoder decoder;
    // The read that follows says libjpeg's warnings.
    decoder.errors.emit_message = [](j_common_ptr, int) {};
    const Header header = readHeader(decoder, file.get(), metadata, path, limit);
    PictureInfo info;
    info.width = static_cast<int>(header.width);
    info.height = static_cast<int>(header.height);
    return info;
}
