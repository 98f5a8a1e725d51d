// libheif's struct heif_reader takes the name of this module's namespace; renamed here, where
// nothing uses it (the functions' C linkage ignores the name).
#define heif_reader libheif_reader
#include <libheif/heif.h>
#undef heif_reader

#include "AllCores.h"
#include "AppleGainMap.h"
#include "CodecReaders.h"
#include "ColourEncoding.h"
#include "Diagnostics.h"
#include "GainMapSetting.h"
#include "RgbeEncode.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace heif_reader {

namespace {

using Context = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
using Handle = std::unique_ptr<const heif_image_handle, decltype(&heif_image_handle_release)>;
using Image = std::unique_ptr<const heif_image, decltype(&heif_image_release)>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, decltype(&heif_nclx_color_profile_free)>;
using Options = std::unique_ptr<heif_decoding_options, decltype(&heif_decoding_options_free)>;

// Larger metadata blocks and profiles are not ours to read.
constexpr std::size_t largestBlock = std::size_t(16) << 20;

[[noreturn]] void fail(const std::string& path, const std::string& message) {
    throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, message));
}

void check(const heif_error& error, const std::string& path) {
    if (error.code != heif_error_Ok) {
        std::string message = error.message != nullptr ? error.message : "unknown error";
        // Some of libheif's messages end in a line feed.
        message.erase(message.find_last_not_of(" \n") + 1);
        fail(path, message);
    }
}

// libheif's own limit refuses forged sizes while it parses, before any tile is allocated.
Context openContext(const std::string& path, const SizeLimit& limit) {
    Context context(heif_context_alloc(), &heif_context_free);
    if (!context) {
        throw std::bad_alloc();
    }
    const long side = std::max(limit.pieceLimit * limit.maxPieces, limit.pieceLimit * limit.maxRows);
    heif_context_set_maximum_image_size_limit(context.get(),
                                              static_cast<int>(std::min<long>(side, INT_MAX)));
    heif_context_set_max_decoding_threads(
        context.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    check(heif_context_read_from_file(context.get(), path.c_str(), nullptr), path);
    return context;
}

Handle primaryHandle(heif_context* context, const std::string& path) {
    heif_image_handle* handle = nullptr;
    check(heif_context_get_primary_image_handle(context, &handle), path);
    return Handle(handle, &heif_image_handle_release);
}

bool describesDisplayP3(const std::vector<unsigned char>& icc) {
    // The description is ASCII in version 2 profiles and UTF-16 (big-endian) in version 4.
    static const std::string ascii = "Display P3";
    std::string wide;
    for (char c : ascii) {
        wide += '\0';
        wide += c;
    }
    const std::string bytes(icc.begin(), icc.end());
    return bytes.find(ascii) != std::string::npos || bytes.find(wide) != std::string::npos;
}

// The colours the primary image's colr boxes say; a file that says nothing is sRGB.
colour::Encoding encodingOf(const heif_image_handle* handle) {
    colour::Encoding encoding;
    heif_color_profile_nclx* found = nullptr;
    const heif_error error = heif_image_handle_get_nclx_color_profile(handle, &found);
    // Some of its errors come with a profile allocated all the same.
    const Nclx nclx(found, &heif_nclx_color_profile_free);
    if (error.code == heif_error_Ok && nclx) {
        encoding.primaries = colour::primariesFromCicp(nclx->color_primaries);
        encoding.transfer = colour::transferFromCicp(nclx->transfer_characteristics);
        return encoding;
    }
    // ICC profiles are applied elsewhere later; until then Display P3's primaries are known
    // by name and every other profile is taken for sRGB.
    const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
    if (size > 0 && size <= largestBlock) {
        std::vector<unsigned char> icc(size);
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok &&
            describesDisplayP3(icc)) {
            encoding.primaries = colour::Primaries::DisplayP3;
        }
    }
    return encoding;
}

// The id of the primary image's Apple gain map, if it has one.
std::optional<heif_item_id> gainMapId(const heif_image_handle* handle) {
    const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
    const int count = heif_image_handle_get_number_of_auxiliary_images(handle, filter);
    if (count <= 0) {
        return std::nullopt;
    }
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    const int listed = heif_image_handle_get_list_of_auxiliary_image_IDs(handle, filter, ids.data(),
                                                                        count);
    for (int i = 0; i < std::min(listed, count); ++i) {
        heif_image_handle* aux = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(handle, ids[i], &aux).code !=
            heif_error_Ok) {
            continue;
        }
        const Handle auxHandle(aux, &heif_image_handle_release);
        const char* type = nullptr;
        if (heif_image_handle_get_auxiliary_type(aux, &type).code != heif_error_Ok ||
            type == nullptr) {
            continue;
        }
        const bool gainMap = std::strcmp(type, apple_gain_map::auxiliaryType) == 0;
        heif_image_handle_free_auxiliary_types(aux, &type);
        if (gainMap) {
            return ids[i];
        }
    }
    return std::nullopt;
}

std::vector<unsigned char> exifOf(const heif_image_handle* handle);

struct Header {
    int width = 0;
    int height = 0;
    colour::Encoding encoding;
    std::optional<heif_item_id> gainMap;
    // Whether the gain map is to be applied: read once, so that a read keeps its setting.
    bool applyGainMap = false;
    bool baseRendition = false;
    // Its headroom, from the EXIF maker note; why it cannot be applied where it cannot.
    double headroom = 1.0;
    std::string gainMapProblem;
    PixelEncoding pixels = PixelEncoding::Rgb8;
};

// What the read and the probe both judge, before any pixel is decoded.
Header headerOf(const heif_image_handle* handle, const std::string& path,
                const SizeLimit& limit) {
    Header header;
    header.width = heif_image_handle_get_width(handle);
    header.height = heif_image_handle_get_height(handle);
    if (header.width <= 0 || header.height <= 0) {
        fail(path, fmt::sprintf("picture of %dx%d pixels", header.width, header.height));
    }
    header.encoding = encodingOf(handle);
    if (!colour::isHdr(header.encoding.transfer)) {
        header.gainMap = gainMapId(handle);
        header.applyGainMap = header.gainMap && gainMapsApplied();
    }
    // The probe reads the maker note too, so that it tells the encoding the read gives.
    if (header.applyGainMap) {
        try {
            const std::vector<unsigned char> exif = exifOf(handle);
            header.headroom = apple_gain_map::headroomFromExif(exif.data(), exif.size());
        } catch (const std::runtime_error& error) {
            header.applyGainMap = false;
            header.gainMapProblem = error.what();
        }
    }
    // The base rendition of a gain-map photo is radiance too, so that the switch compares the
    // two at one exposure.
    header.baseRendition = header.gainMap && !gainMapsApplied();
    header.pixels =
        colour::isHdr(header.encoding.transfer) || header.applyGainMap || header.baseRendition
            ? PixelEncoding::Rgbe
            : PixelEncoding::Rgb8;
    checkPictureSize(limit, header.width, header.height, header.pixels, path);
    return header;
}

Options decodingOptions() {
    Options options(heif_decoding_options_alloc(), &heif_decoding_options_free);
    if (!options) {
        throw std::bad_alloc();
    }
    // A truncated or damaged stream is an error, not a picture with grey tiles.
    options->strict_decoding = 1;
    return options;
}

// libheif applies the file's irot, imir and clap (its default); the EXIF orientation, which
// should say the same, is left alone so that nothing turns twice.
Image decode(const heif_image_handle* handle, heif_colorspace space, heif_chroma chroma,
             const std::string& path) {
    const Options options = decodingOptions();
    heif_image* image = nullptr;
    check(heif_decode_image(handle, &image, space, chroma, options.get()), path);
    return Image(image, &heif_image_release);
}

// One plane of a decoded image, checked to hold `width` x `height` samples of `bytes` each.
struct Plane {
    const std::uint8_t* data = nullptr;
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    int bits = 0;
};

Plane planeOf(const heif_image* image, heif_channel channel, int samples, const std::string& path) {
    Plane plane;
    plane.width = heif_image_get_width(image, channel);
    plane.height = heif_image_get_height(image, channel);
    plane.bits = heif_image_get_bits_per_pixel_range(image, channel);
    int stride = 0;
    plane.data = heif_image_get_plane_readonly(image, channel, &stride);
    plane.stride = stride;
    const std::ptrdiff_t rowBytes =
        static_cast<std::ptrdiff_t>(plane.width) * samples * (plane.bits > 8 ? 2 : 1);
    if (plane.data == nullptr || plane.width <= 0 || plane.height <= 0 || plane.bits < 8 ||
        plane.bits > 16 || plane.stride < rowBytes) {
        fail(path, "the decoder gave no usable pixels");
    }
    return plane;
}

struct MapImage {
    Image image{nullptr, &heif_image_release};
    Plane plane;
    double headroom = 1.0;
};

// The EXIF block of the primary image without its leading offset, as TIFF bytes.
std::vector<unsigned char> exifOf(const heif_image_handle* handle) {
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) < 1) {
        throw std::runtime_error("no EXIF block");
    }
    const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size < 4 || size > largestBlock) {
        throw std::runtime_error(fmt::sprintf("EXIF block of %u bytes", size));
    }
    std::vector<unsigned char> block(size);
    const heif_error error = heif_image_handle_get_metadata(handle, id, block.data());
    if (error.code != heif_error_Ok) {
        throw std::runtime_error(error.message);
    }
    // The first four bytes count those before the TIFF header.
    const std::size_t skip = static_cast<std::size_t>(block[0]) << 24 | block[1] << 16 |
                             block[2] << 8 | block[3];
    if (skip > size - 4) {
        throw std::runtime_error("EXIF block's offset past its end");
    }
    block.erase(block.begin(), block.begin() + 4 + static_cast<std::ptrdiff_t>(skip));
    return block;
}

// Throws std::runtime_error saying why the map cannot be used.
MapImage readGainMap(const heif_image_handle* primary, heif_item_id id, const Header& header) {
    MapImage map;
    map.headroom = header.headroom;
    heif_image_handle* found = nullptr;
    heif_error error = heif_image_handle_get_auxiliary_image_handle(primary, id, &found);
    if (error.code != heif_error_Ok) {
        throw std::runtime_error(error.message);
    }
    const Handle handle(found, &heif_image_handle_release);
    const int width = heif_image_handle_get_width(found);
    const int height = heif_image_handle_get_height(found);
    if (width <= 0 || height <= 0 || width > header.width || height > header.height) {
        throw std::runtime_error(fmt::sprintf("it is %dx%d pixels", width, height));
    }
    heif_image* image = nullptr;
    const Options options = decodingOptions();
    error = heif_decode_image(found, &image, heif_colorspace_monochrome, heif_chroma_monochrome,
                              options.get());
    if (error.code != heif_error_Ok) {
        throw std::runtime_error(error.message);
    }
    map.image.reset(image);
    try {
        map.plane = planeOf(image, heif_channel_Y, 1, "");
    } catch (const std::runtime_error&) {
        throw std::runtime_error("its decoder gave no usable pixels");
    }
    if (map.plane.bits != 8) {
        throw std::runtime_error(fmt::sprintf("it has %d bits", map.plane.bits));
    }
    return map;
}

template <typename Code>
const Code* rowOf(const Plane& plane, long y) {
    return reinterpret_cast<const Code*>(plane.data + y * plane.stride);
}

template <typename Code>
void convert(const Plane& plane, const colour::Encoding& encoding, PixelEncoding target,
             Picture& picture) {
    const colour::SignalConverter converter(encoding, plane.bits);
    unsigned char* const out = picture.pixels.get();
    const std::size_t rowBytes = static_cast<std::size_t>(plane.width) * bytesPerPixel(target);
    runOnAllCores(plane.height, [&](long y0, long y1) {
        for (long y = y0; y < y1; ++y) {
            unsigned char* o = out + static_cast<std::size_t>(y) * rowBytes;
            if (target == PixelEncoding::Rgbe) {
                converter.toRgbe(rowOf<Code>(plane, y), 3, plane.width, o);
            } else {
                converter.toRgb8(rowOf<Code>(plane, y), 3, plane.width, o);
            }
        }
    });
}

// SDR base times the map's factor, 1 + (headroom - 1) * gain, in linear light.
template <typename Code>
void applyGain(const Plane& plane, const colour::Encoding& encoding, const MapImage& map,
                  Picture& picture) {
    const colour::SignalConverter converter(encoding, plane.bits);
    const colour::Matrix m = colour::toRec709(encoding.primaries);
    const apple_gain_map::GainSampler sampler(map.plane.data, map.plane.width, map.plane.height,
                                              map.plane.stride, plane.width, plane.height);
    const float extra = static_cast<float>(map.headroom - 1.0);
    unsigned char* const out = picture.pixels.get();
    runOnAllCores(plane.height, [&](long y0, long y1) {
        std::vector<float> gains(static_cast<std::size_t>(plane.width));
        for (long y = y0; y < y1; ++y) {
            sampler.row(static_cast<int>(y), gains.data());
            const Code* p = rowOf<Code>(plane, y);
            unsigned char* o = out + static_cast<std::size_t>(y) * plane.width * 4;
            for (int x = 0; x < plane.width; ++x, p += 3, o += 4) {
                const float f = 1.0f + extra * gains[x];
                const float r = converter.linear(p[0]) * f;
                const float g = converter.linear(p[1]) * f;
                const float b = converter.linear(p[2]) * f;
                rgbe::encodeFast(rgbe::encodable(m[0] * r + m[1] * g + m[2] * b),
                                 rgbe::encodable(m[3] * r + m[4] * g + m[5] * b),
                                 rgbe::encodable(m[6] * r + m[7] * g + m[8] * b), o);
            }
        }
    });
}

} // namespace

Picture read(const std::string& path, const SizeLimit& limit) {
    const Context context = openContext(path, limit);
    const Handle primary = primaryHandle(context.get(), path);
    const Header header = headerOf(primary.get(), path, limit);
    std::optional<MapImage> gainMap;
    std::string problem = header.gainMapProblem;
    if (header.applyGainMap) {
        try {
            gainMap = readGainMap(primary.get(), *header.gainMap, header);
        } catch (const std::runtime_error& error) {
            problem = error.what();
        }
    }
    if (!problem.empty()) {
        diagnostic(fmt::sprintf("Warning: ignoring the gain map of '%s': %s", path, problem));
    }
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(primary.get()) > 8;
    const Image image = decode(primary.get(), heif_colorspace_RGB,
                               deep ? heif_chroma_interleaved_RRGGBB_LE
                                    : heif_chroma_interleaved_RGB,
                               path);
    const Plane plane = planeOf(image.get(), heif_channel_interleaved, 3, path);
    if ((plane.bits > 8) != deep) {
        fail(path, fmt::sprintf("the decoder gave %d bits", plane.bits));
    }
    // The handle's size is the transformed one, as the probe told it.
    if (plane.width != header.width || plane.height != header.height) {
        fail(path, fmt::sprintf("the decoder gave %dx%d pixels, not %dx%d", plane.width,
                                plane.height, header.width, header.height));
    }
    // A map that fails to decode leaves the base in the encoding the probe told.
    const PixelEncoding target = header.pixels;
    Picture picture;
    picture.allocate(plane.width, plane.height, target);
    if (gainMap) {
        deep ? applyGain<std::uint16_t>(plane, header.encoding, *gainMap, picture)
             : applyGain<std::uint8_t>(plane, header.encoding, *gainMap, picture);
        picture.gainMap = GainMap::Applied;
    } else {
        deep ? convert<std::uint16_t>(plane, header.encoding, target, picture)
             : convert<std::uint8_t>(plane, header.encoding, target, picture);
        if (header.baseRendition) {
            picture.gainMap = GainMap::Base;
        }
    }
    if (colour::absoluteWhite(header.encoding.transfer) > 0.0) {
        picture.candelaPerUnit = colour::absoluteWhite(header.encoding.transfer);
    }
    return picture;
}

PictureInfo probe(const std::string& path, const SizeLimit& limit) {
    const Context context = openContext(path, limit);
    const Handle primary = primaryHandle(context.get(), path);
    const Header header = headerOf(primary.get(), path, limit);
    PictureInfo info;
    info.width = header.width;
    info.height = header.height;
    info.encoding = header.pixels;
    return info;
}

} // namespace heif_reader

BOOST_DLL_ALIAS(heif_reader::read, marovexHeifRead)
BOOST_DLL_ALIAS(heif_reader::probe, marovexHeifProbe)
