#include "Readers.h"

#include "CFile.h"
#include "Diagnostics.h"
#include "GainMapJpeg.h"
#include "GainMapRowFeed.h"
#include "GainMapSetting.h"
#include "JpegCodec.h"
#include "PanoramaMetadata.h"

#include <fmt/printf.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

// Adobe CMYK files store inverted inks, which is what libjpeg hands out: 255 means no ink.
void cmykToRgb(const unsigned char* cmyk, unsigned char* rgb, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
        const unsigned k = cmyk[3];
        for (int c = 0; c < 3; ++c) {
            rgb[c] = static_cast<unsigned char>((cmyk[c] * k + 127) / 255);
        }
    }
}

// libjpeg's warnings on standard error as before, each line naming the file; the end of the
// data is remembered, to judge how much of the picture the file held.
struct WarningWatch {
    const std::string* path = nullptr;
    bool ended = false;
    unsigned endRow = 0;
    int endScan = 0;
};

void watchWarnings(JpegDecoder& decoder, WarningWatch& watch, const std::string& path) {
    watch.path = &path;
    decoder.watch = &watch;
    decoder.errors.emit_message = [](j_common_ptr common, int level) {
        if (level >= 0) {
            return;
        }
        auto* current =
            static_cast<WarningWatch*>(static_cast<JpegDecoder*>(common->client_data)->watch);
        auto* info = reinterpret_cast<j_decompress_ptr>(common);
        // The file ended, or its data did before a marker.
        const int code = common->err->msg_code;
        if ((code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) && !current->ended) {
            current->ended = true;
            current->endRow = info->input_iMCU_row;
            current->endScan = info->input_scan_number;
        }
        // One line a warning kind, as libjpeg prints the first of all by itself.
        if (common->err->num_warnings++ == 0 || common->err->msg_code == JWRN_JPEG_EOF) {
            char message[JMSG_LENGTH_MAX];
            (*common->err->format_message)(common, message);
            std::fprintf(stderr, "Warning: JPEG file '%s': %s\n", current->path->c_str(), message);
        }
    };
}

// libjpeg's own messages name no file.
template <typename Call> void namedStep(JpegDecoder& decoder, const std::string& path, Call call) {
    try {
        jpegCall(decoder, call);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, error.what()));
    }
}

struct Header {
    // The picture's, once its metadata is applied.
    long width;
    long height;
    // CMYK or YCCK: inks.
    bool cmyk;
};

// The header read into `decoder` and the picture checked against the card and the memory.
Header readHeader(JpegDecoder& decoder, std::FILE* file, const PanoramaMetadata& metadata,
                  const std::string& path, const SizeLimit& limit, PixelEncoding encoding) {
    jpeg_decompress_struct& info = decoder.info;
    namedStep(decoder, path, [&] {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file);
        jpeg_read_header(&info, TRUE);
    });
    // Progressive files hold every coefficient while they decode; beyond this libjpeg fails
    // rather than grow.
    info.mem->max_memory_to_use =
        static_cast<long>(std::min<std::size_t>(memoryBudget(), LONG_MAX));
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    namedStep(decoder, path, [&] { jpeg_calc_output_dimensions(&info); });
    // The size checked is the upright one: a photo stored sideways is shown turned.
    const std::pair<long, long> size =
        checkPanoramaSize(metadata, info.output_width, info.output_height, path, limit);
    checkMemoryBudget(info.output_width, info.output_height, encoding, path);
    return {size.first, size.second, cmyk};
}

// Whether the primary image's header announces a gain map that the read will apply or use:
// the file is left at its start.
bool announcedGainMap(std::FILE* file) {
    const std::vector<unsigned char> header = jpegHeaderBytes(file);
    std::rewind(file);
    return announcesGainMap(header.data(), header.size());
}

// Where each decoded row goes (nullptr: the decode stops there), and the count of rows done.
using RowDestination = std::function<unsigned char*(long y)>;
using RowsDecoded = std::function<void(long rows)>;

// The rows of the picture whose header `decoder` has read, as stored (before the metadata),
// each into its destination.
void decodeRows(JpegDecoder& decoder, const WarningWatch& watch, bool cmyk,
                const std::string& path, const RowDestination& destination,
                const RowsDecoded& decoded) {
    jpeg_decompress_struct& info = decoder.info;
    const auto step = [&](auto call) { namedStep(decoder, path, call); };
    const std::size_t width = info.output_width;
    // A file that ends before half the rows of its first scan is refused: a forged size on a
    // few bytes would otherwise pass as a grey picture of any size. Later ends keep libjpeg's
    // tolerance, the rest grey.
    const auto shortFile = [&] {
        return watch.ended && watch.endScan <= 1 && 2 * (watch.endRow + 1) < info.total_iMCU_rows;
    };
    // CMYK rows are decoded one at a time into a row buffer and converted in place of RGB.
    std::unique_ptr<unsigned char[]> cmykRow(cmyk ? new unsigned char[width * 4] : nullptr);
    bool stopped = false;
    step([&] {
        jpeg_start_decompress(&info);
        while (info.output_scanline < info.output_height && !shortFile()) {
            unsigned char* rgb = destination(info.output_scanline);
            if (rgb == nullptr) {
                stopped = true;
                return;
            }
            JSAMPROW row = cmyk ? cmykRow.get() : rgb;
            jpeg_read_scanlines(&info, &row, 1);
            if (cmyk) {
                cmykToRgb(cmykRow.get(), rgb, width);
            }
            if (decoded) {
                decoded(info.output_scanline);
            }
        }
    });
    if (shortFile()) {
        throw std::runtime_error(
            fmt::sprintf("Truncated JPEG file '%s': the data ends in row %d of %d", path,
                         watch.endRow * info.max_v_samp_factor * DCTSIZE, info.image_height));
    }
    if (!stopped) {
        step([&] { jpeg_finish_decompress(&info); });
    }
}

// The picture whose header `decoder` has read, as stored (before the metadata).
Picture decodePicture(JpegDecoder& decoder, const WarningWatch& watch, bool cmyk,
                      const std::string& path) {
    const jpeg_decompress_struct& info = decoder.info;
    Picture picture;
    picture.allocate(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                     PixelEncoding::Rgb8);
    const std::size_t rowBytes = static_cast<std::size_t>(info.output_width) * 3;
    decodeRows(
        decoder, watch, cmyk, path,
        [&](long y) { return picture.pixels.get() + static_cast<std::size_t>(y) * rowBytes; },
        RowsDecoded());
    return picture;
}

// The whole file, read before libjpeg reads from it; empty where it cannot be.
std::vector<unsigned char> wholeFile(std::FILE* file) {
    std::vector<unsigned char> bytes;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        if (size > 0 && static_cast<unsigned long>(size) <= memoryBudget()) {
            bytes.resize(static_cast<std::size_t>(size));
            std::rewind(file);
            if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
                bytes.clear();
            }
        }
    }
    std::rewind(file);
    return bytes;
}

void ignoreGainMap(const std::string& path, const std::string& why) {
    diagnostic(fmt::sprintf("Warning: ignoring the gain map of '%s': %s", path, why));
}

// The HDR rendition, each band of base rows applied on the other cores as soon as libjpeg has
// decoded it, the last ones on this thread too. The base rows go round a few bands of memory
// rather than fill a picture of their own.
Picture decodeApplying(JpegDecoder& decoder, const WarningWatch& watch, const std::string& path,
                       const GainMapPlan& plan, const GainMapImage& codes) {
    const long width = decoder.info.output_width;
    const long height = decoder.info.output_height;
    const GainMapApply apply(plan.metadata, codes, static_cast<int>(width),
                             static_cast<int>(height), plan.primaries);
    Picture picture;
    picture.allocate(static_cast<int>(width), static_cast<int>(height), PixelEncoding::Rgbe);
    picture.gainMap = GainMap::Applied;
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    GainMapRowFeed feed(height, 16, 4 * threads);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    const std::size_t bandBytes = rowBytes * static_cast<std::size_t>(feed.bandRows());
    std::unique_ptr<unsigned char[]> ring(
        new unsigned char[bandBytes * static_cast<std::size_t>(feed.slotCount())]);
    const auto slot = [&](long y) {
        return ring.get() + static_cast<std::size_t>(y / feed.bandRows() % feed.slotCount()) * bandBytes;
    };
    const auto work = [&] {
        try {
            long y0 = 0, y1 = 0;
            while (feed.next(y0, y1)) {
                apply.rgbeRows(slot(y0), picture.pixels.get(), y0, y1);
                feed.applied(y0);
            }
        } catch (...) {
            feed.abandon();
            throw;
        }
    };
    std::vector<std::future<void>> workers;
    for (unsigned t = 1; t < threads; ++t) {
        workers.push_back(std::async(std::launch::async, work));
    }
    const auto finish = [&] {
        for (std::future<void>& worker : workers) {
            worker.get();
        }
    };
    try {
        decodeRows(
            decoder, watch, false, path,
            [&](long y) -> unsigned char* {
                return feed.waitWritable(y)
                           ? slot(y) + static_cast<std::size_t>(y % feed.bandRows()) * rowBytes
                           : nullptr;
            },
            [&](long rows) { feed.decoded(rows); });
    } catch (...) {
        feed.abandon();
        for (std::future<void>& worker : workers) {
            worker.wait();
        }
        throw;
    }
    feed.decoded(height);
    work();
    finish();
    return picture;
}

// The SDR rendition as radiance, its white at 1.0: the gain-map switch then compares the two
// renditions at one exposure, and at f-stop 0 this one shows as the JPEG itself.
Picture linearSdr(const Picture& sdr, colour::Primaries primaries) {
    Picture picture;
    picture.allocate(sdr.width, sdr.height, PixelEncoding::Rgbe);
    picture.gainMap = GainMap::Base;
    GainMapApply::linearBase(sdr.pixels.get(), sdr.width, sdr.height, primaries,
                             picture.pixels.get());
    return picture;
}

// The picture of a file whose primary image announces a gain map, its header read into
// `decoder`: the HDR rendition where gain maps are applied, else the SDR one, both as radiance
// with the SDR white at 1.0; the base alone (8-bit) with one warning line where the gain map
// cannot be used. An HDR base is itself the HDR rendition (linearised through sRGB, its white
// at 1.0); its SDR rendition is the map applied at full weight from it, clipped to the SDR
// white.
Picture readWithGainMap(JpegDecoder& decoder, const WarningWatch& watch, bool cmyk,
                        const std::vector<unsigned char>& bytes, const std::string& path) {
    const jpeg_decompress_struct& info = decoder.info;
    const bool applied = gainMapsApplied();
    GainMapPlan plan;
    try {
        if (cmyk) {
            throw std::runtime_error("its primary image is CMYK");
        }
        if (bytes.empty()) {
            throw std::runtime_error("the file cannot be read whole");
        }
        plan = planGainMap(bytes.data(), bytes.size(), info.image_width, info.image_height);
    } catch (const std::runtime_error& error) {
        ignoreGainMap(path, error.what());
        return decodePicture(decoder, watch, cmyk, path);
    }
    const bool needsMap = applied != plan.metadata.baseIsHdr;
    // A small map is decoded first, and applied to each band of the base as it decodes; a
    // large one decodes beside the base, on a thread of its own, and is applied after.
    const double mapShare = static_cast<double>(plan.width) * plan.height * plan.channels /
                            (3.0 * info.image_width * info.image_height);
    if (needsMap && applied && mapShare <= 0.25) {
        GainMapImage codes;
        try {
            codes = decodeGainMap(bytes.data(), plan);
        } catch (const std::runtime_error& error) {
            ignoreGainMap(path, error.what());
            return decodePicture(decoder, watch, cmyk, path);
        }
        return decodeApplying(decoder, watch, path, plan, codes);
    }
    std::future<GainMapImage> map;
    if (needsMap) {
        map = std::async(std::launch::async, [&] { return decodeGainMap(bytes.data(), plan); });
    }
    Picture base = decodePicture(decoder, watch, cmyk, path);
    if (!needsMap && !applied) {
        return linearSdr(base, plan.primaries);
    }
    Picture picture;
    picture.allocate(base.width, base.height, applied ? PixelEncoding::Rgbe : PixelEncoding::Rgb8);
    picture.gainMap = applied ? GainMap::Applied : GainMap::Base;
    if (!needsMap) {
        GainMapApply::linearBase(base.pixels.get(), base.width, base.height, plan.primaries,
                                 picture.pixels.get());
        return picture;
    }
    GainMapImage codes;
    try {
        codes = map.get();
    } catch (const std::runtime_error& error) {
        ignoreGainMap(path, error.what());
        return base;
    }
    const GainMapApply apply(plan.metadata, codes, base.width, base.height, plan.primaries);
    if (applied) {
        apply.toRgbe(base.pixels.get(), picture.pixels.get());
        return picture;
    }
    apply.toSrgb8(base.pixels.get(), picture.pixels.get());
    return linearSdr(picture, colour::Primaries::Bt709);
}

} // namespace

Picture readJpeg(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    const PanoramaMetadata metadata = readPanoramaMetadata(path);
    const bool gainMap = announcedGainMap(file.get());
    const std::vector<unsigned char> bytes = gainMap ? wholeFile(file.get()) : std::vector<unsigned char>();
    JpegDecoder decoder;
    WarningWatch watch;
    watchWarnings(decoder, watch, path);
    const PixelEncoding encoding = gainMap ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
    const bool cmyk = readHeader(decoder, file.get(), metadata, path, limit, encoding).cmyk;
    Picture picture = gainMap ? readWithGainMap(decoder, watch, cmyk, bytes, path)
                              : decodePicture(decoder, watch, cmyk, path);
    applyPanoramaMetadata(picture, metadata, path);
    return picture;
}

PictureInfo probeJpeg(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    const PanoramaMetadata metadata = readPanoramaMetadata(path);
    // Either rendition of a gain-map photo takes 4 bytes a pixel: the budgets count them,
    // though a broken map found later gives the 3 of the base alone.
    const bool gainMap = announcedGainMap(file.get());
    const PixelEncoding encoding = gainMap ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
    JpegDecoder decoder;
    // The read that follows says libjpeg's warnings.
    decoder.errors.emit_message = [](j_common_ptr, int) {};
    const Header header = readHeader(decoder, file.get(), metadata, path, limit, encoding);
    PictureInfo info;
    info.width = static_cast<int>(header.width);
    info.height = static_cast<int>(header.height);
    info.encoding = encoding;
    return info;
}
