#pragma once

#include "ColourEncoding.h"
#include "GainMapApply.h"
#include "GainMapLocator.h"
#include "GainMapMetadata.h"

#include <cstddef>

// The gain map of a JPEG whose primary image announces one, found and checked from the
// headers alone: where its JPEG lies, its metadata and its size.
struct GainMapPlan {
    GainMapMetadata metadata;
    GainMapBytes bytes;
    // Of the base picture: Display P3 where its ICC profile says so.
    colour::Primaries primaries = colour::Primaries::Bt709;
    int width = 0;
    int height = 0;
    int channels = 1;
};

// `file` holds the whole file, whose primary image is `baseWidth` x `baseHeight` as stored.
// Throws std::runtime_error saying why the gain map cannot be used.
GainMapPlan planGainMap(const unsigned char* file, std::size_t size, long baseWidth,
                        long baseHeight);

// Decodes the gain map's JPEG with libjpeg; throws std::runtime_error saying why it failed,
// also for data that ends early.
GainMapImage decodeGainMap(const unsigned char* file, const GainMapPlan& plan);
