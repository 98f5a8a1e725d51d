#pragma once

#include "Picture.h"
#include "PictureFormats.h"

#include <functional>
#include <string>

// Reads a picture file by the format its name chooses (PictureFormats.h): ".hdr" RADIANCE,
// ".jpg", ".jpeg" and ".jpe" JPEG, ".cr2" the raw file's embedded preview through dcraw and
// djpeg beside the executable, exactly "-" a PNM picture on standard input, ".png" libpng,
// ".ppm", ".pgm", ".pbm" and ".pnm" the PNM reader, and OpenImageIO for ".exr", ".tif",
// ".tiff", ".pfm" (floating point as RGBE) and the few other formats of the table; a name of
// none of them is read as PNG or PNM by its first bytes, else refused as unsupported. No
// reader fetches a URL or runs a program other than the raw reader's two. JPEG and TIFF
// pictures are turned upright by their EXIF orientation and placed by their GPano tags. Sizes
// beyond `limit` or the memory budget are refused before the pixels are allocated; every error
// names the file, except the size error of `limit`. Needs no GL context and keeps no state
// between calls, so it may run on any thread. Throws std::runtime_error.
Picture readPicture(const std::string& path, const SizeLimit& limit);

// Pictures whose 1.0 is a white of their own (the reference white of PQ and HLG files, a
// gain-map photo's base white, in either rendition) start with it at the display's white, as
// the devices that made them show it: their exposure scale says so. Other HDR pictures keep
// the scale of their statistics. readPicture calls it.
void startAtOwnWhite(Picture& picture);

// What readPicture would allocate for `path`, from its header alone, with the errors
// readPicture gives for a missing, unreadable, unsupported or non-regular file, a bad header
// or a size beyond `limit` or the memory budget. Formats that cannot tell their size cheaply,
// standard input and RADIANCE streams (FIFOs, devices: read once) give 0 x 0 without failing.
// Loads the OpenImageIO module for its formats. Throws std::runtime_error.
PictureInfo probePicture(const std::string& path, const SizeLimit& limit);

// What every reader of a name needs before it opens it, checked without opening it: that it
// exists, is a regular file (or, for a format that bounds its waits, a FIFO or a device) and
// may be read. "-" always passes. Throws "Failed to open file '%s': %s" or "Failed to read
// file '%s': not a regular file".
void checkPictureFile(const std::string& path);

// The RADIANCE reader with `rows` called with each row once it is decoded, rows in order; it
// may throw to abandon the read. `bands`, when given, is called on the decoding threads as
// bands of `bandRows` rows are decoded, as rgbe::ReadOptions tells: with all the pixels (row 0
// first), the band's first row and its row count. `size`, when given, is called once with the
// picture's width and height when the header has been read and checked, before the pixels are
// allocated; never for a file whose header fails. It may throw to abandon the read.
Picture readRadiance(const std::string& path, const SizeLimit& limit,
                     const std::function<void(int row)>* rows,
                     const std::function<void(const unsigned char*, int, int)>* bands = nullptr,
                     int bandRows = 1,
                     const std::function<void(int width, int height)>* size = nullptr);
