#pragma once

#include "LuminanceStatistics.h"
#include "ViewMapping.h"

#include <array>
#include <optional>
#include <string>

// The picture pixel under one screen position, as the viewer program draws it there.
struct PixelPlace {
    int column = 0;
    int row = 0;
    // The direction under the pointer, in the spherical views only.
    std::optional<LongitudeLatitude> angles;
};

// The pixel whose area holds the picture position the CPU mapping finds at `screen` (window
// pixels from the viewport's top-left corner, y down); none off a flat picture.
std::optional<PixelPlace> pixelPlaceAt(const ViewState& view, int pictureWidth, int pictureHeight,
                                       const glm::dvec2& screen);

// What the readout line says of one pixel: its place, its bytes as stored (RGBE, or 8-bit RGB
// with the fourth byte unused) where they could be read, and the file's EXPOSURE= that
// luminance is divided by.
struct PixelReadout {
    PixelPlace place;
    PixelEncoding encoding = PixelEncoding::Rgbe;
    std::optional<std::array<unsigned char, 4>> bytes;
    double exposure = 1.0;
    // cd/m² of the luminance 1.0 (the picture's candelaPerUnit).
    double candelaPerUnit = luminousEfficacy;

    // Both need the bytes.
    Radiance radiance() const { return decodePixel(encoding, bytes.value().data()); }
    // candelaPerUnit (0.265 R + 0.670 G + 0.065 B) / exposure.
    double candela() const;
};

// "x 120  y 45  lon 12.50°  lat -3.25°  RGB 1.25 0.5 0.125  L 145.2 cd/m²  EV 10.5", with the
// 0-255 values after RGB for 8-bit pictures; black reads "EV -inf". Without the bytes, the
// place alone.
std::string readoutLine(const PixelReadout& readout);
