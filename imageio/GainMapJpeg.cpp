#include "GainMapJpeg.h"

#include "JpegCodec.h"
#include "Picture.h"

#include <fmt/printf.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace {

// The map's own header read into `decoder`; libjpeg's warnings kept quiet, an early end noted
// in `ended`.
void readMapHeader(JpegDecoder& decoder, const unsigned char* data, std::size_t size,
                   bool* ended) {
    decoder.watch = ended;
    decoder.errors.emit_message = [](j_common_ptr common, int level) {
        const int code = common->err->msg_code;
        if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)) {
            *static_cast<bool*>(static_cast<JpegDecoder*>(common->client_data)->watch) = true;
        }
    };
    try {
        jpegCall(decoder, [&] {
            jpeg_create_decompress(&decoder.info);
            jpeg_mem_src(&decoder.info, data, static_cast<unsigned long>(size));
            jpeg_read_header(&decoder.info, TRUE);
        });
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(fmt::sprintf("its JPEG fails: %s", error.what()));
    }
    decoder.info.mem->max_memory_to_use =
        static_cast<long>(std::min<std::size_t>(memoryBudget(), LONG_MAX));
}

GainMapMetadata mapMetadata(const unsigned char* map, const GainMapSegments& segments) {
    const bool hasXmp =
        segments.xmp.find("http://ns.adobe.com/hdr-gain-map/1.0/") != std::string::npos;
    if (segments.iso.offset != 0) {
        try {
            return parseIsoMetadata(map + segments.iso.offset, segments.iso.length);
        } catch (const std::runtime_error&) {
            if (!hasXmp) {
                throw;
            }
        }
    }
    if (!hasXmp) {
        throw std::runtime_error("the gain map image holds no gain map metadata");
    }
    return parseHdrgmMetadata(segments.xmp);
}

} // namespace

GainMapPlan planGainMap(const unsigned char* file, std::size_t size, long baseWidth,
                        long baseHeight) {
    const GainMapSegments primary = gainMapSegments(file, jpegSegments(file, size));
    GainMapPlan plan;
    plan.bytes = locateGainMap(file, size, primary);
    const unsigned char* map = file + plan.bytes.offset;
    plan.metadata = mapMetadata(map, gainMapSegments(map, jpegSegments(map, plan.bytes.length)));
    if (iccDescribesP3(file, primary.icc)) {
        plan.primaries = colour::Primaries::DisplayP3;
    }
    JpegDecoder decoder;
    bool ended = false;
    readMapHeader(decoder, map, plan.bytes.length, &ended);
    const jpeg_decompress_struct& info = decoder.info;
    if (info.num_components != 1 && info.num_components != 3) {
        throw std::runtime_error(
            fmt::sprintf("its JPEG has %d channels", info.num_components));
    }
    if (info.image_width == 0 || info.image_height == 0 || info.image_width > baseWidth ||
        info.image_height > baseHeight) {
        throw std::runtime_error(fmt::sprintf("it is %dx%d, beyond the picture's %dx%d",
                                              info.image_width, info.image_height, baseWidth,
                                              baseHeight));
    }
    plan.width = static_cast<int>(info.image_width);
    plan.height = static_cast<int>(info.image_height);
    plan.channels = info.num_components;
    return plan;
}

GainMapImage decodeGainMap(const unsigned char* file, const GainMapPlan& plan) {
    JpegDecoder decoder;
    bool ended = false;
    readMapHeader(decoder, file + plan.bytes.offset, plan.bytes.length, &ended);
    jpeg_decompress_struct& info = decoder.info;
    info.out_color_space = plan.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    GainMapImage map;
    map.width = plan.width;
    map.height = plan.height;
    map.channels = plan.channels;
    const std::size_t rowBytes = static_cast<std::size_t>(map.width) * map.channels;
    map.codes = allocatePixels(rowBytes * map.height);
    try {
        jpegCall(decoder, [&] {
            jpeg_start_decompress(&info);
            if (info.output_width != static_cast<unsigned>(map.width) ||
                info.output_height != static_cast<unsigned>(map.height) ||
                info.output_components != map.channels) {
                ended = true;
                return;
            }
            while (info.output_scanline < info.output_height && !ended) {
                JSAMPROW row = map.codes.get() + info.output_scanline * rowBytes;
                jpeg_read_scanlines(&info, &row, 1);
            }
            if (!ended) {
                jpeg_finish_decompress(&info);
            }
        });
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(fmt::sprintf("its JPEG fails: %s", error.what()));
    }
    if (ended) {
        throw std::runtime_error("its JPEG data ends early");
    }
    return map;
}
