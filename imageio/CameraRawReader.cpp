#include "AllCores.h"
#include "CodecReaders.h"
#include "PanoramaMetadata.h"
#include "RgbeEncode.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>
#include <libraw/libraw.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>

// Camera raws developed by LibRaw to scene-linear radiance in Rec.709 primaries, the sensor's
// white point at 1.0.
namespace camera_raw {

namespace {

constexpr const char* failure = "Failed to read file '%s': %s";

// What LibRaw said of the data while it decoded: a broken stream is a failure even where it
// goes on and makes a picture of what it has.
struct DataErrors {
    int count = 0;
    int offset = 0;
};

void countDataError(void* data, const char*, const int offset) {
    DataErrors& errors = *static_cast<DataErrors*>(data);
    if (errors.count++ == 0) {
        errors.offset = offset;
    }
}

// LibRaw's state is several hundred kilobytes: kept off the caller's stack, which may be a
// worker's.
class Developer {
public:
    explicit Developer(const std::string& path)
        : path(path), raw(std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_DATAERR_CALLBACK)) {
        raw->set_dataerror_handler(countDataError, &errors);
        setOptions();
        open();
    }

    Developer(const Developer&) = delete;
    Developer& operator=(const Developer&) = delete;

    LibRaw& libraw() { return *raw; }

    // The developed picture's size as LibRaw will make it: after the rotation of Fuji's
    // diagonal sensors, the stretch of non-square pixels and the camera's turn. Spends the
    // parse: open() again before unpacking.
    std::pair<long, long> outputSize() {
        check(raw->adjust_sizes_info_only());
        return {raw->imgdata.sizes.iwidth, raw->imgdata.sizes.iheight};
    }

    // Whether LibRaw's buffers for the picture fit its own limit and, beside the developed
    // picture, the memory budget: the raw photosites (four values a pixel where there is no
    // colour filter) and the developed image of four 16-bit values a pixel.
    bool fitsMemory(long width, long height) const {
        const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
        const double rawBytes = static_cast<double>(sizes.raw_width) * sizes.raw_height *
                                (raw->imgdata.idata.filters != 0 ? 1 : 4) * sizeof(ushort);
        const double pixels = static_cast<double>(width) * static_cast<double>(height);
        const double mib = 1024.0 * 1024.0;
        return rawBytes <= raw->imgdata.params.max_raw_memory_mb * mib &&
               rawBytes + pixels * (8 + bytesPerPixel(PixelEncoding::Rgbe)) <=
                   static_cast<double>(memoryBudget());
    }

    void open() {
        raw->recycle();
        check(raw->open_file(path.c_str()));
    }

    void develop() {
        check(raw->unpack());
        checkData();
        check(raw->dcraw_process());
        checkData();
    }

    void check(int code) const {
        if (code != LIBRAW_SUCCESS) {
            throw std::runtime_error(fmt::sprintf(failure, path, libraw_strerror(code)));
        }
    }

private:
    void setOptions() {
        libraw_output_params_t& params = raw->imgdata.params;
        // The camera's white balance; where the file has none LibRaw takes the daylight of its
        // colour matrix, or averages the picture.
        params.use_camera_wb = 1;
        params.use_auto_wb = 0;
        params.output_color = 1;
        params.output_bps = 16;
        params.gamm[0] = 1.0;
        params.gamm[1] = 1.0;
        params.no_auto_bright = 1;
        // Otherwise LibRaw takes a picture's largest value for the white level when it is
        // within 75 % of it, and the scale of radiance would change from picture to picture.
        params.adjust_maximum_thr = 0.0f;
        // The white balance puts channels that the sensor held past the white of the least
        // amplified one, and there a saturated photosite's true value is lost. Of LibRaw's
        // modes, clip (0) cuts the former, turning bright saturated colours yellow or white;
        // unclip (1) keeps them but leaves highlights that saturated every photosite magenta;
        // blend (2) makes those white but desaturates the former as well. Rebuild (3, the
        // mildest) keeps what the sensor held and rebuilds the saturated channels from their
        // neighbours, which leaves a clipped highlight neutral.
        params.highlight = 3;
        params.half_size = 0;
        const std::size_t budgetMiB = memoryBudget() >> 20;
        params.max_raw_memory_mb =
            static_cast<unsigned>(std::min<std::size_t>(budgetMiB, LIBRAW_MAX_ALLOC_MB_DEFAULT));
    }

    void checkData() const {
        if (errors.count > 0) {
            throw std::runtime_error(fmt::sprintf(
                failure, path,
                errors.offset < 0 ? std::string("unexpected end of file")
                                  : fmt::sprintf("corrupt data at offset %d", errors.offset)));
        }
    }

    std::string path;
    DataErrors errors;
    std::unique_ptr<LibRaw> raw;
};

// The developed picture's size and its panorama metadata, checked as every reader checks a
// header. LibRaw turns the picture itself, so the metadata's orientation is dropped.
struct Layout {
    long width = 0;
    long height = 0;
    PanoramaMetadata panorama;
    // The size read gives: a cropped panorama's full canvas.
    std::pair<long, long> canvas;
};

Layout checkedLayout(Developer& developer, const std::string& path, const SizeLimit& limit) {
    Layout layout;
    std::tie(layout.width, layout.height) = developer.outputSize();
    checkPictureSize(limit, layout.width, layout.height, PixelEncoding::Rgbe, path);
    if (!developer.fitsMemory(layout.width, layout.height)) {
        throw std::runtime_error(fmt::sprintf("Picture of '%s' too large for memory (%dx%d)", path,
                                              layout.width, layout.height));
    }
    layout.panorama = readPanoramaMetadata(path);
    layout.panorama.orientation = 1;
    layout.canvas = checkPanoramaSize(layout.panorama, layout.width, layout.height, path, limit);
    checkMemoryBudget(layout.canvas.first, layout.canvas.second, PixelEncoding::Rgbe, path);
    return layout;
}

// The pixel of LibRaw's unturned image that lands at (x, y) of the turned picture, as LibRaw's
// own writers place it; along a row of the turned picture it moves by a fixed step.
struct Turn {
    int flip;
    long width;
    long height;

    long source(long x, long y) const {
        long row = y;
        long column = x;
        if (flip & 4) {
            std::swap(row, column);
        }
        if (flip & 2) {
            row = height - 1 - row;
        }
        if (flip & 1) {
            column = width - 1 - column;
        }
        return row * width + column;
    }
};

} // namespace

Picture read(const std::string& path, const SizeLimit& limit) {
    Developer developer(path);
    const Layout layout = checkedLayout(developer, path, limit);
    developer.open();
    developer.develop();

    LibRaw& raw = developer.libraw();
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    const Turn turn{sizes.flip, sizes.iwidth, sizes.iheight};
    const long width = (turn.flip & 4) ? turn.height : turn.width;
    const long height = (turn.flip & 4) ? turn.width : turn.height;
    if (raw.imgdata.image == nullptr || width != layout.width || height != layout.height) {
        throw std::runtime_error(
            fmt::sprintf(failure, path, "the developed picture is not the size announced"));
    }

    // Outside the clip mode LibRaw scales each channel so that the most amplified one's white
    // is 65535; a neutral at the sensor's white then lies at the least amplified one's.
    const float* multipliers = raw.imgdata.color.pre_mul;
    const float least = *std::min_element(multipliers, multipliers + 4);
    const float most = *std::max_element(multipliers, multipliers + 4);
    if (!(least > 0.0f) || !(most >= least)) {
        throw std::runtime_error(fmt::sprintf(failure, path, "no white balance"));
    }
    const float scale = most / (least * 65535.0f);

    Picture picture;
    picture.allocate(static_cast<int>(width), static_cast<int>(height), PixelEncoding::Rgbe);
    picture.fileName = path;
    const ushort(*image)[4] = raw.imgdata.image;
    // Monochrome sensors develop to their one channel.
    const int green = raw.imgdata.idata.colors == 1 ? 0 : 1;
    const int blue = raw.imgdata.idata.colors == 1 ? 0 : 2;
    unsigned char* out = picture.pixels.get();
    runOnAllCores(height, [&](long y0, long y1) {
        for (long y = y0; y < y1; ++y) {
            unsigned char* row = out + static_cast<std::size_t>(y) * width * 4;
            const long start = turn.source(0, y);
            const long step = width > 1 ? turn.source(1, y) - start : 0;
            for (long x = 0; x < width; ++x) {
                const ushort* pixel = image[start + x * step];
                rgbe::encodeFast(pixel[0] * scale, pixel[green] * scale, pixel[blue] * scale,
                                 row + x * 4);
            }
        }
    });
    // 360° cameras' DNGs seldom say what they are; their shape does.
    if (width == 2 * height) {
        picture.projectionHint = ProjectionHint::Equirectangular;
    }
    applyPanoramaMetadata(picture, layout.panorama, path);
    return picture;
}

PictureInfo probe(const std::string& path, const SizeLimit& limit) {
    Developer developer(path);
    const Layout layout = checkedLayout(developer, path, limit);
    return {static_cast<int>(layout.canvas.first), static_cast<int>(layout.canvas.second),
            PixelEncoding::Rgbe};
}

} // namespace camera_raw

BOOST_DLL_ALIAS(camera_raw::read, marovexRawRead)
BOOST_DLL_ALIAS(camera_raw::probe, marovexRawProbe)
