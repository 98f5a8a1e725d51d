#include "GainMapApply.h"

#include "AllCores.h"
#include "RgbeEncode.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

std::array<float, 256> srgbTable() {
    std::array<float, 256> table{};
    for (int code = 0; code < 256; ++code) {
        table[code] = static_cast<float>(colour::toLinear(colour::Transfer::Srgb, code / 255.0));
    }
    return table;
}

// Where the map sample of output pixel `i` of `count` lies among `mapCount` map pixels:
// the centres line up, the ends are clamped.
void samplePosition(long i, long count, long mapCount, int& first, int& second, float& weight) {
    const double at = std::clamp((i + 0.5) * static_cast<double>(mapCount) / count - 0.5, 0.0,
                                 static_cast<double>(mapCount - 1));
    first = static_cast<int>(at);
    second = std::min(first + 1, static_cast<int>(mapCount - 1));
    weight = static_cast<float>(at - first);
}

} // namespace

GainMapApply::GainMapApply(const GainMapMetadata& metadata, const GainMapImage& map, int width,
                           int height, colour::Primaries primaries)
    : map(map), width(width), height(height), srgb(srgbTable()),
      baseOffset(metadata.baseOffset), alternateOffset(metadata.alternateOffset),
      matrix(colour::toRec709(primaries)), identity(primaries == colour::Primaries::Bt709) {
    for (int c = 0; c < 3; ++c) {
        for (int code = 0; code < 256; ++code) {
            const double g = std::pow(code / 255.0, 1.0 / metadata.gamma[c]);
            const double gain = metadata.gainMin[c] + (metadata.gainMax[c] - metadata.gainMin[c]) * g;
            factors[c][code] = static_cast<float>(std::exp2(gain));
        }
    }
    column0.resize(width);
    column1.resize(width);
    columnWeight.resize(width);
    for (int x = 0; x < width; ++x) {
        samplePosition(x, width, map.width, column0[x], column1[x], columnWeight[x]);
    }
}

template <typename Pixel>
void GainMapApply::applyRows(const unsigned char* base, Pixel pixel) const {
    const bool sameSize = map.width == width && map.height == height;
    const int channels = map.channels;
    runOnAllCores(height, [&](long y0, long y1) {
        // The map's gain factors along the output row, 3 a map pixel.
        std::unique_ptr<float[]> row(new float[static_cast<std::size_t>(map.width) * 3]);
        for (long y = y0; y < y1; ++y) {
            int r0 = static_cast<int>(y);
            int r1 = r0;
            float wy = 0.0f;
            if (!sameSize) {
                samplePosition(y, height, map.height, r0, r1, wy);
            }
            const unsigned char* codes0 =
                map.codes.get() + static_cast<std::size_t>(r0) * map.width * channels;
            const unsigned char* codes1 =
                map.codes.get() + static_cast<std::size_t>(r1) * map.width * channels;
            for (int i = 0; i < map.width; ++i) {
                for (int c = 0; c < 3; ++c) {
                    const int k = i * channels + (channels == 3 ? c : 0);
                    const float a = factors[c][codes0[k]];
                    const float b = factors[c][codes1[k]];
                    row[i * 3 + c] = a + (b - a) * wy;
                }
            }
            const unsigned char* in = base + static_cast<std::size_t>(y) * width * 3;
            for (int x = 0; x < width; ++x, in += 3) {
                float rgb[3];
                for (int c = 0; c < 3; ++c) {
                    float factor;
                    if (sameSize) {
                        factor = row[x * 3 + c];
                    } else {
                        const float a = row[column0[x] * 3 + c];
                        const float b = row[column1[x] * 3 + c];
                        factor = a + (b - a) * columnWeight[x];
                    }
                    rgb[c] = (srgb[in[c]] + baseOffset[c]) * factor - alternateOffset[c];
                }
                if (!identity) {
                    const float r = rgb[0], g = rgb[1], b = rgb[2];
                    rgb[0] = matrix[0] * r + matrix[1] * g + matrix[2] * b;
                    rgb[1] = matrix[3] * r + matrix[4] * g + matrix[5] * b;
                    rgb[2] = matrix[6] * r + matrix[7] * g + matrix[8] * b;
                }
                pixel(static_cast<std::size_t>(y) * width + x, rgb);
            }
        }
    });
}

void GainMapApply::toRgbe(const unsigned char* base, unsigned char* out) const {
    applyRows(base, [out](std::size_t at, const float* rgb) {
        rgbe::encodeFast(std::max(rgb[0], 0.0f), std::max(rgb[1], 0.0f), std::max(rgb[2], 0.0f),
                         out + at * 4);
    });
}

void GainMapApply::toSrgb8(const unsigned char* base, unsigned char* out) const {
    // Fine enough that every code of the sRGB curve is reached.
    constexpr int steps = 4096;
    std::vector<unsigned char> encode(steps + 1);
    for (int i = 0; i <= steps; ++i) {
        encode[i] = static_cast<unsigned char>(
            std::lround(colour::toSrgb(static_cast<double>(i) / steps) * 255.0));
    }
    applyRows(base, [&](std::size_t at, const float* rgb) {
        for (int c = 0; c < 3; ++c) {
            const float v = std::clamp(rgb[c], 0.0f, 1.0f);
            out[at * 3 + c] = encode[static_cast<std::size_t>(v * steps + 0.5f)];
        }
    });
}

void GainMapApply::linearBase(const unsigned char* base, int width, int height,
                              colour::Primaries primaries, unsigned char* out) {
    colour::SignalConverter converter({primaries, colour::Transfer::Srgb}, 8);
    const std::size_t rowBytes = static_cast<std::size_t>(width);
    runOnAllCores(height, [&](long y0, long y1) {
        converter.toRgbe(reinterpret_cast<const std::uint8_t*>(base) + y0 * rowBytes * 3, 3,
                         (y1 - y0) * width, out + y0 * rowBytes * 4);
    });
}
