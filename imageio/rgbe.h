#pragma once

#include "Picture.h"

#include <boost/interprocess/mapped_region.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// RADIANCE pictures with 32-bit RGBE pixels: 4 bytes R, G, B, E per pixel, rows from the top.
// Pixels stay encoded; only encode and decode convert single values.
namespace rgbe {

// Called with the index of each row once that row of the result holds its final bytes, rows
// in order; it may throw to abandon the read.
using RowCallback = std::function<void(int row)>;

// Returns a new array of 4 * width * height bytes that the caller releases with delete[].
// Throws std::runtime_error and returns nothing on any malformed, truncated or unreadable file;
// a size beyond `limit`, when given, is refused from the header before anything is allocated.
unsigned char* read(const std::string& path, int& width, int& height,
                    const RowCallback* callback = nullptr, const SizeLimit* limit = nullptr);

// Called with the whole result (row 0 first) once rows [first, first + count) of it hold their
// final bytes.
using BandCallback = std::function<void(const unsigned char* pixels, int first, int count)>;

// Called with the picture's size once the header has been read and checked, before the pixels
// are allocated; it may throw to abandon the read.
using SizeCallback = std::function<void(int width, int height)>;

// How many of the pixels stats() samples have each exponent byte.
using ExponentCounts = std::array<std::uint64_t, 256>;

struct ReadOptions {
    const RowCallback* callback = nullptr;
    const SizeLimit* limit = nullptr;
    // Threads decoding run-length rows of a regular file: 0 takes every core, 1 the calling
    // thread alone. Pipes are decoded as they stream in.
    unsigned threads = 0;
    // Where given, receives the counts stats(pixels, width * height, statsStride) would take,
    // gathered while decoding.
    ExponentCounts* counts = nullptr;
    unsigned long statsStride = 0;
    // Where given, called on the decoding threads, several at once and in no set order, as
    // each band of rows is decoded: bands start at multiples of bandRows (the last one may
    // end short). Only run-length rows of a regular file are decoded in bands; for other
    // files it is never called. It must not throw.
    const BandCallback* bands = nullptr;
    int bandRows = 1;
    // Where given, called once; never for a file whose header fails.
    const SizeCallback* size = nullptr;
};

// read() into a Picture of PixelEncoding::Rgbe, with the same errors.
Picture readPicture(const std::string& path, const ReadOptions& options);

// pixels holds 4 * width * height bytes. Run-length encoding is used only where the format
// allows it (8 <= width <= 32767). Sends the statistics line of the pixels to the diagnostics.
void write(const std::string& path, int width, int height, const unsigned char* pixels, bool rle);

struct Stats {
    double mean;
    int min;
    int max;
    int range;
};

// Exponent statistics in f-stops over count pixels, visited backwards from the last one every
// stride pixels (0: every pixel up to 1,000,000 pixels, else every 11th). Pixels with E = 0
// are no samples; with none, mean is NaN, min 128, max -127. Sends one diagnostic line.
Stats stats(const unsigned char* pixels, unsigned long count, unsigned long stride);

// The same from counts gathered elsewhere (ReadOptions::counts), with the same line.
Stats stats(const ExponentCounts& counts);

// 2 to the mean, least and largest exponent: the factors a picture's exposure is set from. A
// picture without a lit pixel gets 1 for each, so that the exposure stays finite.
ExposureScale exposureScale(const Stats& stats);

// One linear RGB value as an RGBE quadruple, and back: mantissa times 2^(E - 136), E = 0 black,
// the shader's rule. Below 1e-32 is black, negative or NaN parts are 0, and values beyond the
// largest exponent saturate.
void encode(double r, double g, double b, unsigned char out[4]);
void decode(const unsigned char in[4], double& r, double& g, double& b);

// One picture held by the loader; data comes from read() unless region maps a file.
struct Image {
    boost::interprocess::mapped_region region;
    int width = 0;
    int height = 0;
    unsigned char* data = nullptr;

    Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    Image(Image&& other) noexcept;
    Image& operator=(Image&& other) noexcept;
    ~Image();
};

} // namespace rgbe
