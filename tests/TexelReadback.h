#pragma once

#include "SharedExponent.h"
#include "Texture.h"

#include <GL/glew.h>

#include <cstdint>
#include <vector>

// Every texel of `level` of the bound `target` (GL_TEXTURE_2D, or GL_TEXTURE_2D_ARRAY for all
// its layers) of `texture` as uploaded: RGBE bytes for radiance, which the card holds as
// shared-exponent texels, else `channels` 8-bit values a texel.
inline std::vector<std::uint8_t> readTexels(const Texture& texture, GLenum target, GLint level,
                                            std::size_t count, int channels) {
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    if (!texture.sharedExponent) {
        std::vector<std::uint8_t> bytes(count * channels);
        glGetTexImage(target, level, channels == 4 ? GL_RGBA : GL_RGB, GL_UNSIGNED_BYTE,
                      bytes.data());
        return bytes;
    }
    std::vector<std::uint32_t> texels(count);
    glGetTexImage(target, level, GL_RGB, GL_UNSIGNED_INT_5_9_9_9_REV, texels.data());
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count * 4);
    for (const std::uint32_t texel : texels) {
        for (const std::uint8_t byte : unpackSharedExponent(texel, texture.radianceShift)) {
            bytes.push_back(byte);
        }
    }
    return bytes;
}
