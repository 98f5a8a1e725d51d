#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Minimal uncompressed DNG files, written with libtiff, for tests of the camera raw reader and
// of everything that reads what it develops. The colour matrix is sRGB's XYZ (D65) to linear
// RGB, so that the camera's colours are linear Rec.709 ones and develop unchanged.
struct DngOptions {
    std::uint32_t whiteLevel = 65535;
    std::uint16_t blackLevel = 0;
    // The camera's raw values of a neutral, the white balance shot with.
    std::array<float, 3> asShotNeutral = {1.0f, 1.0f, 1.0f};
    // The TIFF orientation, 1 to 8: how the camera was turned.
    std::uint16_t orientation = 1;
    // An XMP packet to embed (GPano tags); none when empty.
    std::string xmp;
};

// A LinearRaw DNG: `rgb` holds width * height * 3 values, rows from the top.
void writeLinearDng(const std::string& path, int width, int height,
                    const std::vector<std::uint16_t>& rgb, std::uint32_t whiteLevel);
void writeLinearDng(const std::string& path, int width, int height,
                    const std::vector<std::uint16_t>& rgb, const DngOptions& options);

// A LinearRaw DNG of one channel, as monochrome cameras write.
void writeMonochromeDng(const std::string& path, int width, int height,
                        const std::vector<std::uint16_t>& grey, const DngOptions& options);

// A Bayer DNG with the RGGB pattern: `cfa` holds width * height photosites.
void writeBayerDng(const std::string& path, int width, int height,
                   const std::vector<std::uint16_t>& cfa, const DngOptions& options);

// Bayer photosites of a picture of `rgb` (width * height * 3 values): each keeps its colour.
std::vector<std::uint16_t> mosaicRggb(int width, int height, const std::vector<std::uint16_t>& rgb);
