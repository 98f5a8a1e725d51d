#include "DngWriter.h"

#include <tiffio.h>

#include <memory>
#include <stdexcept>

namespace {

// XYZ (D65) to linear sRGB: the camera "sees" Rec.709 primaries.
constexpr float xyzToRec709[9] = {3.2404542f, -1.5371385f, -0.4985314f, -0.9692660f, 1.8760108f,
                                  0.0415560f, 0.0556434f,  -0.2040259f, 1.0572252f};

enum class Layout { Linear, Bayer };

void writeDng(const std::string& path, int width, int height, Layout layout, int samples,
              const std::vector<std::uint16_t>& values, const DngOptions& options) {
    if (values.size() != static_cast<std::size_t>(width) * height * samples) {
        throw std::invalid_argument("DNG values do not fill the picture");
    }
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFOpen(path.c_str(), "w"), TIFFClose);
    if (!tiff) {
        throw std::runtime_error("cannot write " + path);
    }
    TIFF* t = tiff.get();
    static const std::uint8_t version[4] = {1, 4, 0, 0};
    static const std::uint8_t backward[4] = {1, 1, 0, 0};
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, layout == Layout::Linear ? 34892 : PHOTOMETRIC_CFA);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(t, TIFFTAG_ORIENTATION, options.orientation);
    TIFFSetField(t, TIFFTAG_MAKE, "Marovex");
    TIFFSetField(t, TIFFTAG_MODEL, "Test Camera");
    TIFFSetField(t, TIFFTAG_DNGVERSION, version);
    TIFFSetField(t, TIFFTAG_DNGBACKWARDVERSION, backward);
    TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Marovex Test Camera");
    TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, xyzToRec709);
    TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21); // D65
    TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, options.asShotNeutral.data());
    const std::uint32_t white = options.whiteLevel;
    TIFFSetField(t, TIFFTAG_WHITELEVEL, 1, &white);
    const float black = options.blackLevel;
    TIFFSetField(t, TIFFTAG_BLACKLEVEL, 1, &black);
    if (layout == Layout::Bayer) {
        static const std::uint16_t dimensions[2] = {2, 2};
        static const std::uint8_t rggb[4] = {0, 1, 1, 2};
        TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, dimensions);
        TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, rggb);
    }
    if (!options.xmp.empty()) {
        TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(options.xmp.size()),
                     options.xmp.data());
    }
    const std::size_t rowValues = static_cast<std::size_t>(width) * samples;
    std::vector<std::uint16_t> row(rowValues);
    for (int y = 0; y < height; ++y) {
        std::copy(values.begin() + y * rowValues, values.begin() + (y + 1) * rowValues,
                  row.begin());
        if (TIFFWriteScanline(t, row.data(), y, 0) < 0) {
            throw std::runtime_error("cannot write " + path);
        }
    }
}

} // namespace

void writeLinearDng(const std::string& path, int width, int height,
                    const std::vector<std::uint16_t>& rgb, std::uint32_t whiteLevel) {
    DngOptions options;
    options.whiteLevel = whiteLevel;
    writeLinearDng(path, width, height, rgb, options);
}

void writeLinearDng(const std::string& path, int width, int height,
                    const std::vector<std::uint16_t>& rgb, const DngOptions& options) {
    writeDng(path, width, height, Layout::Linear, 3, rgb, options);
}

void writeMonochromeDng(const std::string& path, int width, int height,
                        const std::vector<std::uint16_t>& grey, const DngOptions& options) {
    writeDng(path, width, height, Layout::Linear, 1, grey, options);
}

void writeBayerDng(const std::string& path, int width, int height,
                   const std::vector<std::uint16_t>& cfa, const DngOptions& options) {
    writeDng(path, width, height, Layout::Bayer, 1, cfa, options);
}

std::vector<std::uint16_t> mosaicRggb(int width, int height,
                                      const std::vector<std::uint16_t>& rgb) {
    std::vector<std::uint16_t> cfa(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int colour = (y % 2) + (x % 2); // R G / G B
            const std::size_t at = static_cast<std::size_t>(y) * width + x;
            cfa[at] = rgb[at * 3 + colour];
        }
    }
    return cfa;
}
