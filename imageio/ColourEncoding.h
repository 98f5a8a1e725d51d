#pragma once

#include <array>
#include <cstdint>
#include <vector>

// How a file's code values become the viewer's linear Rec.709 light: a transfer function and
// a set of primaries, as CICP (ITU-T H.273) codes name them. PQ and HLG pictures keep their
// absolute scale: reference white, 203 cd/m² (ITU-R BT.2408), is 1.0.
namespace colour {

enum class Transfer {
    Linear,
    Srgb,
    Bt709, // BT.709, BT.601 and BT.2020's SDR curve
    Gamma22,
    Gamma28,
    Pq,  // SMPTE ST 2084
    Hlg, // ARIB STD-B67, shown on a display of hlgPeak
};

enum class Primaries { Bt709, Bt2020, DisplayP3 };

struct Encoding {
    Primaries primaries = Primaries::Bt709;
    Transfer transfer = Transfer::Srgb;
};

constexpr double referenceWhite = 203.0;
constexpr double hlgPeak = 1000.0;

// CICP colour_primaries and transfer_characteristics; codes that are unspecified, reserved or
// not listed give Rec.709 and sRGB, the assumption for a file that says nothing.
Primaries primariesFromCicp(int code);
Transfer transferFromCicp(int code);

// Whether the transfer's values reach above the SDR white (PQ, HLG, linear): such pictures are
// read as radiance, the others as display-referred 8-bit pictures.
bool isHdr(Transfer transfer);

// The cd/m² of the value 1.0 of a picture in this transfer: referenceWhite for PQ and HLG,
// 0 for the others, which carry no absolute scale.
double absoluteWhite(Transfer transfer);

// The linear value of one signal in [0, 1] (clamped): for PQ, cd/m² / referenceWhite; for HLG
// the scene light in [0, 1] before the display's OOTF, which needs the whole pixel.
double toLinear(Transfer transfer, double signal);

// The sRGB curve of linear light in [0, 1] (clamped), as a signal in [0, 1].
double toSrgb(double linear);

using Matrix = std::array<float, 9>; // row-major, applied to column vectors

// Linear RGB in `primaries` to linear Rec.709 (both D65): the identity for Rec.709.
Matrix toRec709(Primaries primaries);

// The luminance of linear RGB in `primaries` (the Y row of its RGB to XYZ matrix).
std::array<float, 3> luminanceWeights(Primaries primaries);

// Converts whole rows of a decoded picture to the viewer's encodings. Integer codes of `bits`
// bits (8 to 16) go through a table; float values are the signal itself (linear light for
// Transfer::Linear). Pixels hold `channels` values (3, or 4 with alpha, which is ignored; 1 or
// 2 for grey, the grey repeated).
class SignalConverter {
public:
    SignalConverter(Encoding encoding, int bits);

    // Radiance as RGBE, 4 bytes a pixel: the transfer, HLG's OOTF, then the primaries;
    // colours outside Rec.709 lose their negative parts.
    void toRgbe(const std::uint16_t* codes, int channels, long count, unsigned char* out) const;
    void toRgbe(const std::uint8_t* codes, int channels, long count, unsigned char* out) const;
    void toRgbe(const float* values, int channels, long count, unsigned char* out) const;

    // Display-referred 8-bit sRGB, 3 bytes a pixel, for SDR pictures: Rec.709 pictures in an
    // sRGB-like curve keep their codes (rounded to 8 bits); others are converted and clipped.
    void toRgb8(const std::uint16_t* codes, int channels, long count, unsigned char* out) const;
    void toRgb8(const std::uint8_t* codes, int channels, long count, unsigned char* out) const;

    // The linear value of one code (the table's entry).
    float linear(unsigned code) const { return table[code]; }

private:
    template <typename Code>
    void codesToRgbe(const Code* codes, int channels, long count, unsigned char* out) const;
    template <typename Code>
    void codesToRgb8(const Code* codes, int channels, long count, unsigned char* out) const;
    void finish(float rgb[3], unsigned char* out) const;

    Encoding encoding;
    std::vector<float> table;
    Matrix matrix;
    bool identity;
    std::array<float, 3> weights;
    // For PQ, cd/m² per unit out, and the OOTF's scale for HLG.
    float scale;
    // For toRgb8 of Rec.709 sRGB-like pictures: codes kept, shifted to 8 bits.
    bool keepCodes;
};

} // namespace colour
