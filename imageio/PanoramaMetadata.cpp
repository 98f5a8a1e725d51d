#include "PanoramaMetadata.h"

#include "Diagnostics.h"

#include <exiv2/exiv2.hpp>
#include <fmt/printf.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

std::runtime_error invalid(const std::string& path, const std::string& why) {
    return std::runtime_error(fmt::sprintf("Invalid panorama metadata in '%s': %s", path, why));
}

// A GPano pixel count: digits only, at most 9 of them, so that every sum stays exact.
long pixelCount(const std::string& path, const std::string& key, const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        throw invalid(path, fmt::sprintf("%s is '%s'", key, text));
    }
    return std::stol(text);
}

void initialiseExiv2() {
    static const bool ready = [] {
        // Parsing XMP on several threads needs the toolkit set up once beforehand.
        Exiv2::XmpParser::initialize();
        Exiv2::LogMsg::setHandler([](int, const char* message) {
            std::string line = message;
            while (!line.empty() && line.back() == '\n') {
                line.pop_back();
            }
            diagnostic("exiv2: " + line);
        });
        return true;
    }();
    (void)ready;
}

// Where the picture's pixels go on the canvas, in canvas pixels.
struct Canvas {
    long width = 0;
    long height = 0;
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};

// The canvas at the picture's own resolution: the full panorama scaled as the picture is to
// its cropped area, made 2:1.
// Pixel counts below 1e9 and a picture within the limit keep every number here exact in a long.
Canvas canvasOf(const PanoramaCrop& crop, long width) {
    const double scale = static_cast<double>(width) / static_cast<double>(crop.width);
    const double half = std::round(static_cast<double>(crop.fullWidth) * scale / 2.0);
    Canvas canvas;
    canvas.height = std::max(1L, static_cast<long>(half));
    canvas.width = 2 * canvas.height;
    const double sx = static_cast<double>(canvas.width) / static_cast<double>(crop.fullWidth);
    const double sy = static_cast<double>(canvas.height) / static_cast<double>(crop.fullHeight);
    canvas.x0 = static_cast<double>(crop.left) * sx;
    canvas.x1 = static_cast<double>(crop.left + crop.width) * sx;
    canvas.y0 = static_cast<double>(crop.top) * sy;
    canvas.y1 = static_cast<double>(crop.top + crop.height) * sy;
    return canvas;
}

bool swapsSides(int orientation) {
    return orientation >= 5 && orientation <= 8;
}

// The stored pixel shown at (x, y) of the upright picture, for EXIF orientations 1 to 8.
std::array<long, 2> storedPixel(int orientation, long x, long y, long width, long height) {
    switch (orientation) {
    case 2:
        return {width - 1 - x, y};
    case 3:
        return {width - 1 - x, height - 1 - y};
    case 4:
        return {x, height - 1 - y};
    case 5:
        return {y, x};
    case 6:
        return {y, height - 1 - x};
    case 7:
        return {width - 1 - y, height - 1 - x};
    case 8:
        return {width - 1 - y, x};
    default:
        return {x, y};
    }
}

void turnUpright(Picture& picture, int orientation) {
    if (orientation < 2 || orientation > 8) {
        return;
    }
    const long width = picture.width;
    const long height = picture.height;
    const std::size_t bytes = bytesPerPixel(picture.encoding);
    Picture upright;
    upright.allocate(swapsSides(orientation) ? picture.height : picture.width,
                     swapsSides(orientation) ? picture.width : picture.height, picture.encoding);
    const unsigned char* in = picture.pixels.get();
    unsigned char* out = upright.pixels.get();
    for (long y = 0; y < upright.height; ++y) {
        for (long x = 0; x < upright.width; ++x) {
            const auto from = storedPixel(orientation, x, y, width, height);
            std::memcpy(out, in + (static_cast<std::size_t>(from[1]) * width + from[0]) * bytes,
                        bytes);
            out += bytes;
        }
    }
    picture.pixels = std::move(upright.pixels);
    picture.width = upright.width;
    picture.height = upright.height;
}

void placeOnCanvas(Picture& picture, const Canvas& canvas, const std::string& path) {
    const std::size_t bytes = bytesPerPixel(picture.encoding);
    Picture placed;
    try {
        placed.allocate(static_cast<int>(canvas.width), static_cast<int>(canvas.height),
                        picture.encoding);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error(
            fmt::sprintf("Panorama canvas of '%s' too large for memory (%dx%d)", path, canvas.width,
                         canvas.height));
    }
    // Zero bytes are black both as RGBE and as 8-bit RGB.
    std::memset(placed.pixels.get(), 0, placed.byteCount());
    const double xScale = picture.width / (canvas.x1 - canvas.x0);
    const double yScale = picture.height / (canvas.y1 - canvas.y0);
    const long firstRow = std::max(0L, static_cast<long>(std::ceil(canvas.y0 - 0.5)));
    const long endRow = std::min(canvas.height, static_cast<long>(std::ceil(canvas.y1 - 0.5)));
    const long firstColumn = std::max(0L, static_cast<long>(std::ceil(canvas.x0 - 0.5)));
    const long endColumn = std::min(canvas.width, static_cast<long>(std::ceil(canvas.x1 - 0.5)));
    // Nearest pixel by the centres: a picture at the cropped area's size is copied unchanged.
    for (long y = firstRow; y < endRow; ++y) {
        const long sy =
            std::min<long>(picture.height - 1, static_cast<long>((y + 0.5 - canvas.y0) * yScale));
        const unsigned char* row =
            picture.pixels.get() +
            static_cast<std::size_t>(sy) * static_cast<std::size_t>(picture.width) * bytes;
        unsigned char* out = placed.pixels.get() +
                             (static_cast<std::size_t>(y) * canvas.width + firstColumn) * bytes;
        for (long x = firstColumn; x < endColumn; ++x, out += bytes) {
            const long sx = std::min<long>(picture.width - 1,
                                           static_cast<long>((x + 0.5 - canvas.x0) * xScale));
            std::memcpy(out, row + static_cast<std::size_t>(sx) * bytes, bytes);
        }
    }
    picture.pixels = std::move(placed.pixels);
    picture.width = placed.width;
    picture.height = placed.height;
}

} // namespace

PanoramaMetadata readPanoramaMetadata(const std::string& path) {
    initialiseExiv2();
    PanoramaMetadata metadata;
    std::array<std::string, 6> crop;
    bool equirectangular = false;
    try {
        // A local file whatever the name: exiv2 would fetch "http:" names itself.
        Exiv2::Image::AutoPtr image =
            Exiv2::ImageFactory::open(Exiv2::BasicIo::AutoPtr(new Exiv2::FileIo(path)));
        if (image.get() == nullptr) {
            diagnostic(fmt::sprintf("No metadata read from '%s': unknown image type", path));
            return PanoramaMetadata();
        }
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != exif.end() && orientation->count() > 0) {
            const long value = orientation->toLong();
            metadata.orientation = value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
        }
        static const char* const keys[6] = {
            "Xmp.GPano.FullPanoWidthPixels",         "Xmp.GPano.FullPanoHeightPixels",
            "Xmp.GPano.CroppedAreaImageWidthPixels", "Xmp.GPano.CroppedAreaImageHeightPixels",
            "Xmp.GPano.CroppedAreaLeftPixels",       "Xmp.GPano.CroppedAreaTopPixels"};
        // Compared by name: a key of a namespace exiv2 does not know could not be made.
        for (const Exiv2::Xmpdatum& datum : image->xmpData()) {
            const std::string key = datum.key();
            if (key == "Xmp.GPano.ProjectionType") {
                equirectangular = datum.toString() == "equirectangular";
            }
            for (std::size_t i = 0; i < crop.size(); ++i) {
                if (key == keys[i]) {
                    crop[i] = datum.toString();
                    if (crop[i].empty()) {
                        crop[i] = " ";
                    }
                }
            }
        }
        const std::size_t given = std::count_if(crop.begin(), crop.end(),
                                                [](const std::string& v) { return !v.empty(); });
        if (given > 0 && given < crop.size()) {
            for (std::size_t i = 0; i < crop.size(); ++i) {
                if (crop[i].empty()) {
                    throw invalid(path, fmt::sprintf("%s is missing", keys[i]));
                }
            }
        }
        if (given == crop.size()) {
            long* const fields[6] = {&metadata.crop.fullWidth, &metadata.crop.fullHeight,
                                     &metadata.crop.width,     &metadata.crop.height,
                                     &metadata.crop.left,      &metadata.crop.top};
            for (std::size_t i = 0; i < crop.size(); ++i) {
                *fields[i] = pixelCount(path, keys[i], crop[i]);
            }
            metadata.cropped = true;
        }
    } catch (const Exiv2::AnyError& error) {
        diagnostic(fmt::sprintf("No metadata read from '%s': %s", path, error.what()));
        return PanoramaMetadata();
    }
    metadata.equirectangular = equirectangular || metadata.cropped;
    return metadata;
}

std::pair<long, long> checkPanoramaSize(const PanoramaMetadata& metadata, long width,
                                        long height, const std::string& path,
                                        const SizeLimit& limit) {
    if (swapsSides(metadata.orientation)) {
        std::swap(width, height);
    }
    limit.check(width, height, path);
    if (!metadata.cropped) {
        return {width, height};
    }
    const PanoramaCrop& crop = metadata.crop;
    if (crop.fullWidth <= 0 || crop.fullHeight <= 0 || crop.width <= 0 || crop.height <= 0 ||
        crop.left + crop.width > crop.fullWidth || crop.top + crop.height > crop.fullHeight) {
        throw invalid(path,
                      fmt::sprintf("cropped area %dx%d at %d,%d outside the full panorama %dx%d",
                                   crop.width, crop.height, crop.left, crop.top, crop.fullWidth,
                                   crop.fullHeight));
    }
    const Canvas canvas = canvasOf(crop, width);
    limit.check(canvas.width, canvas.height, path);
    // Half the machine's memory at most: the picture is held beside its canvas.
    const double memory =
        static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (static_cast<double>(canvas.width) * static_cast<double>(canvas.height) * 4.0 >
        memory / 2.0) {
        throw std::runtime_error(
            fmt::sprintf("Panorama canvas of '%s' too large for memory (%dx%d)", path, canvas.width,
                         canvas.height));
    }
    return {canvas.width, canvas.height};
}

void applyPanoramaMetadata(Picture& picture, const PanoramaMetadata& metadata,
                           const std::string& path) {
    turnUpright(picture, metadata.orientation);
    if (metadata.equirectangular) {
        picture.projectionHint = ProjectionHint::Equirectangular;
    }
    if (!metadata.cropped) {
        return;
    }
    const Canvas canvas = canvasOf(metadata.crop, picture.width);
    if (canvas.width == picture.width && canvas.height == picture.height && canvas.x0 == 0 &&
        canvas.y0 == 0 && canvas.x1 == picture.width && canvas.y1 == picture.height) {
        return;
    }
    placeOnCanvas(picture, canvas, path);
}
