#pragma once

#include "Picture.h"

#include <functional>
#include <vector>

// The next smaller level of a mip pyramid: max(1, width / 2) by max(1, height / 2), each texel
// the mean of the 2 x 2 block it covers (3 wide or high at an odd last column or row, 1 where a
// side is 1 already). RGBE pictures are averaged as decoded radiance and encoded again; 8-bit
// pictures as squared values (close to linear light), stored as the root. Runs on all cores.
Picture halvePicture(const Picture& level);

// Level 1 of a pyramid made while level 0 is decoded (rgbe::ReadOptions::bands, in bands of
// an even number of rows): the rows of the level a band covers are halved as it comes, on the
// thread that decoded it, while its pixels are in that core's cache. The bytes of
// halvePicture.
class HalvingInBands {
public:
    HalvingInBands(int width, int height, PixelEncoding encoding);
    // Rows [first, first + count) of level 0, whose pixels (row 0 first) are at `pixels`, hold
    // their final bytes: the rows of the level made of them alone are halved. Bands that do
    // not overlap may come on several threads at once.
    void band(const unsigned char* pixels, int first, int count);
    // The level, once level 0 (of the size given) is whole and no band is under way: the rows
    // no band made are halved now, on all cores. Throws std::runtime_error for another
    // picture.
    Picture finish(const Picture& level0);

private:
    void halveRow(const unsigned char* pixels, long y);

    int width;
    int height;
    Picture level;
    // Per row of the level: whether it is made.
    std::vector<unsigned char> made;
};

// The smallest power of two that brings width and height within `side` when divided by it.
int reductionFactor(long width, long height, long side);

// `level` reduced by `factor` in both directions in one pass, for a quick view of a picture
// before its pyramid exists: max(1, width / factor) by max(1, height / factor), each texel the
// mean of its factor x factor block, the last column and row taking what is left over. Where
// the sides are multiples of a power-of-two factor, these are the blocks of the pyramid's
// level log2(factor). Runs on all cores.
Picture reducePicture(const Picture& level, int factor);

// How many levels a picture of width x height has, down to 1 x 1.
int mipLevelCount(long width, long height);

// The whole pyramid of an RGBE or 8-bit picture: the picture itself (moved in) as level 0,
// then every halvePicture level down to 1 x 1. `beforeLevel`, when given, is called with the
// index of each level before it is made and may throw to abandon the work. Needs no GL.
std::vector<Picture> mipLevels(Picture&& picture,
                               const std::function<void(int level)>& beforeLevel = {});
// The same from the first levels made elsewhere (level 0 first, each the halvePicture of the
// one before), moved in: the rest of the pyramid is added.
std::vector<Picture> mipLevels(std::vector<Picture>&& top,
                               const std::function<void(int level)>& beforeLevel = {});
