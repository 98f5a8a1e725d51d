#pragma once

#include "ColourEncoding.h"
#include "GainMapMetadata.h"
#include "PixelMemory.h"

#include <array>
#include <vector>

// A decoded gain map: 8-bit codes of 1 or 3 channels, rows from the top, pixels packed.
struct GainMapImage {
    int width = 0;
    int height = 0;
    int channels = 1;
    PixelBuffer codes;
};

// Applies a gain map to an 8-bit sRGB base picture (3 bytes a pixel, `width` x `height`) at
// full weight, on all cores. The map may be smaller than the base: it is sampled bilinearly
// at the base's pixel centres. Base colours in `primaries` come out in Rec.709.
class GainMapApply {
public:
    GainMapApply(const GainMapMetadata& metadata, const GainMapImage& map, int width, int height,
                 colour::Primaries primaries);

    // The alternate rendition as RGBE, 4 bytes a pixel, linear light with the base's white at
    // 1.0; negatives clipped.
    void toRgbe(const unsigned char* base, unsigned char* out) const;
    // The same for rows [y0, y1) alone, on this thread: `rows` holds the base's rows from y0,
    // `out` is the whole picture.
    void rgbeRows(const unsigned char* rows, unsigned char* out, long y0, long y1) const;
    // The alternate rendition as 8-bit sRGB, 3 bytes a pixel, clipped to the SDR white: for a
    // base that is the HDR rendition.
    void toSrgb8(const unsigned char* base, unsigned char* out) const;

    // The base alone as RGBE, linearised through sRGB (the HDR rendition of an HDR base).
    static void linearBase(const unsigned char* base, int width, int height,
                           colour::Primaries primaries, unsigned char* out);

private:
    template <typename Pixel>
    void applyRows(const unsigned char* rows, long y0, long y1, Pixel pixel) const;

    const GainMapImage& map;
    int width;
    int height;
    std::array<float, 256> srgb{};
    // 2^gain for each code, per channel.
    std::array<std::array<float, 256>, 3> factors{};
    // A map of one channel with the same metadata for all three: one plane of gains serves.
    bool oneGain = false;
    std::array<float, 3> baseOffset{};
    std::array<float, 3> alternateOffset{};
    colour::Matrix matrix{};
    bool identity = true;
    // Where each column's map sample lies: the two map columns and the weight of the second.
    std::vector<int> column0;
    std::vector<int> column1;
    std::vector<float> columnWeight;
};
