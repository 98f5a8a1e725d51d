#include "AppleGainMap.h"

#include "ColourEncoding.h"

#include <exiv2/exiv2.hpp>
#include <fmt/printf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace apple_gain_map {

namespace {

// "Apple iOS", a NUL, a version of 2 bytes and the byte order: the IFD follows, its offsets
// counted from the start of the maker note.
constexpr unsigned char makerNoteMagic[] = {'A', 'p', 'p', 'l', 'e', ' ', 'i', 'O', 'S', 0};
constexpr unsigned char makerNoteIfd = 14;

double makerNoteTag(const Exiv2::ExifData& note, std::uint16_t tag) {
    const auto found = note.findKey(Exiv2::ExifKey(tag, "Image"));
    if (found == note.end() || found->count() < 1) {
        throw std::runtime_error(fmt::sprintf("no maker note tag %d", tag));
    }
    const double value = found->toFloat(0);
    if (!std::isfinite(value)) {
        throw std::runtime_error(fmt::sprintf("maker note tag %d is not a number", tag));
    }
    return value;
}

// For each of `to` pixels, the two of `from` pixels around its centre and the second's weight.
void sampling(int from, int to, std::vector<int>& i0, std::vector<int>& i1,
              std::vector<float>& f) {
    i0.resize(static_cast<std::size_t>(to));
    i1.resize(static_cast<std::size_t>(to));
    f.resize(static_cast<std::size_t>(to));
    for (int i = 0; i < to; ++i) {
        const double at = std::clamp((i + 0.5) * from / to - 0.5, 0.0, double(from - 1));
        const int low = static_cast<int>(at);
        i0[i] = low;
        i1[i] = std::min(low + 1, from - 1);
        f[i] = static_cast<float>(at - low);
    }
}

} // namespace

double headroom(double tag33, double tag48) {
    double stops;
    if (tag33 < 1.0) {
        stops = tag48 <= 0.01 ? -20.0 * tag48 + 1.8 : -0.101 * tag48 + 1.601;
    } else {
        stops = tag48 <= 0.01 ? -70.0 * tag48 + 3.0 : -0.303 * tag48 + 2.303;
    }
    return std::exp2(std::max(stops, 0.0));
}

double headroomFromExif(const unsigned char* tiff, std::size_t size) {
    Exiv2::ExifData exif;
    try {
        Exiv2::ExifParser::decode(exif, tiff, static_cast<std::uint32_t>(size));
        const auto make = exif.findKey(Exiv2::ExifKey("Exif.Image.Make"));
        if (make == exif.end() || make->toString().rfind("Apple", 0) != 0) {
            throw std::runtime_error("not an Apple photo");
        }
        const auto found = exif.findKey(Exiv2::ExifKey("Exif.Photo.MakerNote"));
        if (found == exif.end()) {
            throw std::runtime_error("no maker note");
        }
        std::vector<unsigned char> note(found->size());
        found->copy(note.data(), Exiv2::invalidByteOrder);
        if (note.size() <= makerNoteIfd ||
            std::memcmp(note.data(), makerNoteMagic, sizeof makerNoteMagic) != 0 ||
            !((note[12] == 'M' && note[13] == 'M') || (note[12] == 'I' && note[13] == 'I'))) {
            throw std::runtime_error("not an Apple maker note");
        }
        // A TIFF header over the magic makes the note a TIFF file whose first IFD is the
        // note's, its offsets unchanged, for exiv2 to parse.
        const unsigned char big[8] = {'M', 'M', 0, 42, 0, 0, 0, makerNoteIfd};
        const unsigned char little[8] = {'I', 'I', 42, 0, makerNoteIfd, 0, 0, 0};
        const unsigned char* header = note[12] == 'M' ? big : little;
        std::memcpy(note.data(), header, 8);
        Exiv2::ExifData tags;
        Exiv2::IptcData iptc;
        Exiv2::XmpData xmp;
        Exiv2::TiffParser::decode(tags, iptc, xmp, note.data(),
                                  static_cast<std::uint32_t>(note.size()));
        return headroom(makerNoteTag(tags, 33), makerNoteTag(tags, 48));
    } catch (const Exiv2::AnyError& error) {
        throw std::runtime_error(std::string("EXIF: ") + error.what());
    }
}

GainSampler::GainSampler(const std::uint8_t* codes, int width, int height, std::ptrdiff_t stride,
                         int baseWidth, int baseHeight)
    : codes(codes), height(height), stride(stride), baseHeight(baseHeight) {
    for (int code = 0; code < 256; ++code) {
        linear[code] = static_cast<float>(colour::toLinear(colour::Transfer::Srgb, code / 255.0));
    }
    sampling(width, baseWidth, x0, x1, fx);
}

void GainSampler::row(int y, float* out) const {
    const double at = std::clamp((y + 0.5) * height / baseHeight - 0.5, 0.0, double(height - 1));
    const int low = static_cast<int>(at);
    const float fy = static_cast<float>(at - low);
    const std::uint8_t* r0 = codes + low * stride;
    const std::uint8_t* r1 = codes + std::min(low + 1, height - 1) * stride;
    const std::size_t n = x0.size();
    for (std::size_t i = 0; i < n; ++i) {
        const float top = linear[r0[x0[i]]] + fx[i] * (linear[r0[x1[i]]] - linear[r0[x0[i]]]);
        const float bottom = linear[r1[x0[i]]] + fx[i] * (linear[r1[x1[i]]] - linear[r1[x0[i]]]);
        out[i] = top + fy * (bottom - top);
    }
}

} // namespace apple_gain_map
