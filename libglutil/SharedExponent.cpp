#include "SharedExponent.h"

#include "AllCores.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// The exponent field for exponent byte 113 + shift, where 2m needs no shifting.
constexpr int bias = 113;

} // namespace

int sharedExponentShift(const unsigned char* rgbe, std::size_t pixels) {
    // A pass over a whole picture: on all cores, a megabyte of pixels or more each.
    constexpr std::size_t block = std::size_t(1) << 18;
    const long blocks = static_cast<long>((pixels + block - 1) / block);
    std::atomic<std::uint32_t> brightest{0};
    runOnAllCores(
        blocks,
        [rgbe, pixels, &brightest](long b0, long b1) {
            const std::size_t end = std::min(pixels, static_cast<std::size_t>(b1) * block);
            // Whole words, so that the compiler makes a vector loop of it.
            std::uint32_t local = 0;
            for (std::size_t i = static_cast<std::size_t>(b0) * block; i < end; ++i) {
                std::uint32_t word;
                std::memcpy(&word, rgbe + 4 * i, 4);
                local = std::max(local, word >> 24);
            }
            std::uint32_t seen = brightest.load();
            while (local > seen && !brightest.compare_exchange_weak(seen, local)) {
            }
        },
        2);
    if (brightest == 0) {
        return 0;
    }
    // 2^shift stays a normal float in the program.
    return std::max(static_cast<int>(brightest) - bias - 31, -120);
}

// Arithmetic without tables or branches, so that the compiler makes a vector loop of it:
// with AVX2's shifts by lane, 8 pixels a step; this is most of an upload's time.
__attribute__((target_clones("avx2", "default"))) void
packSharedExponent(const unsigned char* __restrict rgbe, std::uint32_t* __restrict texels,
                   std::size_t pixels, int shift) {
    const std::int32_t offset = bias + shift;
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint32_t word;
        std::memcpy(&word, rgbe + 4 * i, 4);
        const std::int32_t e = static_cast<std::int32_t>(word >> 24);
        const std::int32_t exponent = e - offset;
        // How far 2m moves right, 10 or more leaving nothing of it, and its rounding.
        const std::uint32_t right = static_cast<std::uint32_t>(std::clamp(-exponent, 0, 10));
        const std::uint32_t half = (1u << right) >> 1;
        const std::uint32_t field = static_cast<std::uint32_t>(std::clamp(exponent, 0, 31)) << 27;
        const std::uint32_t r = (2u * (word & 255u) + half) >> right;
        const std::uint32_t g = (2u * (word >> 8 & 255u) + half) >> right;
        const std::uint32_t b = (2u * (word >> 16 & 255u) + half) >> right;
        // Exponent byte 0 is black, whatever the mantissas.
        const std::uint32_t lit = e == 0 ? 0u : ~0u;
        texels[i] = (r | g << 9 | b << 18 | field) & lit;
    }
}

std::array<unsigned char, 4> unpackSharedExponent(std::uint32_t texel, int shift) {
    std::uint32_t r = texel & 511u;
    std::uint32_t g = texel >> 9 & 511u;
    std::uint32_t b = texel >> 18 & 511u;
    const int field = static_cast<int>(texel >> 27);
    if ((r | g | b) == 0) {
        return {0, 0, 0, 0};
    }
    // Mantissas that fit a byte keep their last bit under one exponent byte less.
    int exponent = field + bias + shift;
    if (std::max({r, g, b}) < 256 && (field == 0 || ((r | g | b) & 1u) != 0)) {
        --exponent;
    } else {
        r >>= 1;
        g >>= 1;
        b >>= 1;
    }
    const auto byte = [](std::uint32_t v) { return static_cast<unsigned char>(v); };
    return {byte(r), byte(g), byte(b), static_cast<unsigned char>(std::clamp(exponent, 1, 255))};
}
