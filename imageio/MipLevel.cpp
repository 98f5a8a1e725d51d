#include "MipLevel.h"

#include "rgbe.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <stdexcept>
#include <thread>
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

// Source rows [y0, y1) of the block that output row y covers, and likewise columns.
struct Span {
    long first;
    long count;
};

Span span(long out, long outSize, long inSize) {
    if (inSize == 1) {
        return {0, 1};
    }
    const long first = 2 * out;
    // The last output texel of an odd side takes the remaining three.
    const long count = out == outSize - 1 ? inSize - first : 2;
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

template <typename Texels> void halveRows(const Picture& in, Picture& out, long y0, long y1) {
    const std::size_t w = static_cast<std::size_t>(in.width);
    for (long y = y0; y < y1; ++y) {
        const Span rows = span(y, out.height, in.height);
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
            const Span columns = span(x, out.width, in.width);
            float sum[3] = {0.0f, 0.0f, 0.0f};
            for (long j = rows.first; j < rows.first + rows.count; ++j) {
                const unsigned char* p =
                    in.pixels.get() + Texels::bytes * (static_cast<std::size_t>(j) * w +
                                                       static_cast<std::size_t>(columns.first));
                for (long i = 0; i < columns.count; ++i, p += Texels::bytes) {
                    Texels::add(p, sum);
                }
            }
            Texels::store(sum, static_cast<float>(rows.count * columns.count),
                          target + Texels::bytes * x);
        }
    }
}

} // namespace

Picture halvePicture(const Picture& level) {
    Picture out;
    out.allocate(std::max(1, level.width / 2), std::max(1, level.height / 2), level.encoding);
    out.scale = level.scale;
    out.fileName = level.fileName;
    out.projectionHint = level.projectionHint;

    void (*rows)(const Picture&, Picture&, long, long) = nullptr;
    switch (level.encoding) {
    case PixelEncoding::Rgbe:
        rows = halveRows<RgbeTexels>;
        break;
    case PixelEncoding::Rgb8:
        rows = halveRows<Rgb8Texels>;
        break;
    default:
        throw std::runtime_error("Mip levels are made of RGBE or 8-bit pictures only");
    }
    // Small levels are not worth a thread. Futures of std::async wait in their destructors,
    // so every worker has finished however this returns.
    const long threads = out.height < 64 ? 1 : std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::future<void>> workers;
    for (long t = 1; t < threads; ++t) {
        workers.push_back(std::async(std::launch::async, rows, std::cref(level), std::ref(out),
                                     out.height * t / threads, out.height * (t + 1) / threads));
    }
    rows(level, out, 0, out.height / threads);
    for (std::future<void>& worker : workers) {
        worker.get();
    }
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
