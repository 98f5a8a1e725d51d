#pragma once

#include "PanoramaMetadata.h"
#include "Picture.h"
#include "PictureFormats.h"

#include <OpenImageIO/imageio.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>

// The module's way into a file, shared by its reader and its probe: the one OpenImageIO reader
// of the file's suffix, with every check made before the picture is allocated, so that the
// probe refuses what the read refuses, in the same words.
namespace oiio_header {

// "Failed to read file '%s': %s" with the first few distinct lines of OpenImageIO's message
// joined by "; " (a line that is only the path left out), or a word where it has none.
std::runtime_error readFailure(const std::string& path, const std::string& message);

// The channels a picture is made of, in one part of the file.
struct Selection {
    int subimage = -1;
    // R, G and B; the luminance channel three times for a grey picture.
    std::array<int, 3> channels{{-1, -1, -1}};
    // The black ink of a TIFF whose inks OpenImageIO leaves unconverted (CMYK with alpha):
    // channels are then C, M and Y, turned into R, G and B with it.
    int black = -1;
    std::string layer;
    OIIO::ImageSpec header;
};

struct OpenedFile {
    // OpenImageIO's reader name ("openexr").
    const char* format = nullptr;
    // Read from TIFF files only; none for the other formats.
    PanoramaMetadata metadata;
    std::unique_ptr<OIIO::ImageInput> input;
    // The first part and layer with R, G and B, else the first with Y, else the first part's
    // first three channels (or its first as grey when it has fewer).
    Selection selection;
    // The picture's size once `metadata` is applied, and its encoding (RGBE for
    // floating-point channels).
    PictureInfo info;
};

// Opens `path` with the reader its suffix names, after checking what that reader acts on when
// a file is opened (OpenEXR's windows and attribute sizes, GIF's screen, WebP's canvas, PFM's
// scale, BMP's pixel offset), and checks the selected part's windows against `limit` and the
// memory. Throws std::runtime_error naming the file.
OpenedFile openChecked(const std::string& path, const SizeLimit& limit);

} // namespace oiio_header
