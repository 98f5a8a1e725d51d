#include "CimgPicture.h"
#include "FileName.h"
#include "Roads.h"

#include <fmt/printf.h>

#include <cstdio>

using cimg_library::CImg;

Picture rgb8FromCimg(const CImg<unsigned short>& picture, bool sixteenBits,
                     const std::string& path, const SizeLimit& limit) {
    if (picture.is_empty()) {
        throw std::runtime_error(fmt::sprintf("No picture in '%s'", path));
    }
    limit.check(picture.width(), picture.height());
    const bool grey = picture.spectrum() < 3;
    sixteenBits = sixteenBits || picture.max() > 255;
    Picture result;
    result.allocate(picture.width(), picture.height(), PixelEncoding::Rgb8);
    unsigned char* out = result.pixels.get();
    cimg_forXY(picture, x, y) {
        for (int c = 0; c < 3; ++c) {
            const unsigned value = picture(x, y, 0, grey ? 0 : c);
            *out++ = static_cast<unsigned char>(sixteenBits ? (value * 255u + 32767u) / 65535u
                                                            : value);
        }
    }
    return result;
}

Picture readStandardInput(const SizeLimit& limit) {
    const CImg<unsigned short> picture =
        cimgCall([] { return CImg<unsigned short>().load_pnm(stdin); });
    return rgb8FromCimg(picture, false, "-", limit);
}

Picture readGeneric(const std::string& path, const SizeLimit& limit) {
    // CImg's generic loader does not tell the bit depth of a PNG; ask its PNG reader.
    unsigned bits = 8;
    const CImg<unsigned short> picture = cimgCall([&] {
        return hasSuffix(path, ".png") ? CImg<unsigned short>().load_png(path.c_str(), &bits)
                                       : CImg<unsigned short>().load(path.c_str());
    });
    return rgb8FromCimg(picture, bits > 8, path, limit);
}
