#pragma once

#include "Picture.h"

#include <string>
#include <utility>

// Where a partial equirectangular picture lies in its full panorama (GPano XMP tags).
struct PanoramaCrop {
    long fullWidth = 0;
    long fullHeight = 0;
    long width = 0;
    long height = 0;
    long left = 0;
    long top = 0;
};

// What a JPEG's or TIFF's EXIF and XMP say about the picture's layout.
struct PanoramaMetadata {
    // EXIF orientation 1 to 8; anything else reads as 1.
    int orientation = 1;
    bool equirectangular = false;
    bool cropped = false;
    PanoramaCrop crop;
};

// Reads the metadata with exiv2. A file whose metadata exiv2 cannot read has none: the
// picture's own reader reports a broken file. Throws "Invalid panorama metadata in '%s': ..."
// for GPano numbers that are not plain pixel counts or are incomplete.
PanoramaMetadata readPanoramaMetadata(const std::string& path);

// The picture's size once `metadata` is applied to a stored width x height, checked against
// `limit` and memory before the reader allocates anything; returns it (width, height). Throws
// for a crop outside the full panorama and with the size error for a canvas beyond the limit.
std::pair<long, long> checkPanoramaSize(const PanoramaMetadata& metadata, long width, long height,
                       const std::string& path, const SizeLimit& limit);

// Turns the picture upright, then places a cropped panorama on a black 2:1 canvas; sets the
// equirectangular hint where the metadata asks for it. Call checkPanoramaSize first.
void applyPanoramaMetadata(Picture& picture, const PanoramaMetadata& metadata,
                           const std::string& path);
