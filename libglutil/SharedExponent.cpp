#include "SharedExponent.h"

#include <algorithm>
#include <cstring>

namespace {

// The exponent field for exponent byte 113 + shift, where 2m needs no shifting.
constexpr int bias = 113;

} // namespace

int sharedExponentShift(const unsigned char* rgbe, std::size_t pixels) {
    // Whole words, so that the compiler makes a vector loop of it.
    std::uint32_t brightest = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint32_t word;
        std::memcpy(&word, rgbe + 4 * i, 4);
        brightest = std::max(brightest, word >> 24);
    }
    if (brightest == 0) {
        return 0;
    }
    // 2^shift stays a normal float in the program.
    return std::max(static_cast<int>(brightest) - bias - 31, -120);
}

void packSharedExponent(const unsigned char* rgbe, std::uint32_t* texels, std::size_t pixels,
                        int shift) {
    // Per exponent byte: how far 2m moves right, its rounding, and the exponent field.
    struct Step {
        std::uint32_t right;
        std::uint32_t half;
        std::uint32_t field;
    };
    Step steps[256];
    for (int e = 0; e < 256; ++e) {
        const int exponent = e - bias - shift;
        Step& step = steps[e];
        if (e == 0 || exponent < -9) {
            // Black, or below the smallest texel: 2m >> 10 is 0 whatever m.
            step = {10, 0, 0};
        } else if (exponent < 0) {
            step = {static_cast<std::uint32_t>(-exponent), 1u << (-exponent - 1), 0};
        } else {
            step = {0, 0, static_cast<std::uint32_t>(std::min(exponent, 31)) << 27};
        }
    }
    for (std::size_t i = 0; i < pixels; ++i) {
        const unsigned char* p = rgbe + 4 * i;
        const Step& step = steps[p[3]];
        const std::uint32_t r = (2u * p[0] + step.half) >> step.right;
        const std::uint32_t g = (2u * p[1] + step.half) >> step.right;
        const std::uint32_t b = (2u * p[2] + step.half) >> step.right;
        texels[i] = r | g << 9 | b << 18 | step.field;
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
