#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// RGBE pixels on the card as GL_RGB9_E5 texels (GL_UNSIGNED_INT_5_9_9_9_REV: red in the low
// bits, the exponent in the top five). The card filters those as radiance, as it cannot
// filter RGBE bytes, in the same four bytes a pixel. Mantissa m under exponent byte e becomes
// 2m under exponent e - 113 - shift: exact for the 32 exponents up to the picture's brightest,
// the radiance being the texel's value times 2^shift. Fainter pixels lose low bits, and those
// more than 40 stops under the brightest go black.

// The shift for these pixels: their brightest exponent at the top of the texels' range.
int sharedExponentShift(const unsigned char* rgbe, std::size_t pixels);

// Packs `pixels` RGBE pixels; an exponent above the shift's range saturates there.
void packSharedExponent(const unsigned char* rgbe, std::uint32_t* texels, std::size_t pixels,
                        int shift);

// RGBE bytes of the radiance a texel packed with `shift` holds: the bytes packed, where they
// kept all their bits.
std::array<unsigned char, 4> unpackSharedExponent(std::uint32_t texel, int shift);
