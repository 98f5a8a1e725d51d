#include "OiioModule.h"

#include "OiioHeader.h"
#include "PanoramaMetadata.h"
#include "rgbe.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/parallel.h>
#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

namespace {

using OIIO::ImageInput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;
using oiio_header::readFailure;
using oiio_header::Selection;

// About this many bytes of file values are held at once.
constexpr std::size_t bandBytes = std::size_t(16) << 20;

// The rectangle of the display window that the data window covers, in both windows' frame.
struct Overlap {
    long x0, x1, y0, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

// Reads the selected channels of the data window in bands of rows and converts each band
// straight into the picture: RGBE for floating-point files, 8-bit RGB for integer ones.
void readBands(ImageInput& input, const Selection& selection, const Overlap& overlap,
               Picture& picture, const std::string& path) {
    const ImageSpec& header = selection.header;
    const int first = *std::min_element(selection.channels.begin(), selection.channels.end());
    const int end =
        std::max(*std::max_element(selection.channels.begin(), selection.channels.end()),
                 selection.black) +
        1;
    const std::size_t count = static_cast<std::size_t>(end - first);
    const std::size_t rowValues = static_cast<std::size_t>(header.width) * count;
    const bool hdr = picture.encoding == PixelEncoding::Rgbe;
    const std::size_t valueSize = hdr ? sizeof(float) : 1;

    // Whole tile rows, and never more rows than the data window has.
    const long tileRows = std::min(std::max(header.tile_height, 1), header.height);
    long bandRows =
        static_cast<long>(std::max<std::size_t>(1, bandBytes / (rowValues * valueSize)));
    bandRows =
        std::min<long>((bandRows + tileRows - 1) / tileRows * tileRows + tileRows, header.height);
    // Zeroed: OpenEXR leaves the rows of a damaged PIZ block unwritten without a word, and
    // they are to be black rather than whatever the heap held.
    std::unique_ptr<unsigned char[]> band(
        new unsigned char[static_cast<std::size_t>(bandRows) * rowValues * valueSize]());
    const std::size_t width = static_cast<std::size_t>(picture.width);
    const std::size_t pixelBytes = bytesPerPixel(picture.encoding);
    std::array<std::size_t, 3> offsets;
    for (std::size_t k = 0; k < 3; ++k) {
        offsets[k] = static_cast<std::size_t>(selection.channels[k] - first);
    }
    const bool inks = selection.black >= 0 && !hdr;
    const std::size_t black = static_cast<std::size_t>(std::max(selection.black - first, 0));

    // Bands start on tile rows of the data window, so that no tile is decoded twice.
    const long tile = header.tile_height > 0 ? header.tile_height : 1;
    long y = header.y + (overlap.y0 - header.y) / tile * tile;
    while (y < overlap.y1) {
        const long yEnd = std::min<long>(
            (std::min(y + bandRows, overlap.y1) - header.y + tile - 1) / tile * tile + header.y,
            long(header.y) + header.height);
        const TypeDesc type = hdr ? OIIO::TypeFloat : OIIO::TypeUInt8;
        // Tiled files go by whole rows of tiles: their scanline emulation is not to be trusted.
        const bool read =
            header.tile_width > 0
                ? input.read_tiles(selection.subimage, 0, header.x, header.x + header.width,
                                   static_cast<int>(y), static_cast<int>(yEnd), header.z,
                                   header.z + 1, first, end, type, band.get())
                : input.read_scanlines(selection.subimage, 0, static_cast<int>(y),
                                       static_cast<int>(yEnd), header.z, first, end, type,
                                       band.get());
        // A reader may go on past a failure and say so only in its error: the TIFF reader
        // gave black rows for strips beyond the end of the file.
        if (!read || input.has_error()) {
            throw readFailure(path, input.geterror());
        }
        const long rowBegin = std::max(y, overlap.y0);
        const long rowEnd = std::min(yEnd, overlap.y1);
        OIIO::parallel_for(
            static_cast<int64_t>(rowBegin), static_cast<int64_t>(rowEnd), [&](int64_t row) {
                const unsigned char* in =
                    band.get() + static_cast<std::size_t>(row - y) * rowValues * valueSize +
                    static_cast<std::size_t>(overlap.x0 - header.x) * count * valueSize;
                unsigned char* out =
                    picture.pixels.get() + (static_cast<std::size_t>(row - header.full_y) * width +
                                            static_cast<std::size_t>(overlap.x0 - header.full_x)) *
                                               pixelBytes;
                for (long x = overlap.x0; x < overlap.x1; ++x, out += pixelBytes) {
                    if (hdr) {
                        const float* values = reinterpret_cast<const float*>(in);
                        // Infinity saturates like any value beyond the largest exponent.
                        const auto finite = [](float v) { return std::min(v, 3.0e38f); };
                        rgbe::encode(finite(values[offsets[0]]), finite(values[offsets[1]]),
                                     finite(values[offsets[2]]), out);
                    } else if (inks) {
                        const unsigned paper = 255u - in[black];
                        for (std::size_t k = 0; k < 3; ++k) {
                            out[k] = static_cast<unsigned char>(
                                ((255u - in[offsets[k]]) * paper + 127u) / 255u);
                        }
                    } else {
                        for (std::size_t k = 0; k < 3; ++k) {
                            out[k] = in[offsets[k]];
                        }
                    }
                    in += count * valueSize;
                }
            });
        y = yEnd;
    }
}

Picture readOiioPicture(const std::string& path, const SizeLimit& limit) {
    oiio_header::OpenedFile opened = oiio_header::openChecked(path, limit);
    ImageInput& input = *opened.input;
    const Selection& selection = opened.selection;
    const ImageSpec& header = selection.header;
    const Overlap overlap{
        std::max<long>(header.x, header.full_x),
        std::min<long>(long(header.x) + header.width, long(header.full_x) + header.full_width),
        std::max<long>(header.y, header.full_y),
        std::min<long>(long(header.y) + header.height, long(header.full_y) + header.full_height)};
    Picture picture;
    picture.allocate(header.full_width, header.full_height, opened.info.encoding);
    const bool covered = !overlap.empty() && overlap.x0 == header.full_x &&
                         overlap.y0 == header.full_y &&
                         overlap.x1 == long(header.full_x) + header.full_width &&
                         overlap.y1 == long(header.full_y) + header.full_height;
    if (!covered) {
        // Display pixels without data are black, as zero bytes are in both encodings.
        std::memset(picture.pixels.get(), 0, picture.byteCount());
    }
    // The WebP reader, sought past its last frame, fails its next decode and says so before it
    // starts again from the first frame: it is opened afresh, which decodes nothing yet.
    ImageSpec reopened;
    if (std::strcmp(opened.format, "webp") == 0 &&
        (!input.close() || !input.open(path, reopened))) {
        throw readFailure(path, input.geterror());
    }
    if (!input.seek_subimage(selection.subimage, 0)) {
        throw readFailure(path, input.geterror());
    }
    // What the search for parts left behind (a seek past the last) is no fault of the pixels.
    input.geterror();
    if (!overlap.empty()) {
        readBands(input, selection, overlap, picture, path);
    }
    opened.input.reset();
    picture.layer = selection.layer;
    // OpenImageIO reads OpenEXR's envmap attribute of latlong as this texture format.
    if (header.get_string_attribute("textureformat") == "LatLong Environment" ||
        header.get_string_attribute("envmap") == "latlong") {
        picture.projectionHint = ProjectionHint::Equirectangular;
    }
    applyPanoramaMetadata(picture, opened.metadata, path);
    return picture;
}

} // namespace

namespace oiio_module {

Picture read(const std::string& path, const SizeLimit& limit) {
    try {
        return readOiioPicture(path, limit);
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        // OpenImageIO's readers let the standard library's own exceptions out: a GIF's forged
        // screen ends in std::length_error from a vector it sizes.
        throw readFailure(path, error.what());
    }
}

void writeExr(const std::string& path, int w, int h, const float* rgb) {
    const auto failure = [&](std::string message) {
        while (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
        return std::runtime_error(fmt::sprintf("Failed to write file '%s': %s", path, message));
    };
    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create("openexr");
    if (!out) {
        throw failure(OIIO::geterror());
    }
    ImageSpec header(w, h, 3, TypeDesc::HALF);
    header.attribute("compression", "zip");
    if (!out->open(path, header) || !out->write_image(OIIO::TypeFloat, rgb) || !out->close()) {
        throw failure(out->geterror());
    }
}

} // namespace oiio_module

// The names the loader asks for; the module exports nothing else.
BOOST_DLL_ALIAS(oiio_module::read, marovexOiioRead)
BOOST_DLL_ALIAS(oiio_module::writeExr, marovexOiioWriteExr)
