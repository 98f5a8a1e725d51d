#include "PictureTexel.h"

#include "GlError.h"
#include "SharedExponent.h"
#include "Texture.h"

#include <cstdint>

TexelPlace texelPlace(const Texture& picture, int column, int row) {
    TexelPlace place{0, column, row, 0};
    if (picture.tileLevels > 0) {
        place.piece = 1;
        place.x = column % picture.texWidth;
        place.y = row % picture.texHeight;
        place.layer = row / picture.texHeight * picture.tileColumns + column / picture.texWidth;
    } else if (picture.numTextures == 2 && column >= picture.texWidth) {
        // The right half of a picture wider than an OpenGL 2 card takes.
        place.piece = 1;
        place.x = column - picture.texWidth;
    }
    return place;
}

std::optional<std::array<unsigned char, 4>> readTexel(const Texture& picture, int column, int row) {
    // Level 0 is not on the card yet while the upload's slices fill the smaller levels.
    if (!(GLEW_VERSION_4_5 || GLEW_ARB_get_texture_sub_image) || picture.firstLevel > 0 ||
        column < 0 || row < 0 || column >= picture.width || row >= picture.height) {
        return std::nullopt;
    }
    const TexelPlace place = texelPlace(picture, column, row);
    if (picture.sharedExponent) {
        std::uint32_t texel = 0;
        glGetTextureSubImage(picture.glTextures[place.piece], 0, place.x, place.y, place.layer, 1,
                             1, 1, GL_RGB, GL_UNSIGNED_INT_5_9_9_9_REV, sizeof texel, &texel);
        throwIfGlFailed(glError(__FILE__, __LINE__));
        return unpackSharedExponent(texel, picture.radianceShift);
    }
    std::array<unsigned char, 4> bytes{};
    // One row of one texel: the pack alignment pads nothing, whatever it is.
    glGetTextureSubImage(picture.glTextures[place.piece], 0, place.x, place.y, place.layer, 1, 1, 1,
                         picture.hdr ? GL_RGBA : GL_RGB, GL_UNSIGNED_BYTE,
                         static_cast<GLsizei>(bytes.size()), bytes.data());
    throwIfGlFailed(glError(__FILE__, __LINE__));
    return bytes;
}
