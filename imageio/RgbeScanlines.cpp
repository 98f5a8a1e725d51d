#include "RgbeScanlines.h"

#include "RgbeInput.h"

#include <fmt/printf.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rgbe {

std::runtime_error readError(const std::string& path) {
    return std::runtime_error(fmt::sprintf("Failed to read file '%s'", path));
}

std::runtime_error truncatedError(const std::string& path, int row) {
    return std::runtime_error(
        fmt::sprintf("Truncated RADIANCE file '%s': line %d is incomplete", path, row));
}

namespace {

std::runtime_error scanlineError(const std::string& path, int row) {
    return std::runtime_error(
        fmt::sprintf("Bad scanline data in line %d in RADIANCE file '%s'", row, path));
}

enum class Packets { ok, bad, truncated };

// Decodes one component stream into [dst, dstEnd). The caller guarantees 2 bytes of input
// per missing pixel plus 16, and 15 writable bytes after dstEnd, so copies go by 16 bytes.
inline Packets decodeFast(const unsigned char*& src, unsigned char* dst,
                          unsigned char* const dstEnd) {
    const unsigned char* s = src;
    while (dst < dstEnd) {
        size_t count = *s++;
        if (count > 128) {
            count -= 128;
            if (count > static_cast<size_t>(dstEnd - dst)) {
                return Packets::bad;
            }
            unsigned char pattern[16];
            std::memset(pattern, *s++, sizeof pattern);
            for (size_t i = 0; i < count; i += 16) {
                std::memcpy(dst + i, pattern, 16);
            }
        } else {
            if (count == 0 || count > static_cast<size_t>(dstEnd - dst)) {
                return Packets::bad;
            }
            for (size_t i = 0; i < count; i += 16) {
                std::memcpy(dst + i, s + i, 16);
            }
            s += count;
        }
        dst += count;
    }
    src = s;
    return Packets::ok;
}

// The same for the last bytes of a file: every byte is checked against end.
Packets decodeChecked(const unsigned char*& src, const unsigned char* const end, unsigned char* dst,
                      unsigned char* const dstEnd) {
    const unsigned char* s = src;
    while (dst < dstEnd) {
        if (s == end) {
            return Packets::truncated;
        }
        size_t count = *s++;
        const bool run = count > 128;
        if (run) {
            count -= 128;
        }
        if (count == 0 || count > static_cast<size_t>(dstEnd - dst)) {
            return Packets::bad;
        }
        const size_t needed = run ? 1 : count;
        if (static_cast<size_t>(end - s) < needed) {
            return Packets::truncated;
        }
        if (run) {
            std::memset(dst, *s, count);
        } else {
            std::memcpy(dst, s, count);
        }
        s += needed;
        dst += count;
    }
    src = s;
    return Packets::ok;
}

// Planes R, G, B, E of width bytes each, one after another, into RGBE quadruples.
void interleave(const unsigned char* planes, size_t width, unsigned char* out) {
    const unsigned char* r = planes;
    const unsigned char* g = r + width;
    const unsigned char* b = g + width;
    const unsigned char* e = b + width;
    size_t x = 0;
#ifdef __SSE2__
    for (; x + 16 <= width; x += 16) {
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        const __m128i ve = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e + x));
        const __m128i rg0 = _mm_unpacklo_epi8(vr, vg);
        const __m128i rg1 = _mm_unpackhi_epi8(vr, vg);
        const __m128i be0 = _mm_unpacklo_epi8(vb, ve);
        const __m128i be1 = _mm_unpackhi_epi8(vb, ve);
        __m128i* o = reinterpret_cast<__m128i*>(out + 4 * x);
        _mm_storeu_si128(o, _mm_unpacklo_epi16(rg0, be0));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(rg0, be0));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(rg1, be1));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(rg1, be1));
    }
#endif
    for (; x < width; ++x) {
        out[4 * x] = r[x];
        out[4 * x + 1] = g[x];
        out[4 * x + 2] = b[x];
        out[4 * x + 3] = e[x];
    }
}

// A scanline's 4-byte header at src, limit being the end of the bytes at hand.
void checkLineHeader(const unsigned char* src, const unsigned char* limit, int width,
                     const std::string& path, int row) {
    if (limit - src < 4) {
        throw truncatedError(path, row);
    }
    if (src[0] != 2 || src[1] != 2 || (src[2] << 8 | src[3]) != width) {
        throw std::runtime_error(
            fmt::sprintf("Failed to parse rle line header %d of RADIANCE file '%s': %d %d %d %d",
                         row, path, src[0], src[1], src[2], src[3]));
    }
}

// The four component streams of a row from src on into planes of 4 * width + 16 bytes; src
// moves past them. A scanline of one-pixel packets takes 2 bytes a pixel; with 16 more at
// hand for the over-reads, the unchecked decoder is safe.
void decodeStreams(const unsigned char*& src, const unsigned char* limit, std::size_t width,
                   unsigned char* planes, const std::string& path, int row) {
    const bool fast = static_cast<std::size_t>(limit - src) >= 8 * width + 16;
    for (std::size_t k = 0; k < 4; ++k) {
        unsigned char* dst = planes + k * width;
        const Packets result =
            fast ? decodeFast(src, dst, dst + width) : decodeChecked(src, limit, dst, dst + width);
        if (result == Packets::bad) {
            throw scanlineError(path, row);
        }
        if (result == Packets::truncated) {
            throw truncatedError(path, row);
        }
    }
}

// Where each row starts, and where the last one ends, found from the packet counts alone;
// checks everything decodeStreams checks, in the same order, so its errors come from here.
std::vector<std::size_t> findRows(const unsigned char* data, std::size_t size, int width,
                                  int height, const std::string& path) {
    std::vector<std::size_t> starts(static_cast<std::size_t>(height) + 1);
    const std::size_t w = static_cast<std::size_t>(width);
    std::size_t at = 0;
    for (int y = 0; y < height; ++y) {
        starts[static_cast<std::size_t>(y)] = at;
        checkLineHeader(data + at, data + size, width, path, y);
        at += 4;
        for (int k = 0; k < 4; ++k) {
            std::size_t left = w;
            while (left > 0) {
                if (at == size) {
                    throw truncatedError(path, y);
                }
                std::size_t count = data[at++];
                const bool run = count > 128;
                if (run) {
                    count -= 128;
                }
                if (count == 0 || count > left) {
                    throw scanlineError(path, y);
                }
                const std::size_t needed = run ? 1 : count;
                if (size - at < needed) {
                    throw truncatedError(path, y);
                }
                at += needed;
                left -= count;
            }
        }
    }
    starts[static_cast<std::size_t>(height)] = at;
    return starts;
}

// Sets the flag when it leaves scope, so that helpers stop before they are joined.
class StopOnExit {
public:
    explicit StopOnExit(std::atomic<bool>& stop) : stop(stop) {}
    ~StopOnExit() { stop.store(true); }
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;

private:
    std::atomic<bool>& stop;
};

} // namespace

Sampling samplingOf(unsigned long count, unsigned long stride) {
    Sampling sampling;
    sampling.count = count;
    sampling.step = stride != 0 ? stride : (count <= 1000000 ? 1 : 11);
    return sampling;
}

void Tally::add(const unsigned char* exponents, std::size_t spacing, std::size_t n,
                unsigned long long first, const Sampling& sampling) {
    const unsigned char* e = exponents;
    if (sampling.step == 1) {
        std::size_t x = 0;
        for (; x + 4 <= n; x += 4) {
            ++tables[0][e[spacing * x]];
            ++tables[1][e[spacing * (x + 1)]];
            ++tables[2][e[spacing * (x + 2)]];
            ++tables[3][e[spacing * (x + 3)]];
        }
        for (; x < n; ++x) {
            ++tables[0][e[spacing * x]];
        }
        return;
    }
    // Pixel i is visited when count - 1 - i is a multiple of step.
    const unsigned long long step = sampling.step;
    unsigned long long x = ((sampling.count - 1) % step + step - first % step) % step;
    for (; x < n; x += step) {
        ++tables[0][e[spacing * x]];
    }
}

void Tally::add(const Tally& other) {
    for (std::size_t t = 0; t < tables.size(); ++t) {
        for (std::size_t e = 0; e < 256; ++e) {
            tables[t][e] += other.tables[t][e];
        }
    }
}

ExponentCounts Tally::total() const {
    ExponentCounts counts{};
    for (const auto& table : tables) {
        for (std::size_t e = 0; e < 256; ++e) {
            counts[e] += table[e];
        }
    }
    return counts;
}

bool startsRunLength(const unsigned char lead[4]) {
    return lead[0] == 2 && lead[1] == 2 && lead[2] < 128;
}

void readRunLengthStream(std::FILE* file, const std::string& path, int width, int height,
                         unsigned char* out, const RowCallback* callback, const TallyTarget& tally,
                         const unsigned char* lead, std::size_t leadSize) {
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t worstLine = 4 + 8 * w + 16;
    // Zero-filled so that over-reads past the data see defined bytes.
    std::vector<unsigned char> window(std::max<std::size_t>(1 << 16, 4 * worstLine));
    std::vector<unsigned char> planes(4 * w + 16);
    std::size_t begin = 0;
    std::size_t end = leadSize;
    if (leadSize > 0) {
        std::memcpy(window.data(), lead, leadSize);
    }
    bool atEnd = false;

    for (int y = 0; y < height; ++y) {
        if (end - begin < worstLine && !atEnd) {
            std::memmove(window.data(), window.data() + begin, end - begin);
            end -= begin;
            begin = 0;
            const std::size_t wanted = window.size() - end;
            const std::size_t got = readData(file, window.data() + end, wanted, path);
            end += got;
            atEnd = got < wanted;
        }
        const unsigned char* src = window.data() + begin;
        const unsigned char* const limit = window.data() + end;
        checkLineHeader(src, limit, width, path, y);
        src += 4;
        decodeStreams(src, limit, w, planes.data(), path, y);
        begin = static_cast<std::size_t>(src - window.data());
        interleave(planes.data(), w, out + 4 * w * static_cast<std::size_t>(y));
        if (tally.tally != nullptr) {
            tally.tally->add(planes.data() + 3 * w, 1, w, w * static_cast<std::size_t>(y),
                             tally.sampling);
        }
        if (callback && *callback) {
            (*callback)(y);
        }
    }
}

void readRunLengthMemory(const unsigned char* data, std::size_t size, const std::string& path,
                         int width, int height, unsigned char* out, const RowCallback* callback,
                         unsigned threads, const TallyTarget& tally, const BandTarget& bands) {
    const std::vector<std::size_t> starts = findRows(data, size, width, height, path);
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    // Stripes of about a huge page of pixels, several per thread so that none waits long.
    const std::size_t hugeRows = std::max<std::size_t>(1, (std::size_t(2) << 20) / (4 * w));
    const std::size_t bandRows = std::max<std::size_t>(1, bands.rows);
    std::size_t stripeRows = std::max<std::size_t>(1, std::min(hugeRows, h / (4 * threads)));
    stripeRows = (stripeRows + bandRows - 1) / bandRows * bandRows;
    const std::size_t stripes = (h + stripeRows - 1) / stripeRows;
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, stripes));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    const std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[stripes]());
    std::vector<Tally> tallies(tally.tally != nullptr ? threads : 0);

    std::size_t reported = 0;
    const auto report = [&] {
        for (; reported < stripes && done[reported].load(std::memory_order_acquire); ++reported) {
            const std::size_t last = std::min(h, (reported + 1) * stripeRows);
            for (std::size_t y = reported * stripeRows; y < last; ++y) {
                (*callback)(static_cast<int>(y));
            }
        }
    };
    const bool reporting = callback && *callback;

    const auto work = [&](unsigned index) {
        std::vector<unsigned char> planes(4 * w + 16);
        Tally* const own = tallies.empty() ? nullptr : &tallies[index];
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t stripe = next.fetch_add(1);
            if (stripe >= stripes) {
                break;
            }
            const std::size_t last = std::min(h, (stripe + 1) * stripeRows);
            for (std::size_t y = stripe * stripeRows; y < last; ++y) {
                const unsigned char* src = data + starts[y] + 4;
                decodeStreams(src, data + size, w, planes.data(), path, static_cast<int>(y));
                interleave(planes.data(), w, out + 4 * w * y);
                if (own != nullptr) {
                    own->add(planes.data() + 3 * w, 1, w, w * y, tally.sampling);
                }
            }
            if (bands.callback != nullptr && *bands.callback) {
                // While the stripe's rows are still in this core's cache.
                (*bands.callback)(out, static_cast<int>(stripe * stripeRows),
                                  static_cast<int>(last - stripe * stripeRows));
            }
            done[stripe].store(true, std::memory_order_release);
            if (index == 0 && reporting) {
                report();
            }
        }
    };

    std::vector<std::future<void>> helpers;
    {
        const StopOnExit stopHelpers(stop);
        for (unsigned t = 1; t < threads; ++t) {
            helpers.push_back(std::async(std::launch::async, work, t));
        }
        work(0);
        for (std::future<void>& helper : helpers) {
            helper.get();
        }
    }
    if (reporting) {
        report();
    }
    if (tally.tally != nullptr) {
        for (const Tally& own : tallies) {
            tally.tally->add(own);
        }
    }
}

bool readRest(std::FILE* file, const std::string& path, PixelBuffer& bytes, std::size_t& size) {
    struct stat st;
    const long position = std::ftell(file);
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || position < 0) {
        return false;
    }
    const std::size_t wanted =
        st.st_size > position ? static_cast<std::size_t>(st.st_size - position) : 0;
    try {
        bytes = allocatePixels(wanted);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // One read: a mapping would fault on every 4 KiB page as the scan walks it.
    size = readUntil(wanted, path, [&](std::size_t got, std::size_t count) -> long {
        return pread(fileno(file), bytes.get() + got, count,
                     static_cast<off_t>(position) + static_cast<off_t>(got));
    });
    return true;
}

} // namespace rgbe
