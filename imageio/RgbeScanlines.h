#pragma once

#include "PixelMemory.h"
#include "rgbe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

// The pixel data of RADIANCE files: run-length scanlines from a stream or from memory, and the
// exponent tally of stats(). Used by rgbe.cpp.
namespace rgbe {

std::runtime_error readError(const std::string& path);
std::runtime_error truncatedError(const std::string& path, int row);

// The pixels stats() visits: every step-th, backwards from the last of count.
struct Sampling {
    unsigned long long count = 0;
    unsigned long long step = 1;
};

Sampling samplingOf(unsigned long count, unsigned long stride);

// Counts exponent bytes; four tables keep equal neighbours from waiting on one another.
struct Tally {
    std::array<std::array<std::uint64_t, 256>, 4> tables{};

    // Pixels first .. first + n - 1 of the picture, those the sampling visits; the exponent
    // of pixel first + x is exponents[spacing * x].
    void add(const unsigned char* exponents, std::size_t spacing, std::size_t n,
             unsigned long long first, const Sampling& sampling);
    void add(const Tally& other);
    ExponentCounts total() const;
};

// Where the exponents of the decoded pixels go; tally null counts nothing.
struct TallyTarget {
    Tally* tally = nullptr;
    Sampling sampling;
};

// Who hears of each band of rows decoded (ReadOptions::bands); callback null: nobody.
struct BandTarget {
    const BandCallback* callback = nullptr;
    std::size_t rows = 1;
};

// Whether the first bytes of a scanline are the run-length marker: 2, 2 and a high byte of
// the width below 128. Scanlines without it are flat RGBE pixels.
bool startsRunLength(const unsigned char lead[4]);

// Run-length scanlines read from the stream's position, rows in order (pipes, FIFOs); the
// leadSize bytes at lead were read from the stream before.
void readRunLengthStream(std::FILE* file, const std::string& path, int width, int height,
                         unsigned char* out, const RowCallback* callback, const TallyTarget& tally,
                         const unsigned char* lead = nullptr, std::size_t leadSize = 0);

// The same from the bytes [data, data + size): every row's start is found and checked first,
// then stripes of rows, whole multiples of bands.rows, are decoded on `threads` threads (0:
// every core), all joined before this returns or throws. The callback runs on the calling
// thread, rows in order; the band callback on the thread that decoded the stripe.
void readRunLengthMemory(const unsigned char* data, std::size_t size, const std::string& path,
                         int width, int height, unsigned char* out, const RowCallback* callback,
                         unsigned threads, const TallyTarget& tally,
                         const BandTarget& bands = BandTarget());

// The rest of a regular file from its stream's position, read at once into bytes; false,
// reading nothing, for pipes and other files that do not tell their size.
bool readRest(std::FILE* file, const std::string& path, PixelBuffer& bytes, std::size_t& size);

} // namespace rgbe
