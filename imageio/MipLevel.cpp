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

void halveRgbeRows(const Picture& in, Picture& out, long y0, long y1) {
    static const ExponentTable table;
    const long w = in.width;
    for (long y = y0; y < y1; ++y) {
        const Span rows = span(y, out.height, in.height);
        unsigned char* target = out.pixels.get() + 4 * static_cast<std::size_t>(y) * out.width;
        for (long x = 0; x < out.width; ++x) {
            const Span columns = span(x, out.width, in.width);
            float sum[3] = {0.0f, 0.0f, 0.0f};
            for (long j = rows.first; j < rows.first + rows.count; ++j) {
                const unsigned char* p =
                    in.pixels.get() + 4 * (static_cast<std::size_t>(j) * w + columns.first);
                for (long i = 0; i < columns.count; ++i, p += 4) {
                    const float f = table.scale[p[3]];
                    sum[0] += p[0] * f;
                    sum[1] += p[1] * f;
                    sum[2] += p[2] * f;
                }
            }
            const float n = static_cast<float>(rows.count * columns.count);
            rgbe::encode(sum[0] / n, sum[1] / n, sum[2] / n, target + 4 * x);
        }
    }
}

void halveRgb8Rows(const Picture& in, Picture& out, long y0, long y1) {
    const long w = in.width;
    for (long y = y0; y < y1; ++y) {
        const Span rows = span(y, out.height, in.height);
        unsigned char* target = out.pixels.get() + 3 * static_cast<std::size_t>(y) * out.width;
        for (long x = 0; x < out.width; ++x) {
            const Span columns = span(x, out.width, in.width);
            unsigned sum[3] = {0, 0, 0};
            for (long j = rows.first; j < rows.first + rows.count; ++j) {
                const unsigned char* p =
                    in.pixels.get() + 3 * (static_cast<std::size_t>(j) * w + columns.first);
                for (long i = 0; i < columns.count; ++i, p += 3) {
                    sum[0] += p[0] * p[0];
                    sum[1] += p[1] * p[1];
                    sum[2] += p[2] * p[2];
                }
            }
            const double n = static_cast<double>(rows.count * columns.count);
            for (int c = 0; c < 3; ++c) {
                target[3 * x + c] = static_cast<unsigned char>(std::lround(std::sqrt(sum[c] / n)));
            }
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
        rows = halveRgbeRows;
        break;
    case PixelEncoding::Rgb8:
        rows = halveRgb8Rows;
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

std::vector<Picture> mipLevels(Picture&& picture, const std::function<void(int level)>& beforeLevel) {
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
