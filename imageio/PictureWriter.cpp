#include "PictureWriter.h"

#include "CFile.h"
#include "CimgSupport.h"
#include "FileName.h"
#include "JpegCodec.h"
#include "OiioModule.h"
#include "rgbe.h"

#include <fmt/printf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

using cimg_library::CImg;

namespace {

void writePpm(const std::string& path, int w, int h, const unsigned char* pixels) {
    const std::string header =
        fmt::sprintf("P6\n# CREATOR: Marovex Stitcher\n%u %u\n%u\n", w, h, 255);
    const std::size_t size = static_cast<std::size_t>(w) * h * 3;
    if (path == "-") {
        std::fwrite(header.data(), 1, header.size(), stdout);
        std::fwrite(pixels, 1, size, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            throw std::runtime_error(
                fmt::sprintf("Failed to write file '%s': %s", path, std::strerror(errno)));
        }
        return;
    }
    File file = openFile(path, "wb");
    std::fwrite(header.data(), 1, header.size(), file.get());
    std::fwrite(pixels, 1, size, file.get());
    closeWritten(std::move(file), path);
}

void writeJpeg(const std::string& path, int w, int h, const unsigned char* pixels) {
    File file = openFile(path, "wb");
    JpegEncoder encoder;
    jpeg_compress_struct& info = encoder.info;
    jpegCall(encoder, [&] {
        jpeg_create_compress(&info);
        jpeg_stdio_dest(&info, file.get());
        info.image_width = static_cast<JDIMENSION>(w);
        info.image_height = static_cast<JDIMENSION>(h);
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 95, TRUE);
        jpeg_start_compress(&info, TRUE);
    });
    const std::size_t stride = static_cast<std::size_t>(w) * 3;
    for (int r = 0; r < h; ++r) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + r * stride);
        jpegCall(encoder, [&] { jpeg_write_scanlines(&info, &row, 1); });
    }
    jpegCall(encoder, [&] { jpeg_finish_compress(&info); });
    closeWritten(std::move(file), path);
}

} // namespace

void saveImage(const std::string& path, int w, int h, int channels, const unsigned char* pixels) {
    if (hasSuffix(path, ".hdr")) {
        rgbe::write(path, w, h, pixels, true);
        return;
    }
    if (channels == 3 && (path == "-" || hasSuffix(path, ".ppm"))) {
        writePpm(path, w, h, pixels);
        return;
    }
    if (channels == 3 && hasSuffix(path, ".jpg")) {
        writeJpeg(path, w, h, pixels);
        return;
    }
    cimgCall([&] {
        const CImg<unsigned char> interleaved(pixels, static_cast<unsigned>(channels),
                                              static_cast<unsigned>(w), static_cast<unsigned>(h), 1,
                                              true);
        const CImg<unsigned char> picture = interleaved.get_permute_axes("yzcx");
        if (path == "-") {
            picture.save_pnm("-");
        } else {
            picture.save(path.c_str());
        }
    });
}

template <typename T> void saveRgb(const std::string& path, int w, int h, const T* values) {
    cimgCall([&] {
        const CImg<T> picture(values, 3, static_cast<unsigned>(w), static_cast<unsigned>(h), 1,
                              true);
        picture.get_permute_axes("yzcx").save(path.c_str());
    });
}

template void saveRgb<float>(const std::string&, int, int, const float*);
template void saveRgb<unsigned short>(const std::string&, int, int, const unsigned short*);
template void saveRgb<unsigned char>(const std::string&, int, int, const unsigned char*);

void saveLinearExr(const std::string& path, int w, int h, const float* rgb) {
    oiio_module::exrWriter(path)(path, w, h, rgb);
}
