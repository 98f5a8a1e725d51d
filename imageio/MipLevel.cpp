#include "MipLevel.h"

#include "AllCores.h"
#include "RgbeEncode.h"
#include "rgbe.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace {

// Radiance of one RGBE byte pair (mantissa, exponent), by table: a multiply per component.
struct ExponentTable {
    std::array<float, 256> scale{};
    ExponentTable() {
        for (int e = 1; e < 256; ++e) {
            scale[e] = static_cast<float>(std::ldexp(1.0, e - 136));
        }
    }
};

// 2^(e - 136), the scale of exponent byte e, from bits alone (normal from e = 10, subnormal
// below, 0 for e = 0): the table's values without its loads, so that halveRgbeRow's loop is a
// vector loop.
inline float exponentScale(std::uint32_t e) {
    const std::uint32_t normal = (e - 9u) << 23;
    const std::uint32_t subnormal = e == 0 ? 0u : 1u << ((e + 13u) & 31u);
    const std::uint32_t bits = e >= 10 ? normal : subnormal;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return scale;
}

// The 2 x 2 blocks of RGBE rows `top` and `bottom`, `count` of them, to `out`: the most
// pixels a pyramid makes, so a vector loop where the processor has one (the sums in the same
// order as storeBlock's, products exact, so every build gives the same bytes).
__attribute__((target_clones("avx2", "default"))) void
halveRgbeRow(const unsigned char* top, const unsigned char* bottom, unsigned char* out,
             long count) {
    for (long x = 0; x < count; ++x) {
        const unsigned char* p = top + 8 * x;
        const unsigned char* q = bottom + 8 * x;
        const float a = exponentScale(p[3]);
        const float b = exponentScale(p[7]);
        const float c = exponentScale(q[3]);
        const float d = exponentScale(q[7]);
        const auto sum = [p, q, a, b, c, d](int k) {
            float s = 0.0f;
            s += static_cast<float>(p[k]) * a;
            s += static_cast<float>(p[4 + k]) * b;
            s += static_cast<float>(q[k]) * c;
            s += static_cast<float>(q[4 + k]) * d;
            return s / 4.0f;
        };
        rgbe::encodeFast(sum(0), sum(1), sum(2), out + 4 * x);
    }
}

// The source rows of the block that output row `out` covers, and likewise columns.
struct Span {
    long first;
    long count;
};

Span span(long out, long outSize, long inSize, long factor) {
    if (inSize < factor) {
        return {0, inSize};
    }
    const long first = factor * out;
    // The last output texel takes the rows left over (three of an odd side when halving).
    const long count = out == outSize - 1 ? inSize - first : factor;
    return {first, count};
}

// What a texel adds to a sum and how a mean is stored, per encoding.
struct RgbeTexels {
    static constexpr std::size_t bytes = 4;
    static void add(const unsigned char* p, float sum[3]) {
        static const ExponentTable table;
        const float f = table.scale[p[3]];
        sum[0] += p[0] * f;
        sum[1] += p[1] * f;
        sum[2] += p[2] * f;
    }
    static void store(const float sum[3], float n, unsigned char* target) {
        rgbe::encode(sum[0] / n, sum[1] / n, sum[2] / n, target);
    }
};

// Squares, so that the mean is close to one of linear light.
struct Rgb8Texels {
    static constexpr std::size_t bytes = 3;
    static void add(const unsigned char* p, float sum[3]) {
        for (int c = 0; c < 3; ++c) {
            sum[c] += static_cast<float>(p[c] * p[c]);
        }
    }
    static void store(const float sum[3], float n, unsigned char* target) {
        for (int c = 0; c < 3; ++c) {
            target[c] = static_cast<unsigned char>(std::lround(std::sqrt(sum[c] / n)));
        }
    }
};

// The pixels a level is made from: a picture's, or those of one still being decoded.
struct Plane {
    const unsigned char* pixels;
    long width;
    long height;
};

Plane planeOf(const Picture& picture) {
    return {picture.pixels.get(), picture.width, picture.height};
}

// The mean of the block of `in` that rows and columns span, stored at target.
template <typename Texels>
void storeBlock(const Plane& in, Span rows, Span columns, unsigned char* target) {
    const std::size_t w = static_cast<std::size_t>(in.width);
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (long j = rows.first; j < rows.first + rows.count; ++j) {
        const unsigned char* p =
            in.pixels +
            Texels::bytes * (static_cast<std::size_t>(j) * w + static_cast<std::size_t>(columns.first));
        for (long i = 0; i < columns.count; ++i, p += Texels::bytes) {
            Texels::add(p, sum);
        }
    }
    Texels::store(sum, static_cast<float>(rows.count * columns.count), target);
}

template <typename Texels> void halveRows(const Plane& in, Picture& out, long y0, long y1) {
    const std::size_t w = static_cast<std::size_t>(in.width);
    for (long y = y0; y < y1; ++y) {
        const Span rows = span(y, out.height, in.height, 2);
        unsigned char* target =
            out.pixels.get() + Texels::bytes * static_cast<std::size_t>(y) * out.width;
        long x = 0;
        if constexpr (std::is_same_v<Texels, RgbeTexels>) {
            if (rows.count == 2 && in.width > 1) {
                const unsigned char* top =
                    in.pixels + 4 * static_cast<std::size_t>(rows.first) * w;
                halveRgbeRow(top, top + 4 * w, target, out.width - 1);
                x = out.width - 1;
            }
        } else if (rows.count == 2 && in.width > 1) {
            // The blocks of two by two, all but the last of a row: no spans to work out.
            const unsigned char* top =
                in.pixels + Texels::bytes * static_cast<std::size_t>(rows.first) * w;
            const unsigned char* bottom = top + Texels::bytes * w;
            for (; x < out.width - 1; ++x, top += 2 * Texels::bytes, bottom += 2 * Texels::bytes) {
                float sum[3] = {0.0f, 0.0f, 0.0f};
                Texels::add(top, sum);
                Texels::add(top + Texels::bytes, sum);
                Texels::add(bottom, sum);
                Texels::add(bottom + Texels::bytes, sum);
                Texels::store(sum, 4.0f, target + Texels::bytes * x);
            }
        }
        for (; x < out.width; ++x) {
            storeBlock<Texels>(in, rows, span(x, out.width, in.width, 2),
                               target + Texels::bytes * x);
        }
    }
}

// Output rows [y0, y1) of `in` reduced by `factor` in both directions.
template <typename Texels>
void reduceRows(const Plane& in, Picture& out, long factor, long y0, long y1) {
    for (long y = y0; y < y1; ++y) {
        const Span rows = span(y, out.height, in.height, factor);
        unsigned char* target =
            out.pixels.get() + Texels::bytes * static_cast<std::size_t>(y) * out.width;
        for (long x = 0; x < out.width; ++x) {
            storeBlock<Texels>(in, rows, span(x, out.width, in.width, factor),
                               target + Texels::bytes * x);
        }
    }
}

Picture sameKind(const Picture& level, int width, int height) {
    if (level.encoding != PixelEncoding::Rgbe && level.encoding != PixelEncoding::Rgb8) {
        throw std::runtime_error("Mip levels are made of RGBE or 8-bit pictures only");
    }
    Picture out;
    out.allocate(width, height, level.encoding);
    out.scale = level.scale;
    out.fileName = level.fileName;
    out.projectionHint = level.projectionHint;
    return out;
}

} // namespace

Picture halvePicture(const Picture& level) {
    Picture out = sameKind(level, std::max(1, level.width / 2), std::max(1, level.height / 2));
    const bool rgbe = level.encoding == PixelEncoding::Rgbe;
    const Plane in = planeOf(level);
    runOnAllCores(out.height, [&in, &out, rgbe](long y0, long y1) {
        rgbe ? halveRows<RgbeTexels>(in, out, y0, y1) : halveRows<Rgb8Texels>(in, out, y0, y1);
    });
    return out;
}

HalvingInBands::HalvingInBands(int width, int height, PixelEncoding encoding)
    : width(width), height(height) {
    Picture shape;
    shape.encoding = encoding;
    level = sameKind(shape, std::max(1, width / 2), std::max(1, height / 2));
    made.assign(static_cast<std::size_t>(level.height), 0);
}

void HalvingInBands::halveRow(const unsigned char* pixels, long y) {
    const Plane in{pixels, width, height};
    level.encoding == PixelEncoding::Rgbe ? halveRows<RgbeTexels>(in, level, y, y + 1)
                                          : halveRows<Rgb8Texels>(in, level, y, y + 1);
    made[static_cast<std::size_t>(y)] = 1;
}

void HalvingInBands::band(const unsigned char* pixels, int first, int count) {
    // The rows of the level whose source rows all lie in the band.
    for (long y = (first + 1) / 2; y < level.height; ++y) {
        const Span rows = span(y, level.height, height, 2);
        if (rows.first + rows.count > static_cast<long>(first) + count) {
            break;
        }
        if (rows.first >= first) {
            halveRow(pixels, y);
        }
    }
}

Picture HalvingInBands::finish(const Picture& level0) {
    if (level0.width != width || level0.height != height || level0.encoding != level.encoding) {
        throw std::runtime_error("The picture is not the one being halved");
    }
    // All of them where the picture came in no bands (a pipe, flat rows).
    runOnAllCores(level.height, [this, &level0](long y0, long y1) {
        for (long y = y0; y < y1; ++y) {
            if (made[static_cast<std::size_t>(y)] == 0) {
                halveRow(level0.pixels.get(), y);
            }
        }
    });
    level.scale = level0.scale;
    level.fileName = level0.fileName;
    level.projectionHint = level0.projectionHint;
    return std::move(level);
}

int reductionFactor(long width, long height, long side) {
    int factor = 1;
    while ((width > side * factor || height > side * factor) && factor < (1 << 30)) {
        factor *= 2;
    }
    return factor;
}

Picture reducePicture(const Picture& level, int factor) {
    if (factor < 1) {
        throw std::runtime_error("A picture is reduced by a factor of 1 or more");
    }
    Picture out = sameKind(level, std::max(1, level.width / factor),
                           std::max(1, level.height / factor));
    const bool rgbe = level.encoding == PixelEncoding::Rgbe;
    const Plane in = planeOf(level);
    runOnAllCores(out.height, [&in, &out, rgbe, factor](long y0, long y1) {
        rgbe ? reduceRows<RgbeTexels>(in, out, factor, y0, y1)
             : reduceRows<Rgb8Texels>(in, out, factor, y0, y1);
    });
    return out;
}

int mipLevelCount(long width, long height) {
    int levels = 1;
    while (width > 1 || height > 1) {
        width = std::max(1L, width / 2);
        height = std::max(1L, height / 2);
        ++levels;
    }
    return levels;
}

std::vector<Picture> mipLevels(Picture&& picture,
                               const std::function<void(int level)>& beforeLevel) {
    std::vector<Picture> levels;
    levels.push_back(std::move(picture));
    return mipLevels(std::move(levels), beforeLevel);
}

std::vector<Picture> mipLevels(std::vector<Picture>&& top,
                               const std::function<void(int level)>& beforeLevel) {
    if (top.empty()) {
        throw std::runtime_error("A pyramid needs its level 0");
    }
    const int count = mipLevelCount(top.front().width, top.front().height);
    std::vector<Picture> levels = std::move(top);
    levels.reserve(static_cast<std::size_t>(count));
    for (int l = static_cast<int>(levels.size()); l < count; ++l) {
        if (beforeLevel) {
            beforeLevel(l);
        }
        levels.push_back(halvePicture(levels.back()));
    }
    return levels;
}
