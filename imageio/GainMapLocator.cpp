#include "GainMapLocator.h"

#include <fmt/printf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

bool startsWith(const unsigned char* data, const JpegSegment& segment, const char* text,
                std::size_t bytes) {
    return segment.length >= bytes && std::memcmp(data + segment.offset, text, bytes) == 0;
}

bool isStandalone(unsigned char marker) {
    return marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7);
}

bool startsJpeg(const unsigned char* data, std::size_t size, std::size_t at) {
    return at <= size && size - at >= 3 && data[at] == 0xff && data[at + 1] == 0xd8 &&
           data[at + 2] == 0xff;
}

// Where the JPEG that starts data[0, size) ends: past its EOI, found by walking its segments
// and the entropy-coded data of every scan.
std::size_t jpegEnd(const unsigned char* data, std::size_t size) {
    std::size_t at = 2;
    bool inScan = false;
    while (at < size) {
        if (inScan) {
            // Stuffed zeros and restart markers belong to the scan.
            if (data[at] != 0xff || at + 1 >= size || data[at + 1] == 0x00 ||
                isStandalone(data[at + 1])) {
                at += data[at] == 0xff ? 2 : 1;
                continue;
            }
            if (data[at + 1] == 0xff) {
                ++at;
                continue;
            }
            inScan = false;
        }
        if (data[at] != 0xff) {
            throw std::runtime_error("the primary image's segments are broken");
        }
        while (at + 1 < size && data[at + 1] == 0xff) {
            ++at;
        }
        if (at + 1 >= size) {
            break;
        }
        const unsigned char marker = data[at + 1];
        if (marker == 0xd9) {
            return at + 2;
        }
        if (isStandalone(marker)) {
            at += 2;
            continue;
        }
        if (size - at < 4) {
            break;
        }
        const std::size_t length = static_cast<std::size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || size - at - 2 < length) {
            break;
        }
        at += 2 + length;
        inScan = marker == 0xda;
    }
    throw std::runtime_error("the primary image has no end");
}

// Fields of the MPF index's TIFF structure, each read checked against its end.
class TiffFields {
public:
    TiffFields(const unsigned char* data, std::size_t size) : data(data), size(size) {
        if (size < 8 || !(std::memcmp(data, "II*\0", 4) == 0 || std::memcmp(data, "MM\0*", 4) == 0)) {
            throw std::runtime_error("its MPF index has no TIFF header");
        }
        little = data[0] == 'I';
    }
    std::uint32_t u32(std::size_t at) const {
        need(at, 4);
        const unsigned char* p = data + at;
        return little ? static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
                            static_cast<std::uint32_t>(p[1]) << 8 | p[0]
                      : static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                            static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    }
    unsigned u16(std::size_t at) const {
        need(at, 2);
        const unsigned char* p = data + at;
        return little ? static_cast<unsigned>(p[1] << 8 | p[0]) : static_cast<unsigned>(p[0] << 8 | p[1]);
    }

private:
    void need(std::size_t at, std::size_t bytes) const {
        if (at > size || size - at < bytes) {
            throw std::runtime_error("its MPF index ends early");
        }
    }
    const unsigned char* data;
    std::size_t size;
    bool little = true;
};

GainMapBytes throughMpf(const unsigned char* data, std::size_t size, const JpegSegment& mpf) {
    const TiffFields tiff(data + mpf.offset, mpf.length);
    const std::size_t ifd = tiff.u32(4);
    const unsigned count = tiff.u16(ifd);
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + 12 * static_cast<std::size_t>(i);
        if (tiff.u16(entry) != 0xb002) {
            continue;
        }
        const std::uint32_t bytes = tiff.u32(entry + 4);
        if (bytes % 16 != 0 || bytes < 32) {
            throw std::runtime_error(fmt::sprintf("its MPF index lists %d bytes of entries", bytes));
        }
        // The second image's entry: attributes, size, offset, two dependent images.
        const std::size_t second = tiff.u32(entry + 8) + std::size_t{16};
        const std::uint32_t length = tiff.u32(second + 4);
        const std::uint32_t offset = tiff.u32(second + 8);
        // Offsets count from the MPF segment's TIFF header.
        const std::size_t at = mpf.offset + std::size_t{offset};
        if (offset == 0 || at >= size || size - at < length) {
            throw std::runtime_error(fmt::sprintf(
                "the MPF index puts it at %d (%d bytes), outside the file of %d bytes", at,
                length, size));
        }
        if (!startsJpeg(data, size, at)) {
            throw std::runtime_error(fmt::sprintf("the MPF index points to no JPEG at %d", at));
        }
        return {at, length};
    }
    throw std::runtime_error("its MPF index has no entries");
}

GainMapBytes throughContainer(const unsigned char* data, std::size_t size,
                              const GainMapXmp& xmp) {
    std::size_t at = jpegEnd(data, size);
    for (const GainMapXmp::Item& item : xmp.items) {
        if (item.length < 0 && item.semantic != "GainMap") {
            throw std::runtime_error("its Container:Directory has an item without a length");
        }
        const auto length = static_cast<unsigned long long>(item.length);
        if (item.semantic == "GainMap") {
            if (at >= size || (item.length > 0 && length > size - at)) {
                throw std::runtime_error(fmt::sprintf(
                    "its Container:Directory puts it at %d (%d bytes), outside the file of %d bytes",
                    at, item.length, size));
            }
            if (!startsJpeg(data, size, at)) {
                throw std::runtime_error(
                    fmt::sprintf("its Container:Directory points to no JPEG at %d", at));
            }
            // Without a length it runs to the end of the file.
            return {at, item.length > 0 ? static_cast<std::size_t>(length) : size - at};
        }
        if (length > size - std::min(at, size)) {
            throw std::runtime_error("its Container:Directory lists items beyond the file");
        }
        at += static_cast<std::size_t>(length);
    }
    throw std::runtime_error("its Container:Directory has no GainMap item");
}

} // namespace

std::vector<JpegSegment> jpegSegments(const unsigned char* data, std::size_t size) {
    if (size < 4 || data[0] != 0xff || data[1] != 0xd8) {
        throw std::runtime_error("not a JPEG");
    }
    std::vector<JpegSegment> segments;
    std::size_t at = 2;
    for (;;) {
        if (at >= size || data[at] != 0xff) {
            throw std::runtime_error("broken JPEG segments");
        }
        while (at + 1 < size && data[at + 1] == 0xff) {
            ++at;
        }
        if (size - at < 2) {
            throw std::runtime_error("the JPEG ends in its header");
        }
        const unsigned char marker = data[at + 1];
        if (isStandalone(marker)) {
            at += 2;
            continue;
        }
        if (marker == 0xd9 || size - at < 4) {
            throw std::runtime_error("the JPEG ends in its header");
        }
        const std::size_t length = static_cast<std::size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || size - at - 2 < length) {
            throw std::runtime_error("a JPEG segment runs past the end");
        }
        segments.push_back({marker, at + 4, length - 2});
        if (marker == 0xda) {
            return segments;
        }
        at += 2 + length;
    }
}

std::vector<unsigned char> jpegHeaderBytes(std::FILE* file) {
    // More header than any photo has: beyond it the file is not read as announcing anything.
    constexpr std::size_t largest = std::size_t{16} << 20;
    std::vector<unsigned char> bytes(2);
    if (std::fread(bytes.data(), 1, 2, file) != 2 || bytes[0] != 0xff || bytes[1] != 0xd8) {
        return {};
    }
    for (;;) {
        int c = std::fgetc(file);
        if (c != 0xff) {
            return {};
        }
        while ((c = std::fgetc(file)) == 0xff) {
        }
        if (c == EOF || c == 0xd9) {
            return {};
        }
        bytes.push_back(0xff);
        bytes.push_back(static_cast<unsigned char>(c));
        if (isStandalone(static_cast<unsigned char>(c))) {
            continue;
        }
        unsigned char size[2];
        if (std::fread(size, 1, 2, file) != 2) {
            return {};
        }
        const std::size_t length = static_cast<std::size_t>(size[0]) << 8 | size[1];
        if (length < 2 || bytes.size() + length > largest) {
            return {};
        }
        bytes.push_back(size[0]);
        bytes.push_back(size[1]);
        const std::size_t at = bytes.size();
        bytes.resize(at + length - 2);
        if (std::fread(bytes.data() + at, 1, length - 2, file) != length - 2) {
            return {};
        }
        if (c == 0xda) {
            return bytes;
        }
    }
}

GainMapSegments gainMapSegments(const unsigned char* data,
                                const std::vector<JpegSegment>& segments) {
    static const char xmpSignature[] = "http://ns.adobe.com/xap/1.0/";
    GainMapSegments found;
    for (const JpegSegment& segment : segments) {
        if (segment.marker == 0xe1 && found.xmp.empty() &&
            startsWith(data, segment, xmpSignature, sizeof xmpSignature)) {
            found.xmp.assign(reinterpret_cast<const char*>(data) + segment.offset + sizeof xmpSignature,
                             segment.length - sizeof xmpSignature);
        }
        if (segment.marker != 0xe2) {
            continue;
        }
        if (found.iso.offset == 0 &&
            startsWith(data, segment, isoGainMapSignature, sizeof isoGainMapSignature)) {
            found.iso = {segment.marker, segment.offset + sizeof isoGainMapSignature,
                         segment.length - sizeof isoGainMapSignature};
        } else if (found.mpf.offset == 0 && startsWith(data, segment, "MPF\0", 4)) {
            found.mpf = {segment.marker, segment.offset + 4, segment.length - 4};
        } else if (found.icc.offset == 0 && startsWith(data, segment, "ICC_PROFILE\0", 12) &&
                   segment.length >= 14) {
            found.icc = {segment.marker, segment.offset + 14, segment.length - 14};
        }
    }
    return found;
}

bool announcesGainMap(const unsigned char* data, std::size_t size) {
    try {
        const GainMapSegments found = gainMapSegments(data, jpegSegments(data, size));
        if (found.iso.offset != 0) {
            return true;
        }
        // Most XMP packets are not parsed at all.
        return found.xmp.find("http://ns.adobe.com/hdr-gain-map/1.0/") != std::string::npos &&
               readGainMapXmp(found.xmp).hasVersion;
    } catch (const std::runtime_error&) {
        return false;
    }
}

GainMapBytes locateGainMap(const unsigned char* data, std::size_t size,
                           const GainMapSegments& primary) {
    const GainMapXmp xmp = primary.xmp.empty() ? GainMapXmp() : readGainMapXmp(primary.xmp);
    if (primary.mpf.offset == 0) {
        return throughContainer(data, size, xmp);
    }
    try {
        return throughMpf(data, size, primary.mpf);
    } catch (const std::runtime_error&) {
        // An editor that moved the images may have left the MPF offsets behind.
        if (xmp.items.empty()) {
            throw;
        }
        return throughContainer(data, size, xmp);
    }
}

bool iccDescribesP3(const unsigned char* data, const JpegSegment& icc) {
    const unsigned char* profile = data + icc.offset;
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(profile[at]) << 24 |
               static_cast<std::uint32_t>(profile[at + 1]) << 16 |
               static_cast<std::uint32_t>(profile[at + 2]) << 8 | profile[at + 3];
    };
    if (icc.offset == 0 || icc.length < 132) {
        return false;
    }
    const std::uint32_t tags = u32(128);
    for (std::uint32_t i = 0; i < tags && 132 + 12 * std::size_t{i} + 12 <= icc.length; ++i) {
        const std::size_t entry = 132 + 12 * std::size_t{i};
        if (std::memcmp(profile + entry, "desc", 4) != 0) {
            continue;
        }
        const std::size_t offset = u32(entry + 4);
        const std::size_t length = u32(entry + 8);
        if (offset > icc.length || length > icc.length - offset) {
            return false;
        }
        // ASCII in version 2 profiles, UTF-16 in version 4 ones.
        const std::string text(reinterpret_cast<const char*>(profile) + offset, length);
        return text.find("P3") != std::string::npos ||
               text.find(std::string("P\0" "3", 3)) != std::string::npos;
    }
    return false;
}
