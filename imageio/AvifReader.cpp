#include "CodecReaders.h"

#include "AllCores.h"
#include "CFile.h"
#include "ColourEncoding.h"

#include <avif/avif.h>
#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace avif_reader {

namespace {

struct DecoderRelease {
    void operator()(avifDecoder* decoder) const noexcept { avifDecoderDestroy(decoder); }
};
using Decoder = std::unique_ptr<avifDecoder, DecoderRelease>;

[[noreturn]] void fail(const std::string& path, avifResult result, const avifDecoder* decoder) {
    std::string message = avifResultToString(result);
    if (decoder != nullptr && decoder->diag.error[0] != '\0') {
        message += fmt::sprintf(": %s", decoder->diag.error);
    }
    throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, message));
}

// A decoder that has parsed the file's boxes: the size the container declares, checked, and
// the colour its CICP codes name (libavif settles them during the parse, from the nclx box or
// else the AV1 sequence header).
struct Header {
    Decoder decoder;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    colour::Encoding colour;
    PixelEncoding encoding = PixelEncoding::Rgb8;
};

Header parseHeader(const std::string& path, const SizeLimit& limit) {
    Header header;
    header.decoder.reset(avifDecoderCreate());
    avifDecoder* decoder = header.decoder.get();
    if (decoder == nullptr) {
        throw std::bad_alloc();
    }
    decoder->maxThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    decoder->ignoreExif = AVIF_TRUE;
    decoder->ignoreXMP = AVIF_TRUE;
    // libavif's own bounds for what it sizes while it parses (grids, tracks); the picture's
    // size is judged against ours below.
    decoder->imageSizeLimit = AVIF_DEFAULT_IMAGE_SIZE_LIMIT;
    decoder->imageDimensionLimit = AVIF_DEFAULT_IMAGE_DIMENSION_LIMIT;
    // What the strict checks demand (pixi, a valid clap, an alpha ispe) is conformance, not
    // safety, and files of older writers lack it.
    decoder->strictFlags = AVIF_STRICT_DISABLED;
    avifResult result = avifDecoderSetIOFile(decoder, path.c_str());
    if (result != AVIF_RESULT_OK) {
        // The system's reason where the file does not open.
        openFile(path, "rb");
        fail(path, result, decoder);
    }
    result = avifDecoderParse(decoder);
    if (result != AVIF_RESULT_OK) {
        fail(path, result, decoder);
    }
    const avifImage& image = *decoder->image;
    header.width = image.width;
    header.height = image.height;
    // An ICC profile is not applied yet: a file that has one and no CICP codes (2, unspecified)
    // is read as sRGB.
    header.colour.primaries = colour::primariesFromCicp(image.colorPrimaries);
    header.colour.transfer = colour::transferFromCicp(image.transferCharacteristics);
    header.encoding =
        colour::isHdr(header.colour.transfer) ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
    checkPictureSize(limit, header.width, header.height, header.encoding, path);
    return header;
}

// Rows converted per call of avifImageYUVToRGB, and the rows above and below each band that
// the call sees too: bilinear chroma upsampling reads the neighbouring chroma row, which a
// band of its own would replace by its edge. Bands start on even rows, so that a view of
// 4:2:0 planes begins on a chroma row.
constexpr std::uint32_t bandRows = 64;
constexpr std::uint32_t bandMargin = 2;

class BandConverter {
public:
    BandConverter(const avifImage& image, const colour::SignalConverter& converter,
                  PixelEncoding encoding, unsigned char* out, const std::string& path)
        : image(image), converter(converter), encoding(encoding), out(out), path(path) {
        avifPixelFormatInfo info;
        avifGetPixelFormatInfo(image.yuvFormat, &info);
        chromaShiftY = info.chromaShiftY;
    }

    // Bands [first, last) into `out`; `scratch` holds one band's RGB codes.
    void convert(long first, long last, std::vector<std::uint16_t>& scratch) const {
        for (long band = first; band < last; ++band) {
            const std::uint32_t y0 = static_cast<std::uint32_t>(band) * bandRows;
            convertBand(y0, std::min(image.height, y0 + bandRows), scratch);
        }
    }

private:
    void convertBand(std::uint32_t y0, std::uint32_t y1, std::vector<std::uint16_t>& scratch) const {
        const std::uint32_t top = y0 >= bandMargin ? y0 - bandMargin : 0;
        const std::uint32_t bottom = std::min(image.height, y1 + bandMargin);
        // A view of the decoder's planes; it owns nothing.
        avifImage view = image;
        view.height = bottom - top;
        view.imageOwnsYUVPlanes = AVIF_FALSE;
        view.alphaPlane = nullptr;
        view.alphaRowBytes = 0;
        view.imageOwnsAlphaPlane = AVIF_FALSE;
        for (int plane = 0; plane < AVIF_PLANE_COUNT_YUV; ++plane) {
            if (view.yuvPlanes[plane] != nullptr) {
                const std::uint32_t row = plane == AVIF_CHAN_Y ? top : top >> chromaShiftY;
                view.yuvPlanes[plane] += static_cast<std::size_t>(row) * view.yuvRowBytes[plane];
            }
        }
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, &view);
        rgb.format = AVIF_RGB_FORMAT_RGB;
        rgb.depth = image.depth;
        rgb.ignoreAlpha = AVIF_TRUE;
        const std::size_t channelBytes = image.depth > 8 ? 2 : 1;
        rgb.rowBytes = static_cast<std::uint32_t>(image.width * 3 * channelBytes);
        scratch.resize((static_cast<std::size_t>(rgb.rowBytes) * view.height + 1) / 2);
        rgb.pixels = reinterpret_cast<std::uint8_t*>(scratch.data());
        const avifResult result = avifImageYUVToRGB(&view, &rgb);
        if (result != AVIF_RESULT_OK) {
            fail(path, result, nullptr);
        }
        const std::size_t outBytes = encoding == PixelEncoding::Rgbe ? 4 : 3;
        for (std::uint32_t y = y0; y < y1; ++y) {
            const std::uint8_t* row = rgb.pixels + static_cast<std::size_t>(y - top) * rgb.rowBytes;
            unsigned char* target = out + static_cast<std::size_t>(y) * image.width * outBytes;
            if (channelBytes == 2) {
                const auto* codes = reinterpret_cast<const std::uint16_t*>(row);
                encoding == PixelEncoding::Rgbe
                    ? converter.toRgbe(codes, 3, image.width, target)
                    : converter.toRgb8(codes, 3, image.width, target);
            } else {
                encoding == PixelEncoding::Rgbe ? converter.toRgbe(row, 3, image.width, target)
                                                : converter.toRgb8(row, 3, image.width, target);
            }
        }
    }

    const avifImage& image;
    const colour::SignalConverter& converter;
    PixelEncoding encoding;
    unsigned char* out;
    const std::string& path;
    int chromaShiftY = 0;
};

} // namespace

// The container's size is checked before the AV1 payload is decoded; libavif scales a frame
// of another size to it. The YUV to RGB conversion and the transfer run band by band on every
// core, straight into the picture.
Picture read(const std::string& path, const SizeLimit& limit) {
    Header header = parseHeader(path, limit);
    avifDecoder* decoder = header.decoder.get();
    // dav1d refuses frames beyond this before it allocates them: a small header cannot hide a
    // vast frame.
    const std::uint64_t area = std::uint64_t(header.width) * header.height;
    decoder->imageSizeLimit =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(AVIF_DEFAULT_IMAGE_SIZE_LIMIT, 4 * area));
    const avifResult result = avifDecoderNextImage(decoder);
    if (result != AVIF_RESULT_OK) {
        fail(path, result, decoder);
    }
    const avifImage& image = *decoder->image;
    if (image.width != header.width || image.height != header.height ||
        image.yuvPlanes[AVIF_CHAN_Y] == nullptr) {
        throw std::runtime_error(
            fmt::sprintf("Failed to read file '%s': decoded %ux%u, the header says %ux%u", path,
                         image.width, image.height, header.width, header.height));
    }
    if (image.depth != 8 && image.depth != 10 && image.depth != 12) {
        throw std::runtime_error(
            fmt::sprintf("Failed to read file '%s': %u bits a sample", path, image.depth));
    }
    Picture picture;
    picture.allocate(static_cast<int>(image.width), static_cast<int>(image.height),
                     header.encoding);
    if (colour::absoluteWhite(header.colour.transfer) > 0.0) {
        picture.candelaPerUnit = colour::referenceWhite;
    }
    const colour::SignalConverter converter(header.colour, static_cast<int>(image.depth));
    const BandConverter bands(image, converter, header.encoding, picture.pixels.get(), path);
    runOnAllCores(
        (image.height + bandRows - 1) / bandRows,
        [&bands](long first, long last) {
            std::vector<std::uint16_t> scratch;
            bands.convert(first, last, scratch);
        },
        2);
    return picture;
}

PictureInfo probe(const std::string& path, const SizeLimit& limit) {
    const Header header = parseHeader(path, limit);
    PictureInfo info;
    info.width = static_cast<int>(header.width);
    info.height = static_cast<int>(header.height);
    info.encoding = header.encoding;
    return info;
}

} // namespace avif_reader

BOOST_DLL_ALIAS(avif_reader::read, marovexAvifRead)
BOOST_DLL_ALIAS(avif_reader::probe, marovexAvifProbe)
