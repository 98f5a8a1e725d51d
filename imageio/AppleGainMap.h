#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The HDR gain map of an iPhone photo: a smaller grey picture whose sRGB-coded values say how
// far toward the headroom each pixel of the SDR base goes, the headroom coming from two tags
// of the photo's EXIF maker note.
namespace apple_gain_map {

// The auxiliary image type that marks the map.
constexpr const char* auxiliaryType = "urn:com:apple:photo:2020:aux:hdrgainmap";

// The largest factor of linear light the map allows, from maker note tags 33 and 48.
double headroom(double tag33, double tag48);

// The headroom of an EXIF block (a TIFF header and its IFDs) whose maker note is Apple's;
// throws std::runtime_error saying what is missing. Parsed with exiv2.
double headroomFromExif(const unsigned char* tiff, std::size_t size);

// The map's 8-bit codes as linear gains in [0, 1], sampled bilinearly at the base's pixels.
class GainSampler {
public:
    // `codes` holds `height` rows of `width` codes, `stride` bytes apart; it is read, not kept
    // beyond the sampler's life. The base is `baseWidth` x `baseHeight`.
    GainSampler(const std::uint8_t* codes, int width, int height, std::ptrdiff_t stride,
                int baseWidth, int baseHeight);

    // The gains of base row `y`, baseWidth of them, into `out`.
    void row(int y, float* out) const;

private:
    const std::uint8_t* codes;
    int height;
    std::ptrdiff_t stride;
    int baseHeight;
    float linear[256];
    // Per base column: the two map columns and the weight of the second.
    std::vector<int> x0, x1;
    std::vector<float> fx;
};

} // namespace apple_gain_map
