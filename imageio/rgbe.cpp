#include "rgbe.h"

#include "CFile.h"
#include "Diagnostics.h"
#include "RgbeInput.h"
#include "RgbeScanlines.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <fmt/printf.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rgbe {

namespace {

const char* const magicLine = "#?RADIANCE";
const char* const flatMarker = "# Created by Marovex Stitcher";
const char* const formatLine = "FORMAT=32-bit_rle_rgbe";

// Each side fits an int; numbers in a header saturate just above that.
const long long maxSide = std::numeric_limits<int>::max();

std::runtime_error writeError(const std::string& path) {
    return std::runtime_error(
        fmt::sprintf("Failed to write file '%s': %s", path, std::strerror(errno)));
}

std::runtime_error sizeError(const std::string& path, const std::string& line) {
    return std::runtime_error(fmt::sprintf("Invalid size of RADIANCE file '%s': '%s'", path, line));
}

// Pictures of 2 GiB and more are fine; what memory cannot hold fails at allocation.
bool validSize(long long width, long long height) {
    return width > 0 && height > 0 && width <= maxSide && height <= maxSide;
}

// Digits from line[i] on, saturated above the int range; false when there is none.
bool parseNumber(const std::string& line, size_t& i, long long& value) {
    const size_t first = i;
    value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = std::min(value * 10 + (line[i] - '0'), maxSide + 1);
    }
    return i > first;
}

// One EXPOSURE= value; a malformed, non-finite or non-positive one counts as 1, as if the line
// were not there, so that a damaged header cannot make luminance infinite or negative.
double exposureFactor(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\r')) {
        ++end;
    }
    if (end == begin || end == nullptr || *end != '\0' || !std::isfinite(value) || !(value > 0.0)) {
        return 1.0;
    }
    return value;
}

// Whole-line match of "^-Y (\d+) \+X (\d+).*" in the ECMAScript grammar, whose "." takes
// no carriage return. Written by hand: std::regex recurses per character of a long line.
bool parseSize(const std::string& line, long long& height, long long& width) {
    if (line.compare(0, 3, "-Y ") != 0) {
        return false;
    }
    size_t i = 3;
    if (!parseNumber(line, i, height) || line.compare(i, 4, " +X ") != 0) {
        return false;
    }
    i += 4;
    return parseNumber(line, i, width) && line.find('\r', i) == std::string::npos;
}

// Bytes left in a regular file from the current position; -1 when unknown (a pipe).
long long bytesLeft(FILE* file) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    const long position = std::ftell(file);
    return position < 0 ? -1 : std::max(0LL, static_cast<long long>(st.st_size) - position);
}

// First i >= from with data[i..i+3] equal, or n. Starting a run there is what the packet
// search comes to: it walks over runs shorter than 4 until it meets a longer one.
size_t findRun(const unsigned char* data, size_t from, size_t n) {
    size_t i = from;
#ifdef __SSE2__
    for (; i + 19 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 2));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 3));
        const __m128i equal = _mm_and_si128(
            _mm_and_si128(_mm_cmpeq_epi8(a, b), _mm_cmpeq_epi8(b, c)), _mm_cmpeq_epi8(c, d));
        const int mask = _mm_movemask_epi8(equal);
        if (mask != 0) {
            return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
    }
#endif
    for (; i + 3 < n; ++i) {
        if (data[i] == data[i + 1] && data[i] == data[i + 2] && data[i] == data[i + 3]) {
            return i;
        }
    }
    return n;
}

// One component stream as packets: each run of 4 or more as a run of at most 127, the bytes
// before it as literals of at most 128, except that 2 or 3 equal bytes there make a run.
unsigned char* encodeStream(const unsigned char* data, size_t n, unsigned char* out) {
    size_t cur = 0;
    while (cur < n) {
        const size_t begin = findRun(data, cur, n);
        const size_t gap = begin - cur;
        if ((gap == 2 || gap == 3) && data[cur] == data[cur + 1] && data[cur] == data[begin - 1]) {
            *out++ = static_cast<unsigned char>(128 + gap);
            *out++ = data[cur];
            cur = begin;
        }
        while (cur < begin) {
            const size_t count = std::min<size_t>(begin - cur, 128);
            *out++ = static_cast<unsigned char>(count);
            std::memcpy(out, data + cur, count);
            out += count;
            cur += count;
        }
        if (begin < n) {
            size_t run = 4;
            while (begin + run < n && run < 127 && data[begin + run] == data[begin]) {
                ++run;
            }
            *out++ = static_cast<unsigned char>(128 + run);
            *out++ = data[begin];
            cur += run;
        }
    }
    return out;
}

// RGBE quadruples into planes R, G, B, E of width bytes each.
void deinterleave(const unsigned char* row, size_t width, unsigned char* planes) {
    unsigned char* r = planes;
    unsigned char* g = r + width;
    unsigned char* b = g + width;
    unsigned char* e = b + width;
    size_t x = 0;
#ifdef __SSE2__
    for (; x + 16 <= width; x += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(row + 4 * x);
        const __m128i a0 = _mm_loadu_si128(in);
        const __m128i a1 = _mm_loadu_si128(in + 1);
        const __m128i a2 = _mm_loadu_si128(in + 2);
        const __m128i a3 = _mm_loadu_si128(in + 3);
        // Three rounds of byte unpacking sort 8 pixels' bytes by component.
        const __m128i t0 = _mm_unpacklo_epi8(a0, a1);
        const __m128i t1 = _mm_unpackhi_epi8(a0, a1);
        const __m128i t2 = _mm_unpacklo_epi8(a2, a3);
        const __m128i t3 = _mm_unpackhi_epi8(a2, a3);
        const __m128i u0 = _mm_unpacklo_epi8(t0, t1);
        const __m128i u1 = _mm_unpackhi_epi8(t0, t1);
        const __m128i u2 = _mm_unpacklo_epi8(t2, t3);
        const __m128i u3 = _mm_unpackhi_epi8(t2, t3);
        const __m128i rg0 = _mm_unpacklo_epi8(u0, u1);
        const __m128i be0 = _mm_unpackhi_epi8(u0, u1);
        const __m128i rg1 = _mm_unpacklo_epi8(u2, u3);
        const __m128i be1 = _mm_unpackhi_epi8(u2, u3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + x), _mm_unpacklo_epi64(rg0, rg1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), _mm_unpackhi_epi64(rg0, rg1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + x), _mm_unpacklo_epi64(be0, be1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(e + x), _mm_unpackhi_epi64(be0, be1));
    }
#endif
    for (; x < width; ++x) {
        r[x] = row[4 * x];
        g[x] = row[4 * x + 1];
        b[x] = row[4 * x + 2];
        e[x] = row[4 * x + 3];
    }
}

void put(FILE* file, const std::string& path, const void* bytes, size_t size) {
    if (std::fwrite(bytes, 1, size, file) != size) {
        throw writeError(path);
    }
}

} // namespace

namespace {

// The header, then the pixels into the buffer that allocate(width, height, bytes) gives.
template <class Allocate>
void readPixels(const std::string& path, const ReadOptions& options, int& width, int& height,
                double& exposure, Allocate allocate) {
    File file = openInput(path);
    FILE* f = file.get();

    HeaderLines lines(f, path);
    std::string line;
    if (!lines.next(line) || lines.cut() || boost::algorithm::trim_copy(line) != magicLine) {
        throw std::runtime_error(fmt::sprintf("Not a RADIANCE file: '%s' (%s)", path, shown(line)));
    }

    bool flat = false;
    bool format = false;
    while (lines.next(line) && !line.empty()) {
        if (lines.cut()) {
            throw std::runtime_error(
                fmt::sprintf("Not a RADIANCE file: '%s' (header longer than 64 KiB)", path));
        }
        if (boost::algorithm::starts_with(line, flatMarker)) {
            flat = true;
        }
        if (line[0] == '#') {
            continue;
        }
        if (boost::algorithm::istarts_with(line, "FORMAT")) {
            if (line != formatLine) {
                throw std::runtime_error(
                    fmt::sprintf("Invalid format of RADIANCE file '%s': '%s'", path, line));
            }
            format = true;
        }
        if (boost::algorithm::starts_with(line, "EXPOSURE=")) {
            exposure *= exposureFactor(line.substr(9));
        }
    }

    long long h = 0;
    long long w = 0;
    if (!lines.next(line) || lines.cut() || !parseSize(line, h, w) || !validSize(w, h)) {
        throw sizeError(path, shown(line));
    }
    if (options.limit != nullptr) {
        options.limit->check(w, h, path);
    }
    checkMemoryBudget(w, h, PixelEncoding::Rgbe, path);
    const size_t bytes = static_cast<size_t>(4 * w * h);
    const long long left = bytesLeft(f);
    // As the classic readers do, the first scanline decides: without the run-length marker
    // the whole file is flat. A regular file is read again from there; a pipe's lead bytes
    // are handed on.
    bool runLength = format && !flat && w >= 8 && w <= 32767;
    unsigned char lead[4];
    size_t leadSize = 0;
    if (runLength) {
        leadSize = readData(f, lead, sizeof lead, path);
        runLength = leadSize < sizeof lead || startsRunLength(lead);
        if (left >= 0) {
            if (std::fseek(f, -static_cast<long>(leadSize), SEEK_CUR) != 0) {
                throw readError(path);
            }
            leadSize = 0;
        }
    }

    // Refuse a file too short for its pixels before allocating them: flat data needs every
    // byte, a run-length line at least a header and runs of 127.
    const long long minLine = runLength ? 4 + 8 * ((w + 126) / 127) : 0;
    if (left >= 0 && !runLength && left < static_cast<long long>(bytes)) {
        throw readError(path);
    }
    if (left >= 0 && runLength && left < minLine * h) {
        throw truncatedError(path, static_cast<int>(left / minLine));
    }

    if (options.size != nullptr && *options.size) {
        (*options.size)(static_cast<int>(w), static_cast<int>(h));
    }
    unsigned char* pixels = nullptr;
    try {
        pixels = allocate(static_cast<int>(w), static_cast<int>(h), bytes);
    } catch (const std::bad_alloc&) {
        throw sizeError(path, line);
    }

    Tally tally;
    TallyTarget target;
    if (options.counts != nullptr) {
        target.tally = &tally;
        target.sampling = samplingOf(static_cast<unsigned long>(w * h), options.statsStride);
    }
    const RowCallback* callback = options.callback;
    if (runLength) {
        PixelBuffer rest;
        size_t size = 0;
        if (readRest(f, path, rest, size)) {
            BandTarget bands;
            bands.callback = options.bands;
            bands.rows = static_cast<std::size_t>(std::max(1, options.bandRows));
            readRunLengthMemory(rest.get(), size, path, static_cast<int>(w), static_cast<int>(h),
                                pixels, callback, options.threads, target, bands);
        } else {
            readRunLengthStream(f, path, static_cast<int>(w), static_cast<int>(h), pixels, callback,
                                target, lead, leadSize);
        }
    } else {
        std::memcpy(pixels, lead, leadSize);
        if (readData(f, pixels + leadSize, bytes - leadSize, path) != bytes - leadSize) {
            throw readError(path);
        }
        if (target.tally != nullptr) {
            tally.add(pixels + 3, 4, static_cast<size_t>(w * h), 0, target.sampling);
        }
        if (callback && *callback) {
            for (int y = 0; y < h; ++y) {
                (*callback)(y);
            }
        }
    }
    if (options.counts != nullptr) {
        *options.counts = tally.total();
    }
    width = static_cast<int>(w);
    height = static_cast<int>(h);
}

} // namespace

unsigned char* read(const std::string& path, int& width, int& height, const RowCallback* callback,
                    const SizeLimit* limit) {
    ReadOptions options;
    options.callback = callback;
    options.limit = limit;
    std::unique_ptr<unsigned char[]> pixels;
    double exposure = 1.0;
    readPixels(path, options, width, height, exposure, [&](int, int, size_t bytes) {
        pixels.reset(new unsigned char[bytes]);
        // delete[] rules out an aligned allocation; the pages inside it can still be huge.
        adviseHugePages(pixels.get(), bytes);
        return pixels.get();
    });
    return pixels.release();
}

Picture readPicture(const std::string& path, const ReadOptions& options) {
    Picture picture;
    int width = 0;
    int height = 0;
    readPixels(path, options, width, height, picture.exposure, [&](int w, int h, size_t) {
        picture.allocate(w, h, PixelEncoding::Rgbe);
        return picture.pixels.get();
    });
    return picture;
}

void write(const std::string& path, int width, int height, const unsigned char* pixels, bool rle) {
    const std::string sizeLine = fmt::sprintf("-Y %d +X %d", height, width);
    if (!validSize(width, height)) {
        throw sizeError(path, sizeLine);
    }
    File file = openFile(path, "wb");
    FILE* f = file.get();

    const bool runLength = rle && width >= 8 && width <= 32767;
    std::string header = std::string(magicLine) + "\n";
    if (!runLength) {
        header += std::string(flatMarker) + "\n";
    }
    header += std::string(formatLine) + "\n\n" + sizeLine + "\n";
    put(f, path, header.data(), header.size());

    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    stats(pixels, w * h, 1);

    if (!runLength) {
        put(f, path, pixels, 4 * w * h);
    } else {
        std::vector<unsigned char> planes(4 * w);
        std::vector<unsigned char> buffer((5 * w + 4) * 16);
        unsigned char* out = buffer.data();
        for (size_t y = 0; y < h; ++y) {
            deinterleave(pixels + 4 * w * y, w, planes.data());
            *out++ = 2;
            *out++ = 2;
            *out++ = static_cast<unsigned char>(w >> 8);
            *out++ = static_cast<unsigned char>(w & 0xff);
            for (size_t k = 0; k < 4; ++k) {
                out = encodeStream(planes.data() + k * w, w, out);
            }
            if (y % 16 == 15 || y + 1 == h) {
                put(f, path, buffer.data(), static_cast<size_t>(out - buffer.data()));
                out = buffer.data();
            }
        }
    }
    closeWritten(std::move(file), path);
}

Stats stats(const unsigned char* pixels, unsigned long count, unsigned long stride) {
    Tally tally;
    tally.add(pixels + 3, 4, count, 0, samplingOf(count, stride));
    return stats(tally.total());
}

Stats stats(const ExponentCounts& counts) {
    // Counting each exponent byte gives the same sums, minimum and maximum as adding per pixel.
    Stats result{0.0, 128, -127, 0};
    std::uint64_t samples = 0;
    std::int64_t sum = 0;
    for (int E = 1; E < 256; ++E) {
        const std::uint64_t n = counts[static_cast<size_t>(E)];
        if (n == 0) {
            continue;
        }
        const int exponent = E - 128;
        samples += n;
        sum += static_cast<std::int64_t>(n) * exponent;
        result.min = std::min(result.min, exponent);
        result.max = std::max(result.max, exponent);
    }
    result.mean = samples > 0 ? static_cast<double>(sum) / static_cast<double>(samples)
                              : std::numeric_limits<double>::quiet_NaN();
    result.range = result.max - result.min;
    std::ostringstream line;
    line << "M: " << result.max << ", m: " << result.min << " -> " << result.range
         << " f-stops, mean: " << result.mean;
    diagnostic(line.str());
    return result;
}

ExposureScale exposureScale(const Stats& stats) {
    const bool lit = !std::isnan(stats.mean);
    ExposureScale scale;
    scale.mean = std::pow(2.0, lit ? stats.mean : 0.0);
    scale.min = std::pow(2.0, lit ? static_cast<double>(stats.min) : 0.0);
    scale.max = std::pow(2.0, lit ? static_cast<double>(stats.max) : 0.0);
    return scale;
}

void encode(double r, double g, double b, unsigned char out[4]) {
    // Negative and NaN components carry no light.
    r = r > 0.0 ? r : 0.0;
    g = g > 0.0 ? g : 0.0;
    b = b > 0.0 ? b : 0.0;
    const double m = std::max(r, std::max(g, b));
    if (!(m >= 1e-32)) {
        std::memset(out, 0, 4);
        return;
    }
    // frexp's exponent from the double's own bits (m is normal here), and 2^(8 - e) made the
    // same way: frexp and ldexp cost more than the rest of a pixel. Beyond the largest
    // exponent, infinity included, the value saturates rather than wrapping to black.
    std::uint64_t bits;
    std::memcpy(&bits, &m, sizeof bits);
    const int e = std::min(static_cast<int>(bits >> 52 & 0x7ff) - 1022, 127);
    const std::uint64_t scaleBits = static_cast<std::uint64_t>(1023 + 8 - e) << 52;
    double scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    const double c[3] = {r, g, b};
    for (int k = 0; k < 3; ++k) {
        out[k] = static_cast<unsigned char>(std::min(255.0, std::max(0.0, c[k] * scale)));
    }
    out[3] = static_cast<unsigned char>(e + 128);
}

void decode(const unsigned char in[4], double& r, double& g, double& b) {
    if (in[3] == 0) {
        r = g = b = 0.0;
        return;
    }
    const double f = std::ldexp(1.0, in[3] - 136);
    r = in[0] * f;
    g = in[1] * f;
    b = in[2] * f;
}

Image::Image(Image&& other) noexcept
    : region(std::move(other.region)), width(other.width), height(other.height), data(other.data) {
    other.width = 0;
    other.height = 0;
    other.data = nullptr;
}

Image& Image::operator=(Image&& other) noexcept {
    region.swap(other.region);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(data, other.data);
    return *this;
}

Image::~Image() {
    if (region.get_size() == 0) {
        delete[] data;
    }
}

} // namespace rgbe
