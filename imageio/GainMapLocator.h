#pragma once

#include "GainMapMetadata.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// One marker segment of a JPEG before its first scan: the marker (0xE1 for APP1) and where
// its payload lies in the bytes it was read from.
struct JpegSegment {
    unsigned char marker = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The segments of the JPEG at data[0, size) from its SOI up to its first SOS, every length
// checked against the bytes. Throws std::runtime_error for bytes that are not such a JPEG.
std::vector<JpegSegment> jpegSegments(const unsigned char* data, std::size_t size);

// The bytes of a file from its start through its first SOS segment, read segment by segment:
// all that the gain-map metadata of a primary image can be in, without the picture's data.
// Empty for a file that is not a JPEG or ends first.
std::vector<unsigned char> jpegHeaderBytes(std::FILE* file);

// What the segments of one image say of gain maps.
struct GainMapSegments {
    // The first standard XMP packet (APP1), empty without one.
    std::string xmp;
    // The APP2 ISO 21496-1 segment after its signature; offset 0 without one.
    JpegSegment iso;
    // The APP2 MPF segment after "MPF\0", where its TIFF header starts; offset 0 without one.
    JpegSegment mpf;
    // The ICC profile's first APP2 segment after "ICC_PROFILE\0" and its two counters.
    JpegSegment icc;
};

GainMapSegments gainMapSegments(const unsigned char* data, const std::vector<JpegSegment>& segments);

// Whether a primary image's segments announce a gain map (hdrgm:Version in its XMP, or an ISO
// 21496-1 segment): the cheap test of the header probe.
bool announcesGainMap(const unsigned char* data, std::size_t size);

// Where the gain map's JPEG lies in the file: data[offset, offset + length).
struct GainMapBytes {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// Finds the gain map of the primary image at the start of data[0, size): through the MPF
// index (offsets relative to its TIFF header) or else the XMP Container:Directory (items
// after the primary image's end). The bytes found start a JPEG. Throws std::runtime_error
// saying why none is found.
GainMapBytes locateGainMap(const unsigned char* data, std::size_t size,
                           const GainMapSegments& primary);

// Whether the ICC profile's description names Display P3 ("P3" in its desc tag).
bool iccDescribesP3(const unsigned char* data, const JpegSegment& icc);
