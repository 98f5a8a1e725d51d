#pragma once

#include "Picture.h"

#include <functional>
#include <vector>

// The next smaller level of a mip pyramid: max(1, width / 2) by max(1, height / 2), each texel
// the mean of the 2 x 2 block it covers (3 wide or high at an odd last column or row, 1 where a
// side is 1 already). RGBE pictures are averaged as decoded radiance and encoded again; 8-bit
// pictures as squared values (close to linear light), stored as the root. Runs on all cores.
Picture halvePicture(const Picture& level);

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
