#include "OiioHeader.h"

#include "CFile.h"
#include "FileName.h"
#include "OiioModule.h"

#include <fmt/printf.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

namespace oiio_header {

using OIIO::ImageInput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

// OpenImageIO reports failures as strings kept by the reader or by the library: one line
// each, some repeated a row at a time, the TIFF reader's preceded by one naming the file.
// Kept are the first few distinct lines of their own.
std::runtime_error readFailure(const std::string& path, const std::string& message) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < message.size() && lines.size() < 3) {
        const std::size_t end = std::min(message.find('\n', start), message.size());
        const std::string line = message.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line != path &&
            std::find(lines.begin(), lines.end(), line) == lines.end()) {
            lines.push_back(line);
        }
    }
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "; ") + line;
    }
    // Some of its readers fail on short data without a word.
    if (text.empty()) {
        text = "damaged or truncated data";
    }
    return std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, text));
}

namespace {

// A string of the header up to its zero byte; false when the file ends or it runs too long.
bool readName(std::FILE* file, std::string& name) {
    name.clear();
    for (int c; (c = std::getc(file)) != EOF;) {
        if (c == 0) {
            return true;
        }
        if (name.size() == 255) {
            return false;
        }
        name.push_back(static_cast<char>(c));
    }
    return false;
}

std::int32_t little32(const unsigned char* bytes) {
    return static_cast<std::int32_t>(std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
                                     std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24);
}

// The size of a box2i window, when its corners are in order.
bool windowSize(const unsigned char* box, long long& width, long long& height) {
    width = static_cast<long long>(little32(box + 8)) - little32(box) + 1;
    height = static_cast<long long>(little32(box + 12)) - little32(box + 4) + 1;
    return width > 0 && height > 0;
}

// OpenEXR 3.1 allocates an attribute of the size its header states before reading it, and
// line buffers as wide as the data window when a part is opened, so a forged size costs
// gigabytes and seconds before OpenImageIO shows us the header. Here, before: attribute sizes
// beyond the end of the file are refused, and every part's display and data windows must fit
// the card and the memory. Anything else amiss is left to OpenEXR to report.
void checkExrHeaders(const std::string& path, const SizeLimit& limit) {
    File file(std::fopen(path.c_str(), "rb"), &std::fclose);
    struct stat st;
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    unsigned char head[8];
    if (std::fread(head, 1, sizeof head, file.get()) != sizeof head || head[0] != 0x76 ||
        head[1] != 0x2f || head[2] != 0x31 || head[3] != 0x01) {
        return;
    }
    const bool multipart = (head[5] & 0x10) != 0;
    std::string name;
    std::string type;
    for (;;) {
        while (readName(file.get(), name) && !name.empty()) {
            unsigned char size[4];
            if (!readName(file.get(), type) || std::fread(size, 1, 4, file.get()) != 4) {
                return;
            }
            const long long bytes = little32(size);
            const long long left = static_cast<long long>(st.st_size) - std::ftell(file.get());
            if (bytes < 0 || bytes > left) {
                throw readFailure(path, fmt::sprintf("attribute '%s' of %d bytes runs past the end",
                                                     name, bytes));
            }
            unsigned char box[16];
            long long width = 0;
            long long height = 0;
            if ((name == "dataWindow" || name == "displayWindow") && type == "box2i" &&
                bytes == sizeof box) {
                if (std::fread(box, 1, sizeof box, file.get()) != sizeof box) {
                    return;
                }
                if (windowSize(box, width, height)) {
                    // Rgbe's four bytes a pixel: the most any picture of ours takes.
                    checkPictureSize(limit, static_cast<long>(width), static_cast<long>(height),
                                     PixelEncoding::Rgbe, path);
                }
            } else if (std::fseek(file.get(), static_cast<long>(bytes), SEEK_CUR) != 0) {
                return;
            }
        }
        // Parts' headers follow one another up to an empty one.
        const int next = std::getc(file.get());
        if (!multipart || !name.empty() || next == 0 || next == EOF) {
            return;
        }
        std::ungetc(next, file.get());
    }
}

// OpenImageIO's GIF reader decodes the first frame onto a canvas of the logical screen when
// the file is opened, before its size is shown to us: the screen is read here from the header
// and checked first. Like giflib, any version after "GIF" is taken. A file too short or of
// another kind is left to the reader to refuse.
void checkGifScreen(const std::string& path, const SizeLimit& limit) {
    unsigned char head[10];
    File file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file || std::fread(head, 1, sizeof head, file.get()) != sizeof head ||
        std::memcmp(head, "GIF", 3) != 0) {
        return;
    }
    const long width = head[6] | head[7] << 8;
    const long height = head[8] | head[9] << 8;
    if (width > 0 && height > 0) {
        checkPictureSize(limit, width, height, PixelEncoding::Rgb8, path);
    }
}

// OpenImageIO's WebP reader allocates the whole decoded picture when the file is opened (a
// gigabyte for a forged 16383 x 16383 of a few bytes): its canvas is read here first, from
// the extended header, else from the lossless or lossy bitstream's own.
void checkWebpCanvas(const std::string& path, const SizeLimit& limit) {
    unsigned char head[30];
    File file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file || std::fread(head, 1, sizeof head, file.get()) != sizeof head ||
        std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WEBP", 4) != 0) {
        return;
    }
    const unsigned char* chunk = head + 12;
    const unsigned char* data = head + 20;
    long width = 0;
    long height = 0;
    if (std::memcmp(chunk, "VP8X", 4) == 0) {
        // Flags, then the canvas less one in 24 bits each.
        width = (data[4] | data[5] << 8 | data[6] << 16) + 1L;
        height = (data[7] | data[8] << 8 | data[9] << 16) + 1L;
    } else if (std::memcmp(chunk, "VP8L", 4) == 0 && data[0] == 0x2f) {
        // The signature byte, then 14 bits each, less one.
        const std::uint32_t bits = static_cast<std::uint32_t>(little32(data + 1));
        width = (bits & 0x3fff) + 1L;
        height = (bits >> 14 & 0x3fff) + 1L;
    } else if (std::memcmp(chunk, "VP8 ", 4) == 0 && data[3] == 0x9d && data[4] == 0x01 &&
               data[5] == 0x2a) {
        // A key frame's tag and start code, then 14 bits each (the top two bits scale).
        width = (data[6] | data[7] << 8) & 0x3fff;
        height = (data[8] | data[9] << 8) & 0x3fff;
    }
    if (width > 0 && height > 0) {
        checkPictureSize(limit, width, height, PixelEncoding::Rgb8, path);
    }
}

// OpenImageIO's PFM reader takes any scale, and multiplies the pixels by it: 0 made them
// black, infinity white, NaN nothing sensible. The scale's sign is the byte order; its size
// must be a finite number other than 0. Headers it cannot read are left to the reader.
void checkPfmScale(const std::string& path) {
    char head[256];
    File file(std::fopen(path.c_str(), "rb"), &std::fclose);
    const std::size_t size = file ? std::fread(head, 1, sizeof head, file.get()) : 0;
    if (size < 2 || head[0] != 'P' || (head[1] != 'F' && head[1] != 'f')) {
        return;
    }
    // The magic, then width, height and scale, between blanks and comments.
    std::size_t at = 2;
    std::string token;
    for (int field = 0; field < 3; ++field) {
        for (;;) {
            while (at < size && std::isspace(static_cast<unsigned char>(head[at]))) {
                ++at;
            }
            if (at >= size || head[at] != '#') {
                break;
            }
            while (at < size && head[at] != '\n') {
                ++at;
            }
        }
        const std::size_t begin = at;
        while (at < size && !std::isspace(static_cast<unsigned char>(head[at]))) {
            ++at;
        }
        if (at >= size) {
            return;
        }
        token.assign(head + begin, at - begin);
    }
    // Read as C reads it whatever the locale; out of range is 0 or infinity to a float.
    double scale = 0.0;
    const char* const end = token.data() + token.size();
    const auto [stop, error] = std::from_chars(token.data(), end, scale);
    if (stop == end && (error == std::errc::result_out_of_range ||
                        (error == std::errc() && (!std::isfinite(scale) || scale == 0.0 ||
                                                  !std::isfinite(static_cast<float>(scale)) ||
                                                  static_cast<float>(scale) == 0.0f)))) {
        throw readFailure(
            path, fmt::sprintf("PFM scale '%s' is not a finite number other than 0", token));
    }
}

// OpenImageIO's BMP reader keeps the pixels' offset as a signed number: from 2 GiB on, its
// seeks failed and it returned what it had read before as the picture. Any offset at or beyond
// the end of the file is refused here, with the sizes.
void checkBmpOffset(const std::string& path) {
    unsigned char head[14];
    File file(std::fopen(path.c_str(), "rb"), &std::fclose);
    struct stat st;
    if (!file || fstat(fileno(file.get()), &st) != 0 ||
        std::fread(head, 1, sizeof head, file.get()) != sizeof head || head[0] != 'B' ||
        head[1] != 'M') {
        return;
    }
    const std::uint32_t offset = static_cast<std::uint32_t>(little32(head + 10));
    if (static_cast<long long>(offset) >= static_cast<long long>(st.st_size)) {
        throw readFailure(path, fmt::sprintf("BMP pixels at byte %u, beyond the end of the file "
                                             "(%d bytes)",
                                             offset, static_cast<long long>(st.st_size)));
    }
}

// A layer's channels are named "layer.R" and so on: the layer is all before the last dot.
std::string layerOf(const std::string& channel) {
    const std::size_t dot = channel.rfind('.');
    return dot == std::string::npos ? std::string() : channel.substr(0, dot);
}

std::string baseOf(const std::string& channel) {
    const std::size_t dot = channel.rfind('.');
    return dot == std::string::npos ? channel : channel.substr(dot + 1);
}

// The first layer of `header` with R, G and B channels, or with Y when `grey`.
bool findLayer(const ImageSpec& header, bool grey, Selection& selection) {
    std::vector<std::string> layers;
    for (const std::string& name : header.channelnames) {
        const std::string layer = layerOf(name);
        if (std::find(layers.begin(), layers.end(), layer) == layers.end()) {
            layers.push_back(layer);
        }
    }
    for (const std::string& layer : layers) {
        std::array<int, 3> found{{-1, -1, -1}};
        for (int c = 0; c < header.nchannels && c < static_cast<int>(header.channelnames.size());
             ++c) {
            const std::string& name = header.channelnames[static_cast<std::size_t>(c)];
            if (layerOf(name) != layer) {
                continue;
            }
            const std::string base = baseOf(name);
            if (grey && base == "Y") {
                found = {{c, c, c}};
            } else if (!grey && (base == "R" || base == "G" || base == "B")) {
                found[base == "R" ? 0 : base == "G" ? 1 : 2] = c;
            }
        }
        if (found[0] >= 0 && found[1] >= 0 && found[2] >= 0) {
            selection.channels = found;
            selection.layer = layer;
            return true;
        }
    }
    return false;
}

bool isFloat(TypeDesc type) {
    return type.basetype == TypeDesc::HALF || type.basetype == TypeDesc::FLOAT ||
           type.basetype == TypeDesc::DOUBLE;
}

// What OpenImageIO's readers act on when a file is opened, before its header is shown to us,
// read from the first bytes and checked: OpenEXR's windows and attribute sizes, GIF's logical
// screen and WebP's canvas against `limit` and the memory, PFM's scale and BMP's pixel offset.
// A file too short or of another kind is left to OpenImageIO to refuse.
void checkBeforeOpening(const char* format, const std::string& path, const SizeLimit& limit) {
    if (std::strcmp(format, "openexr") == 0) {
        checkExrHeaders(path, limit);
    }
    if (std::strcmp(format, "gif") == 0) {
        checkGifScreen(path, limit);
    }
    if (std::strcmp(format, "webp") == 0) {
        checkWebpCanvas(path, limit);
    }
    if (std::strcmp(format, "pnm") == 0) {
        checkPfmScale(path);
    }
    if (std::strcmp(format, "bmp") == 0) {
        checkBmpOffset(path);
    }
}

// Parts beyond these are not looked at.
constexpr int maxParts = 1024;

// The first part and layer with R, G and B, else the first with Y, else the first part's
// first three channels (or its first as grey when it has fewer).
Selection choose(ImageInput& input, const std::string& path) {
    std::vector<ImageSpec> parts;
    ImageSpec found;
    for (int s = 0; s < maxParts && input.seek_subimage(s, 0, found); ++s) {
        parts.push_back(found);
    }
    if (parts.empty()) {
        throw readFailure(path, input.geterror());
    }
    Selection selection;
    for (const bool grey : {false, true}) {
        for (std::size_t s = 0; s < parts.size(); ++s) {
            if (findLayer(parts[s], grey, selection)) {
                selection.subimage = static_cast<int>(s);
                break;
            }
        }
        if (selection.subimage >= 0) {
            break;
        }
    }
    if (selection.subimage < 0) {
        selection.subimage = 0;
        const int n = parts[0].nchannels;
        if (n <= 0) {
            throw readFailure(path, "no channels");
        }
        selection.channels = n >= 3 ? std::array<int, 3>{{0, 1, 2}} : std::array<int, 3>{{0, 0, 0}};
        // Photometric interpretation 5 is "separated": inks.
        if (n >= 4 && parts[0].get_int_attribute("tiff:PhotometricInterpretation") == 5) {
            selection.black = 3;
        }
    }
    selection.header = parts[static_cast<std::size_t>(selection.subimage)];
    const std::string part = selection.header.get_string_attribute("oiio:subimagename");
    if (parts.size() > 1 && !part.empty()) {
        selection.layer = selection.layer.empty() ? part : part + "." + selection.layer;
    }
    return selection;
}

// The selected part's windows checked, and the picture's display window, once `metadata` is
// applied, against `limit` and the memory; returns the picture's size and encoding (RGBE for
// floating-point channels).
PictureInfo checkSelection(const Selection& selection, const PanoramaMetadata& metadata,
                           const std::string& path, const SizeLimit& limit) {
    const ImageSpec& header = selection.header;
    if (header.full_width <= 0 || header.full_height <= 0 || header.width <= 0 ||
        header.height <= 0) {
        throw readFailure(
            path, fmt::sprintf("empty picture (%dx%d)", header.full_width, header.full_height));
    }
    if (header.depth > 1) {
        throw readFailure(path, fmt::sprintf("volume of depth %d", header.depth));
    }
    // Window corners well inside the int range keep every sum of a corner and a size exact.
    const long far = 1L << 30;
    if (std::abs(long(header.x)) > far || std::abs(long(header.y)) > far ||
        std::abs(long(header.full_x)) > far || std::abs(long(header.full_y)) > far) {
        throw readFailure(path, fmt::sprintf("window origins %d,%d and %d,%d out of range",
                                             header.x, header.y, header.full_x, header.full_y));
    }
    // The picture is the display window, checked upright; a data window of another size is
    // read too, and must fit as well.
    if (header.width != header.full_width || header.height != header.full_height) {
        limit.check(header.width, header.height, path);
    }
    const std::pair<long, long> size =
        checkPanoramaSize(metadata, header.full_width, header.full_height, path, limit);
    const bool hdr = isFloat(header.channelformat(selection.channels[0]));
    checkMemoryBudget(header.full_width, header.full_height,
                      hdr ? PixelEncoding::Rgbe : PixelEncoding::Rgb8, path);
    PictureInfo info;
    info.width = static_cast<int>(size.first);
    info.height = static_cast<int>(size.second);
    info.encoding = hdr ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
    return info;
}

} // namespace

OpenedFile openChecked(const std::string& path, const SizeLimit& limit) {
    OpenedFile opened;
    opened.format = oiio_module::formatOf(path);
    if (opened.format == nullptr) {
        throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
    }
    // Opened here first, so that a missing file is said so plainly.
    openFile(path, "rb");
    if (hasSuffix(path, ".tif") || hasSuffix(path, ".tiff")) {
        opened.metadata = readPanoramaMetadata(path);
    }
    checkBeforeOpening(opened.format, path, limit);
    opened.input = ImageInput::create(opened.format);
    if (!opened.input) {
        throw readFailure(path, OIIO::geterror());
    }
    ImageSpec header;
    if (!opened.input->open(path, header)) {
        throw readFailure(path, opened.input->geterror());
    }
    opened.selection = choose(*opened.input, path);
    opened.info = checkSelection(opened.selection, opened.metadata, path, limit);
    return opened;
}

} // namespace oiio_header
