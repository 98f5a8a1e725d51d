#pragma once

#include "PanoramaMetadata.h"
#include "Picture.h"
#include "PictureFormats.h"

#include <OpenImageIO/imageio.h>

#include <array>
#include <stdexcept>
#include <string>

// The module's checks of a file's header, before OpenImageIO opens it and after: everything
// the reader checks before it allocates the picture. Shared by the module's reader and probe.
namespace oiio_header {

// "Failed to read file '%s': %s" with OpenImageIO's message, or a word where it has none.
std::runtime_error readFailure(const std::string& path, std::string message);

// The sizes that OpenImageIO's readers act on when a file is opened, before its header is
// shown to us (OpenEXR's windows and attribute sizes, GIF's logical screen, WebP's canvas),
// read from the first bytes and checked against `limit` and the memory. A file too short or of
// another kind is left to OpenImageIO to refuse. `format` is OpenImageIO's reader name.
void checkBeforeOpening(const char* format, const std::string& path, const SizeLimit& limit);

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

// The first part and layer with R, G and B, else the first with Y, else the first part's
// first three channels (or its first as grey when it has fewer).
Selection choose(OIIO::ImageInput& input, const std::string& path);

// The selected part's windows checked, and the picture's display window, once `metadata` is
// applied, against `limit` and the memory; returns the picture's size and encoding (RGBE for
// floating-point channels).
PictureInfo checkSelection(const Selection& selection, const PanoramaMetadata& metadata,
                           const std::string& path, const SizeLimit& limit);

} // namespace oiio_header
