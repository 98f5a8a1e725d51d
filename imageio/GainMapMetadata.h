#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

// How a gain map turns its base picture into the other rendition, the alternate one:
//   alternate = (base + baseOffset) * 2^(lerp(gainMin, gainMax, code^(1/gamma))) - alternateOffset
// per channel, on linear light with the SDR white at 1.0. Gains and headrooms are log2. Both
// the Ultra HDR XMP (hdrgm:) and ISO 21496-1 come to this; a base that is the HDR rendition
// has negative gains (from HDR down to SDR).
struct GainMapMetadata {
    std::array<float, 3> gainMin{{0.0f, 0.0f, 0.0f}};
    std::array<float, 3> gainMax{{1.0f, 1.0f, 1.0f}};
    std::array<float, 3> gamma{{1.0f, 1.0f, 1.0f}};
    std::array<float, 3> baseOffset{{1.0f / 64, 1.0f / 64, 1.0f / 64}};
    std::array<float, 3> alternateOffset{{1.0f / 64, 1.0f / 64, 1.0f / 64}};
    float baseHeadroom = 0.0f;
    float alternateHeadroom = 1.0f;
    // The base is the HDR rendition and the alternate the SDR one.
    bool baseIsHdr = false;
};

// The signature that opens an ISO 21496-1 APP2 segment, its terminating zero included.
extern const char isoGainMapSignature[28];

// What an image's XMP packet says of gain maps: whether it has the hdrgm: tags (Version), and
// the Container:Directory items after the primary one, in file order, with their lengths.
struct GainMapXmp {
    bool hasVersion = false;
    struct Item {
        std::string semantic;
        long long length = 0;
    };
    std::vector<Item> items;
};

// Reads a packet with exiv2; a packet exiv2 cannot parse says nothing.
GainMapXmp readGainMapXmp(const std::string& packet);

// The hdrgm: values of a gain map's XMP packet. Throws std::runtime_error saying which value
// is missing or not a usable number.
GainMapMetadata parseHdrgmMetadata(const std::string& packet);

// The ISO 21496-1 binary metadata after the signature (`size` bytes). Throws
// std::runtime_error for a short, unknown or unusable one; a segment that holds only the
// versions (as the primary image's does) gives "no metadata".
GainMapMetadata parseIsoMetadata(const unsigned char* data, std::size_t size);

