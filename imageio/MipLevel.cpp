#include "MipLevel.h"

#include "AllCores.h"
#include "rgbe.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
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

// The mean of the block of `in` that rows and columns span, stored at target.
template <typename Texels>
void storeBlock(const Picture& in, Span rows, Span columns, unsigned char* target) {
    const std::size_t w = static_cast<std::size_t>(in.width);
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (long j = rows.first; j < rows.first + rows.count; ++j) {
        const unsigned char* p =
            in.pixels.get() +
            Texels::bytes * (static_cast<std::size_t>(j) * w + static_cast<std::size_t>(columns.first));
        for (long i = 0; i < columns.count; ++i, p += Texels::bytes) {
            Texels::add(p, sum);
        }
    }
    Texels::store(sum, static_cast<float>(rows.count * columns.count), target);
}

template <typename Texels> void halveRows(const Picture& in, Picture& out, long y0, long y1) {
    const std::size_t w = static_cast<std::size_t>(in.width);
    for (long y = y0; y < y1; ++y) {
        const Span rows = span(y, out.height, in.height, 2);
        unsigned char* target =
            out.pixels.get() + Texels::bytes * static_cast<std::size_t>(y) * out.width;
        long x = 0;
        if (rows.count == 2 && in.width > 1) {
            // The blocks of two by two, all but the last of a row: no spans to work out.
            const unsigned char* top =
                in.pixels.get() + Texels::bytes * static_cast<std::size_t>(rows.first) * w;
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
void reduceRows(const Picture& in, Picture& out, long factor, long y0, long y1) {
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
    runOnAllCores(out.height, [&level, &out, rgbe](long y0, long y1) {
        rgbe ? halveRows<RgbeTexels>(level, out, y0, y1) : halveRows<Rgb8Texels>(level, out, y0, y1);
    });
    return out;
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
    runOnAllCores(out.height, [&level, &out, rgbe, factor](long y0, long y1) {
        rgbe ? reduceRows<RgbeTexels>(level, out, factor, y0, y1)
             : reduceRows<Rgb8Texels>(level, out, factor, y0, y1);
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
    const int count = mipLevelCount(picture.width, picture.height);
    std::vector<Picture> levels;
    levels.reserve(static_cast<std::size_t>(count));
    levels.push_back(std::move(picture));
    for (int l = 1; l < count; ++l) {
        if (beforeLevel) {
            beforeLevel(l);
        }
        levels.push_back(halvePicture(levels.back()));
    }
    return levels;
}
