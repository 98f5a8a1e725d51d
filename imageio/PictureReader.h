#pragma once

#include "Picture.h"

#include <functional>
#include <string>

// Reads a picture file by the road its name chooses, in this order: ".hdr" RADIANCE, ".jpg"
// JPEG, ".cr2" the raw file's embedded preview through dcraw and djpeg beside the executable,
// "-" a PNM picture on standard input, ".png" libpng, ".ppm", ".pgm", ".pbm" and ".pnm" the
// PNM reader, and OpenImageIO for ".exr", ".tif", ".tiff", ".pfm" (floating point as RGBE)
// and the few other formats its road names; any other name is refused as unsupported. No
// road fetches a URL or runs a program other than the raw road's two. JPEG and TIFF pictures
// are turned upright by their EXIF orientation and placed by their GPano tags. Sizes beyond
// `limit` or the memory budget are refused before the pixels are allocated; every error names
// the file, except the size error of `limit`. Needs no GL context and keeps no state between
// calls, so it may run on any thread. Throws std::runtime_error.
Picture readPicture(const std::string& path, const SizeLimit& limit);

// The RADIANCE road with `rows` called with each row once it is decoded, rows in order; it
// may throw to abandon the read. `bands`, when given, is called on the decoding threads as
// bands of `bandRows` rows are decoded, as rgbe::ReadOptions tells: with all the pixels (row 0
// first), the band's first row and its row count.
Picture readRadiance(const std::string& path, const SizeLimit& limit,
                     const std::function<void(int row)>* rows,
                     const std::function<void(const unsigned char*, int, int)>* bands = nullptr,
                     int bandRows = 1);
