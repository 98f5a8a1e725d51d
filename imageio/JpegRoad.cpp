#include "Roads.h"

#include "CFile.h"
#include "JpegCodec.h"
#include "PanoramaMetadata.h"

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

} // namespace

Picture readJpeg(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    const PanoramaMetadata metadata = readPanoramaMetadata(path);
    JpegDecoder decoder;
    jpeg_decompress_struct& info = decoder.info;
    jpegCall(decoder, [&] {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file.get());
        jpeg_read_header(&info, TRUE);
    });
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpegCall(decoder, [&] { jpeg_calc_output_dimensions(&info); });
    // The size checked is the upright one: a photo stored sideways is shown turned.
    checkPanoramaSize(metadata, info.output_width, info.output_height, path, limit);

    Picture picture;
    picture.allocate(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                     PixelEncoding::Rgb8);
    const std::size_t width = info.output_width;
    // CMYK rows are decoded one at a time into a row buffer and converted in place of RGB.
    std::unique_ptr<unsigned char[]> cmykRow(cmyk ? new unsigned char[width * 4] : nullptr);
    jpegCall(decoder, [&] {
        jpeg_start_decompress(&info);
        while (info.output_scanline < info.output_height) {
            unsigned char* rgb = picture.pixels.get() + info.output_scanline * width * 3;
            JSAMPROW row = cmyk ? cmykRow.get() : rgb;
            jpeg_read_scanlines(&info, &row, 1);
            if (cmyk) {
                cmykToRgb(cmykRow.get(), rgb, width);
            }
        }
        jpeg_finish_decompress(&info);
    });
    applyPanoramaMetadata(picture, metadata, path);
    return picture;
}
