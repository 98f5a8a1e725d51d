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
    oneGain = map.channels == 1 && factors[1] == factors[0] && factors[2] == factors[0];
    column0.resize(width);
    column1.resize(width);
    columnWeight.resize(width);
    for (int x = 0; x < width; ++x) {
        samplePosition(x, width, map.width, column0[x], column1[x], columnWeight[x]);
    }
}

template <typename Pixel>
void GainMapApply::applyRows(const unsigned char* rows, long y0, long y1, Pixel pixel) const {
    {
        // Locals, not members: the byte stores of the pixels could alias anything else.
        const int w = width;
        const int h = height;
        const int mapWidth = map.width;
        const int mapHeight = map.height;
        const int channels = map.channels;
        const bool sameSize = mapWidth == w && mapHeight == h;
        const unsigned char* const codes = map.codes.get();
        const float* const table[3] = {factors[0].data(), factors[1].data(), factors[2].data()};
        const float* const linear = srgb.data();
        const int* const first = column0.data();
        const int* const second = column1.data();
        const float* const weights = columnWeight.data();
        const float offsetIn[3] = {baseOffset[0], baseOffset[1], baseOffset[2]};
        const float offsetOut[3] = {alternateOffset[0], alternateOffset[1], alternateOffset[2]};
        const colour::Matrix m = matrix;
        const bool convert = !identity;
        const bool single = oneGain;
        // Channel by channel (planes), so that the arithmetic after the table look-ups runs as
        // vector loops: the map's row of gain factors, then the picture's, then its light.
        const std::size_t mapPlane = static_cast<std::size_t>(mapWidth);
        const std::size_t plane = static_cast<std::size_t>(w);
        std::unique_ptr<float[]> mapRow(new float[mapPlane * 3]);
        std::unique_ptr<float[]> gains(new float[plane * 3]);
        std::unique_ptr<float[]> light(new float[plane * 3]);
        for (long y = y0; y < y1; ++y) {
            int r0 = static_cast<int>(y);
            int r1 = r0;
            float wy = 0.0f;
            if (!sameSize) {
                samplePosition(y, h, mapHeight, r0, r1, wy);
            }
            const unsigned char* codes0 = codes + static_cast<std::size_t>(r0) * mapWidth * channels;
            const unsigned char* codes1 = codes + static_cast<std::size_t>(r1) * mapWidth * channels;
            float* const rowGains = sameSize ? gains.get() : mapRow.get();
            const int planes = single ? 1 : 3;
            for (int c = 0; c < planes; ++c) {
                const float* t = table[c];
                float* out = rowGains + c * mapPlane;
                const int k = channels == 3 ? c : 0;
                for (int i = 0; i < mapWidth; ++i) {
                    const float a = t[codes0[i * channels + k]];
                    out[i] = a + (t[codes1[i * channels + k]] - a) * wy;
                }
            }
            if (!sameSize) {
                for (int c = 0; c < planes; ++c) {
                    const float* row = mapRow.get() + c * mapPlane;
                    float* out = gains.get() + c * plane;
                    for (int x = 0; x < w; ++x) {
                        const float a = row[first[x]];
                        out[x] = a + (row[second[x]] - a) * weights[x];
                    }
                }
            }
            const unsigned char* in = rows + static_cast<std::size_t>(y - y0) * w * 3;
            const float* const g0 = gains.get();
            const float* const g1 = single ? g0 : g0 + plane;
            const float* const g2 = single ? g0 : g0 + 2 * plane;
            float* const l0 = light.get();
            float* const l1 = l0 + plane;
            float* const l2 = l1 + plane;
            for (int x = 0; x < w; ++x) {
                l0[x] = (linear[in[x * 3]] + offsetIn[0]) * g0[x] - offsetOut[0];
                l1[x] = (linear[in[x * 3 + 1]] + offsetIn[1]) * g1[x] - offsetOut[1];
                l2[x] = (linear[in[x * 3 + 2]] + offsetIn[2]) * g2[x] - offsetOut[2];
            }
            float* const r = light.get();
            float* const g = r + plane;
            float* const b = g + plane;
            if (convert) {
                for (int x = 0; x < w; ++x) {
                    const float rx = r[x], gx = g[x], bx = b[x];
                    r[x] = m[0] * rx + m[1] * gx + m[2] * bx;
                    g[x] = m[3] * rx + m[4] * gx + m[5] * bx;
                    b[x] = m[6] * rx + m[7] * gx + m[8] * bx;
                }
            }
            pixel(static_cast<std::size_t>(y) * w, r, g, b, w);
        }
    }
}

namespace {

void encodeRow(const float* __restrict r, const float* __restrict g, const float* __restrict b,
               unsigned char* __restrict out, int count, float black) {
    for (int x = 0; x < count; ++x) {
        rgbe::encodeFast(std::max(r[x], 0.0f), std::max(g[x], 0.0f), std::max(b[x], 0.0f),
                         out + 4 * x, black);
    }
}

} // namespace

void GainMapApply::rgbeRows(const unsigned char* rows, unsigned char* out, long y0,
                            long y1) const {
    const float black = rgbe::blackThreshold();
    applyRows(rows, y0, y1,
              [out, black](std::size_t at, const float* r, const float* g, const float* b,
                           int count) { encodeRow(r, g, b, out + at * 4, count, black); });
}

void GainMapApply::toRgbe(const unsigned char* base, unsigned char* out) const {
    runOnAllCores(height, [&](long y0, long y1) {
        rgbeRows(base + static_cast<std::size_t>(y0) * width * 3, out, y0, y1);
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
    runOnAllCores(height, [&](long y0, long y1) {
        applyRows(base + static_cast<std::size_t>(y0) * width * 3, y0, y1, [&](std::size_t at, const float* r, const float* g,
                                    const float* b, int count) {
            const float* planes[3] = {r, g, b};
            for (int x = 0; x < count; ++x) {
                for (int c = 0; c < 3; ++c) {
                    const float v = std::clamp(planes[c][x], 0.0f, 1.0f);
                    out[(at + x) * 3 + c] = encode[static_cast<std::size_t>(v * steps + 0.5f)];
                }
            }
        });
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
