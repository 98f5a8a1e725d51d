#pragma once

#include <array>
#include <optional>

class Texture;

// Where level-0 texel (column, row) of a picture lies on the card: in which piece, at which
// position and, for the tiles of a picture beyond the card's limit, in which layer.
struct TexelPlace {
    int piece = 0;
    int x = 0;
    int y = 0;
    int layer = 0;
};

TexelPlace texelPlace(const Texture& picture, int column, int row);

// The bytes of a level-0 texel as they were uploaded: 4 RGBE bytes, or 3 8-bit values and a
// 0. Read back from the card, so that the picture's bytes need not stay in memory beside it.
// None where the driver cannot read part of a texture (OpenGL 4.5 or
// ARB_get_texture_sub_image), level 0 is not uploaded yet (firstLevel above 0) or the texel is
// off the picture. Needs the picture's context.
std::optional<std::array<unsigned char, 4>> readTexel(const Texture& picture, int column, int row);
