#pragma once

#include "PixelMemory.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

// How the bytes of a picture encode its pixels; rows run from the top, pixels are packed.
enum class PixelEncoding {
    Rgbe,     // 4 bytes: R, G, B mantissas and a shared exponent, as RADIANCE files hold them
    Rgb8,     // 3 bytes: display-referred 8-bit RGB
    RgbHalf,  // 3 half floats of linear light
    RgbFloat, // 3 floats of linear light
};

std::size_t bytesPerPixel(PixelEncoding encoding);

// 2 to the mean, least and largest exponent of an HDR picture's lit pixels, the factors the
// exposure is set from; all 1 for a picture without a lit pixel, 0 for 8-bit pictures.
struct ExposureScale {
    double mean = 0.0;
    double min = 0.0;
    double max = 0.0;
};

class LuminanceStatistics;

// The view a picture asks for by its own metadata, where it says so.
enum class ProjectionHint { None, Flat, Equirectangular };

// What the pixels of a photo with a gain map are: the HDR rendition the gain map makes of the
// base picture, or the base picture alone (what SDR screens show). None for other pictures.
enum class GainMap { None, Applied, Base };

// cd/m² of the value 1.0 of RADIANCE files (watts, times their luminous efficacy) and of every
// picture without an absolute scale of its own.
constexpr double radianceCandela = 179.0;

// One decoded picture in memory. Knows nothing of GL; movable, not copyable.
struct Picture {
    int width = 0;
    int height = 0;
    PixelEncoding encoding = PixelEncoding::Rgb8;
    PixelBuffer pixels;
    ExposureScale scale;
    // The name the picture was read from, "-" for standard input.
    std::string fileName;
    ProjectionHint projectionHint = ProjectionHint::None;
    // The part or layer of a multi-part or multi-layer file the pixels come from ("diffuse",
    // "beauty.diffuse"); empty when the file holds only one.
    std::string layer;
    // The product of a RADIANCE file's EXPOSURE= lines: the pixels are the scene's radiance
    // times this. 1 where the file says nothing.
    double exposure = 1.0;
    // cd/m² of the value 1.0 before the EXPOSURE= product: the file's own absolute scale
    // where it has one (PQ and HLG pictures).
    double candelaPerUnit = radianceCandela;
    GainMap gainMap = GainMap::None;
    // Filled by the viewer's loader on its worker; shared, so that it outlives the pixels.
    std::shared_ptr<const LuminanceStatistics> statistics;

    bool isHdr() const { return encoding != PixelEncoding::Rgb8; }
    std::size_t byteCount() const;
    // Allocates width * height pixels of `encoding`, uninitialised.
    void allocate(int width, int height, PixelEncoding encoding);
};

// What the viewer keeps of a picture besides its pixels: the view its metadata asks for, the
// part or layer, the EXPOSURE= product, the luminance statistics, the absolute scale and
// whether a gain map made it. Plain, so that it stays
// with a set's entry while the picture's texture leaves the card.
struct PictureMetadata {
    ProjectionHint projectionHint = ProjectionHint::None;
    std::string layer;
    double exposure = 1.0;
    std::shared_ptr<const LuminanceStatistics> statistics;
    double candelaPerUnit = radianceCandela;
    GainMap gainMap = GainMap::None;
};

PictureMetadata pictureMetadata(const Picture& picture);

// Pieces of a picture on the card are never wider or higher than this, whatever it offers.
constexpr int largestPiece = 8192;

// The largest picture the destination (the graphics card) takes: pieces at most `pieceLimit`
// wide and high, at most `maxPieces` of them side by side and `maxRows` above one another.
// Checked from a file's header before any pixel is allocated.
struct SizeLimit {
    long pieceLimit = largestPiece;
    int maxPieces = 2;
    int maxRows = 1;

    bool allows(long width, long height) const;
    // Throws "Maximum texture size of GPU is too small (%dx%d > %d)" when not allowed.
    void check(long width, long height) const;
    // The same for a file: "Maximum texture size of GPU is too small (%dx%d > %d) for '%s'".
    void check(long width, long height, const std::string& path) const;
};

// Half the machine's physical memory: the most one picture's pixels may take.
std::size_t memoryBudget();

// "Picture of '%s' too large for memory (%dx%d)" beyond memoryBudget().
void checkMemoryBudget(long width, long height, PixelEncoding encoding, const std::string& path);

// What every reader checks from a file's header before it allocates: the size error of `limit`,
// then the memory budget.
void checkPictureSize(const SizeLimit& limit, long width, long height, PixelEncoding encoding,
                      const std::string& path);
