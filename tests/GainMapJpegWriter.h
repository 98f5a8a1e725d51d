#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Writes JPEG files with a gain map as the published layouts have them, from a linear HDR
// picture: for the gain-map reader's tests, the render tests and the benchmark.

// Where the gain map's metadata is: Ultra HDR's XMP (hdrgm:, Container:Directory), ISO
// 21496-1's APP2 segments, or both as current writers make them.
enum class GainMapLayout { Xmp, Iso, Both };

struct GainMapJpegOptions {
    GainMapLayout layout = GainMapLayout::Both;
    // A map of three channels, else one of luminance.
    bool threeChannels = false;
    // The map is 1/mapScale of the picture each way (rounded up): 1, 2 or 4.
    int mapScale = 1;
    float gamma = 1.0f;
    // The least and largest HDR/SDR ratio the map holds (linear).
    float minBoost = 1.0f;
    float maxBoost = 16.0f;
    float offsetSdr = 1.0f / 64;
    float offsetHdr = 1.0f / 64;
    // An MPF index in the primary image; without it the map is found through the XMP
    // Container:Directory only (or not at all in the ISO layout).
    bool mpf = true;
    // EXIF orientation 1 to 8 (1: no EXIF segment). The pixels are stored as given.
    int orientation = 1;
    // An ICC segment whose profile describes itself as "Display P3" (its tag table and
    // description alone): the base's colours are then P3's.
    bool displayP3 = false;
    // 100 stores the colours as RGB rather than YCbCr, nearly lossless.
    int quality = 95;
};

// Where the parts of a written file lie, for tests that damage them.
struct GainMapJpegParts {
    // The primary image is [0, primaryLength), the gain map's image the rest of the file.
    std::size_t primaryLength = 0;
    std::size_t mapOffset = 0;
    std::size_t mapLength = 0;
    // The map image's SOF marker: its height (2 bytes) and width (2 bytes) start 5 bytes on.
    std::size_t mapFrame = 0;
    // The map image's SOS marker, its entropy-coded data following.
    std::size_t mapScan = 0;
    // The MPF index's offset of the gain map (4 bytes, big-endian) and the place it counts
    // from; 0 without an MPF index.
    std::size_t mpfMapOffsetField = 0;
    std::size_t mpfTiffStart = 0;
    // The map's XMP packet and ISO metadata in the file; 0 where the layout has none.
    std::size_t mapXmp = 0;
    std::size_t mapIso = 0;
    // The base picture as libjpeg wrote it, without metadata: a plain JPEG of the same pixels.
    std::vector<unsigned char> plainBase;
};

// `hdrLinearRgb` holds width x height x 3 floats of linear Rec.709 light, white at 1.0. The
// base is its sRGB encoding clipped to 1.0; the map holds log2((hdr + offsetHdr) /
// (sdr + offsetSdr)) between log2(minBoost) and log2(maxBoost), raised to `gamma`. Throws
// std::runtime_error when the file cannot be written.
GainMapJpegParts writeGainMapJpeg(const std::string& path, const std::vector<float>& hdrLinearRgb,
                                  int width, int height,
                                  const GainMapJpegOptions& options = GainMapJpegOptions());
