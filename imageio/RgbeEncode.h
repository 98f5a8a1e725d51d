#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// rgbe::encode of non-negative floats, inline and branch-free, for loops over whole rows.
namespace rgbe {

// The least float at or above 1e-32: rgbe::encode's threshold of black.
inline float blackThreshold() {
    float threshold = static_cast<float>(1e-32);
    if (static_cast<double>(threshold) < 1e-32) {
        threshold = std::nextafter(threshold, std::numeric_limits<float>::infinity());
    }
    return threshold;
}

// rgbe::encode's bytes for r, g, b >= 0 (not NaN): the scale is a power of two, which leaves a
// float's product as exact as a double's wherever the byte is not 0. `black` is
// blackThreshold(), given by loops that want to be vector loops (a static's guard stops them).
inline void encodeFast(float r, float g, float b, unsigned char* out, float black) {
    const float m = std::max(r, std::max(g, b));
    std::uint32_t bits;
    std::memcpy(&bits, &m, sizeof bits);
    // Bounded below too, so that black's scale is a float as well (its bytes are 0 anyway).
    const int e = std::clamp(static_cast<int>(bits >> 23 & 0xff) - 126, -119, 127);
    const std::uint32_t scaleBits = static_cast<std::uint32_t>(127 + 8 - e) << 23;
    float scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    // Every product made, then chosen: a conversion made only where lit would stop the loop
    // from being a vector loop (it might trap).
    const unsigned lit = m >= black ? 0xffu : 0u;
    out[0] = static_cast<unsigned char>(static_cast<unsigned>(std::min(255.0f, r * scale)) & lit);
    out[1] = static_cast<unsigned char>(static_cast<unsigned>(std::min(255.0f, g * scale)) & lit);
    out[2] = static_cast<unsigned char>(static_cast<unsigned>(std::min(255.0f, b * scale)) & lit);
    out[3] = static_cast<unsigned char>(static_cast<unsigned>(e + 128) & lit);
}

inline void encodeFast(float r, float g, float b, unsigned char* out) {
    static const float black = blackThreshold();
    encodeFast(r, g, b, out, black);
}

// Any float: negative parts and NaN are 0, infinities saturate, as rgbe::encode does.
inline float encodable(float v) {
    return v > 0.0f ? std::min(v, std::numeric_limits<float>::max()) : 0.0f;
}

} // namespace rgbe
