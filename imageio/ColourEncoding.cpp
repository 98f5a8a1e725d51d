#include "ColourEncoding.h"

#include "RgbeEncode.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace colour {

namespace {

struct Chromaticity {
    double x, y;
};

struct PrimarySet {
    Chromaticity red, green, blue;
};

constexpr Chromaticity d65{0.3127, 0.3290};

PrimarySet chromaticities(Primaries primaries) {
    switch (primaries) {
    case Primaries::Bt709:
        return {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}};
    case Primaries::Bt2020:
        return {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};
    case Primaries::DisplayP3:
        return {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
    }
    throw std::logic_error("unknown primaries");
}

using Matrix3 = std::array<std::array<double, 3>, 3>;

Matrix3 inverse(const Matrix3& m) {
    const double a = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    const double b = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    const double c = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    const double det = m[0][0] * a + m[0][1] * b + m[0][2] * c;
    Matrix3 r;
    r[0] = {a / det, (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det,
            (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det};
    r[1] = {b / det, (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
            (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det};
    r[2] = {c / det, (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det,
            (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det};
    return r;
}

Matrix3 product(const Matrix3& a, const Matrix3& b) {
    Matrix3 r{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                r[i][j] += a[i][k] * b[k][j];
            }
        }
    }
    return r;
}

// Columns are the primaries' XYZ, scaled so that RGB 1, 1, 1 is the white point at Y = 1.
Matrix3 rgbToXyz(Primaries primaries) {
    const PrimarySet set = chromaticities(primaries);
    const Chromaticity p[3] = {set.red, set.green, set.blue};
    Matrix3 m;
    for (int k = 0; k < 3; ++k) {
        m[0][k] = p[k].x / p[k].y;
        m[1][k] = 1.0;
        m[2][k] = (1.0 - p[k].x - p[k].y) / p[k].y;
    }
    const double white[3] = {d65.x / d65.y, 1.0, (1.0 - d65.x - d65.y) / d65.y};
    const Matrix3 inv = inverse(m);
    for (int k = 0; k < 3; ++k) {
        const double s = inv[k][0] * white[0] + inv[k][1] * white[1] + inv[k][2] * white[2];
        for (int i = 0; i < 3; ++i) {
            m[i][k] *= s;
        }
    }
    return m;
}

double pqToLinear(double signal) {
    constexpr double m1 = 2610.0 / 16384.0;
    constexpr double m2 = 2523.0 / 4096.0 * 128.0;
    constexpr double c1 = 3424.0 / 4096.0;
    constexpr double c2 = 2413.0 / 4096.0 * 32.0;
    constexpr double c3 = 2392.0 / 4096.0 * 32.0;
    const double p = std::pow(signal, 1.0 / m2);
    return 10000.0 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1.0 / m1) / referenceWhite;
}

double hlgToScene(double signal) {
    constexpr double a = 0.17883277;
    constexpr double b = 0.28466892;
    constexpr double c = 0.55991073;
    return signal <= 0.5 ? signal * signal / 3.0 : (std::exp((signal - c) / a) + b) / 12.0;
}

// HLG's system gamma for a display of hlgPeak (BT.2100: 1.2 at 1000 cd/m²).
const double hlgGamma = 1.2 + 0.42 * std::log10(hlgPeak / 1000.0);

// sRGB signals of linear light in steps of 1/4096, for toRgb8 of converted pictures.
struct SrgbTable {
    static constexpr int steps = 4096;
    std::array<unsigned char, steps + 1> code{};
    SrgbTable() {
        for (int i = 0; i <= steps; ++i) {
            code[i] = static_cast<unsigned char>(std::lround(255.0 * toSrgb(double(i) / steps)));
        }
    }
};

} // namespace

Primaries primariesFromCicp(int code) {
    switch (code) {
    case 9:
        return Primaries::Bt2020;
    case 11: // DCI-P3: the P3 primaries, whose white is taken as D65 here
    case 12:
        return Primaries::DisplayP3;
    default:
        return Primaries::Bt709;
    }
}

Transfer transferFromCicp(int code) {
    switch (code) {
    case 1:
    case 6:
    case 14:
    case 15:
        return Transfer::Bt709;
    case 4:
        return Transfer::Gamma22;
    case 5:
        return Transfer::Gamma28;
    case 8:
        return Transfer::Linear;
    case 16:
        return Transfer::Pq;
    case 18:
        return Transfer::Hlg;
    default:
        return Transfer::Srgb;
    }
}

bool isHdr(Transfer transfer) {
    return transfer == Transfer::Linear || transfer == Transfer::Pq || transfer == Transfer::Hlg;
}

double absoluteWhite(Transfer transfer) {
    return transfer == Transfer::Pq || transfer == Transfer::Hlg ? referenceWhite : 0.0;
}

double toLinear(Transfer transfer, double signal) {
    if (transfer == Transfer::Linear) {
        return std::max(signal, 0.0);
    }
    const double s = std::clamp(signal, 0.0, 1.0);
    switch (transfer) {
    case Transfer::Linear:
        break;
    case Transfer::Srgb:
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    case Transfer::Bt709:
        return s < 0.081 ? s / 4.5 : std::pow((s + 0.099) / 1.099, 1.0 / 0.45);
    case Transfer::Gamma22:
        return std::pow(s, 2.2);
    case Transfer::Gamma28:
        return std::pow(s, 2.8);
    case Transfer::Pq:
        return pqToLinear(s);
    case Transfer::Hlg:
        return hlgToScene(s);
    }
    return s;
}

double toSrgb(double linear) {
    const double l = std::clamp(linear, 0.0, 1.0);
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}

Matrix toRec709(Primaries primaries) {
    const Matrix3 m = product(inverse(rgbToXyz(Primaries::Bt709)), rgbToXyz(primaries));
    Matrix r;
    for (int i = 0; i < 9; ++i) {
        r[i] = static_cast<float>(m[i / 3][i % 3]);
    }
    return r;
}

std::array<float, 3> luminanceWeights(Primaries primaries) {
    const Matrix3 m = rgbToXyz(primaries);
    return {static_cast<float>(m[1][0]), static_cast<float>(m[1][1]),
            static_cast<float>(m[1][2])};
}

SignalConverter::SignalConverter(Encoding encoding, int bits)
    : encoding(encoding), matrix(toRec709(encoding.primaries)),
      identity(encoding.primaries == Primaries::Bt709),
      weights(luminanceWeights(encoding.primaries)),
      scale(static_cast<float>(hlgPeak / referenceWhite)),
      keepCodes(encoding.primaries == Primaries::Bt709 && !isHdr(encoding.transfer)) {
    if (bits < 8 || bits > 16) {
        throw std::logic_error("code values of 8 to 16 bits only");
    }
    const unsigned largest = (1u << bits) - 1u;
    table.resize(largest + 1u);
    for (unsigned code = 0; code <= largest; ++code) {
        table[code] = static_cast<float>(toLinear(encoding.transfer, double(code) / largest));
    }
}

void SignalConverter::finish(float rgb[3], unsigned char* out) const {
    if (encoding.transfer == Transfer::Hlg) {
        const float y = weights[0] * rgb[0] + weights[1] * rgb[1] + weights[2] * rgb[2];
        const float f = y > 0.0f ? scale * std::pow(y, static_cast<float>(hlgGamma - 1.0)) : 0.0f;
        rgb[0] *= f;
        rgb[1] *= f;
        rgb[2] *= f;
    }
    float r = rgb[0];
    float g = rgb[1];
    float b = rgb[2];
    if (!identity) {
        r = matrix[0] * rgb[0] + matrix[1] * rgb[1] + matrix[2] * rgb[2];
        g = matrix[3] * rgb[0] + matrix[4] * rgb[1] + matrix[5] * rgb[2];
        b = matrix[6] * rgb[0] + matrix[7] * rgb[1] + matrix[8] * rgb[2];
    }
    rgbe::encodeFast(rgbe::encodable(r), rgbe::encodable(g), rgbe::encodable(b), out);
}

template <typename Code>
void SignalConverter::codesToRgbe(const Code* codes, int channels, long count,
                                  unsigned char* out) const {
    const unsigned largest = static_cast<unsigned>(table.size() - 1);
    const bool grey = channels < 3;
    for (long i = 0; i < count; ++i) {
        const Code* p = codes + static_cast<std::size_t>(i) * channels;
        float rgb[3];
        for (int k = 0; k < 3; ++k) {
            rgb[k] = table[std::min<unsigned>(p[grey ? 0 : k], largest)];
        }
        finish(rgb, out + 4 * i);
    }
}

template <typename Code>
void SignalConverter::codesToRgb8(const Code* codes, int channels, long count,
                                  unsigned char* out) const {
    static const SrgbTable srgb;
    const unsigned largest = static_cast<unsigned>(table.size() - 1);
    const bool grey = channels < 3;
    for (long i = 0; i < count; ++i) {
        const Code* p = codes + static_cast<std::size_t>(i) * channels;
        unsigned char* o = out + 3 * i;
        if (keepCodes) {
            for (int k = 0; k < 3; ++k) {
                const unsigned c = std::min<unsigned>(p[grey ? 0 : k], largest);
                o[k] = static_cast<unsigned char>((c * 255u + largest / 2u) / largest);
            }
            continue;
        }
        float rgb[3];
        for (int k = 0; k < 3; ++k) {
            rgb[k] = table[std::min<unsigned>(p[grey ? 0 : k], largest)];
        }
        for (int k = 0; k < 3; ++k) {
            const float v =
                matrix[3 * k] * rgb[0] + matrix[3 * k + 1] * rgb[1] + matrix[3 * k + 2] * rgb[2];
            o[k] = srgb.code[static_cast<int>(std::clamp(v, 0.0f, 1.0f) * SrgbTable::steps +
                                              0.5f)];
        }
    }
}

void SignalConverter::toRgbe(const std::uint16_t* codes, int channels, long count,
                             unsigned char* out) const {
    codesToRgbe(codes, channels, count, out);
}

void SignalConverter::toRgbe(const std::uint8_t* codes, int channels, long count,
                             unsigned char* out) const {
    codesToRgbe(codes, channels, count, out);
}

void SignalConverter::toRgbe(const float* values, int channels, long count,
                             unsigned char* out) const {
    const bool grey = channels < 3;
    const bool linearIn = encoding.transfer == Transfer::Linear;
    for (long i = 0; i < count; ++i) {
        const float* p = values + static_cast<std::size_t>(i) * channels;
        float rgb[3];
        for (int k = 0; k < 3; ++k) {
            const float v = p[grey ? 0 : k];
            // NaN becomes 0 here as well as in the encoder.
            rgb[k] = linearIn ? (v > 0.0f ? v : 0.0f)
                              : static_cast<float>(toLinear(encoding.transfer, v > 0.0f ? v : 0.0f));
        }
        finish(rgb, out + 4 * i);
    }
}

void SignalConverter::toRgb8(const std::uint16_t* codes, int channels, long count,
                             unsigned char* out) const {
    codesToRgb8(codes, channels, count, out);
}

void SignalConverter::toRgb8(const std::uint8_t* codes, int channels, long count,
                             unsigned char* out) const {
    codesToRgb8(codes, channels, count, out);
}

} // namespace colour
