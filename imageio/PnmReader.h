#pragma once

#include "Picture.h"
#include "PictureFormats.h"

#include <cstdio>
#include <string>

// One PNM picture (P1 to P6: bitmap, grey or RGB, plain or binary, up to 16 bits) from the
// stream's position, as 8-bit RGB: grey repeated, values scaled by their maximum, bitmap ones
// black. The header is bounded, its size checked against `limit` and the memory budget, and a
// regular file's length against the raster before the picture is allocated; a stream that
// ends early is "Truncated PNM file '%s': row %d is incomplete". `name` names the source in
// every error ("-" for standard input). Reads no further than the raster's last byte.
Picture readPnm(std::FILE* file, const std::string& name, const SizeLimit& limit);

// Its header only, with the same checks and errors; the stream is left after the header.
PictureInfo probePnm(std::FILE* file, const std::string& name, const SizeLimit& limit);
