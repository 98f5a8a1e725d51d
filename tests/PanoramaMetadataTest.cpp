// EXIF orientation and GPano placement of JPEG and TIFF pictures, tagged here with exiftool.
#include "Diagnostics.h"
#include "PictureReader.h"
#include "PictureReadUtil.h"
#include "PictureWriter.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Colour = std::array<int, 3>;

const Colour red{{230, 20, 20}};
const Colour green{{20, 230, 20}};
const Colour blue{{20, 20, 230}};
const Colour white{{235, 235, 235}};
const Colour black{{0, 0, 0}};

// Quadrants top-left, top-right, bottom-left, bottom-right.
Bytes quadrants(int width, int height, const std::array<Colour, 4>& colours) {
    Bytes rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Colour& c = colours[(y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1)];
            rgb.insert(rgb.end(),
                       {static_cast<unsigned char>(c[0]), static_cast<unsigned char>(c[1]),
                        static_cast<unsigned char>(c[2])});
        }
    }
    return rgb;
}

void exiftool(const std::string& arguments, const std::string& file) {
    const std::string command =
        "exiftool -q -overwrite_original " + arguments + " '" + file + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string gpano(long fullWidth, long fullHeight, long width, long height, long left, long top) {
    return "-XMP-GPano:FullPanoWidthPixels=" + std::to_string(fullWidth) +
           " -XMP-GPano:FullPanoHeightPixels=" + std::to_string(fullHeight) +
           " -XMP-GPano:CroppedAreaImageWidthPixels=" + std::to_string(width) +
           " -XMP-GPano:CroppedAreaImageHeightPixels=" + std::to_string(height) +
           " -XMP-GPano:CroppedAreaLeftPixels=" + std::to_string(left) +
           " -XMP-GPano:CroppedAreaTopPixels=" + std::to_string(top);
}

// The colour at (x, y) matches within JPEG's loss on flat areas.
::testing::AssertionResult colourAt(const Picture& picture, int x, int y, const Colour& colour) {
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) {
        return ::testing::AssertionFailure() << x << "," << y << " outside the picture";
    }
    const unsigned char* p =
        picture.pixels.get() + (static_cast<std::size_t>(y) * picture.width + x) * 3;
    for (int k = 0; k < 3; ++k) {
        if (std::abs(p[k] - colour[k]) > 12) {
            return ::testing::AssertionFailure()
                   << "at " << x << "," << y << ": " << int(p[0]) << " " << int(p[1]) << " "
                   << int(p[2]) << ", expected " << colour[0] << " " << colour[1] << " "
                   << colour[2];
        }
    }
    return ::testing::AssertionSuccess();
}

using PanoramaMetadata = RgbeFiles;

TEST_F(PanoramaMetadata, ExifOrientationTurnsPicturesUpright) {
    // Stored sideways: shown turned 90 degrees clockwise, the stored left column is the top row.
    const Bytes stored = quadrants(48, 32, {red, blue, green, white});
    const std::string jpeg = path("phone.jpg");
    saveImage(jpeg, 48, 32, 3, stored.data());
    exiftool("-n -Orientation=6", jpeg);
    const Picture upright = quietRead(jpeg);
    ASSERT_EQ(upright.width, 32);
    ASSERT_EQ(upright.height, 48);
    EXPECT_TRUE(colourAt(upright, 4, 4, green));
    EXPECT_TRUE(colourAt(upright, 27, 4, red));
    EXPECT_TRUE(colourAt(upright, 4, 43, white));
    EXPECT_TRUE(colourAt(upright, 27, 43, blue));
    EXPECT_EQ(upright.projectionHint, ProjectionHint::None);

    // Upside down in a TIFF, counter-clockwise in another JPEG.
    const std::string tiff = path("turned.tif");
    saveImage(tiff, 48, 32, 3, stored.data());
    exiftool("-n -Orientation=3", tiff);
    const Picture turned = quietRead(tiff);
    ASSERT_EQ(turned.width, 48);
    EXPECT_TRUE(colourAt(turned, 4, 4, white));
    EXPECT_TRUE(colourAt(turned, 43, 27, red));
    const std::string left = path("left.jpg");
    saveImage(left, 48, 32, 3, stored.data());
    exiftool("-n -Orientation=8", left);
    const Picture ccw = quietRead(left);
    ASSERT_EQ(ccw.width, 32);
    EXPECT_TRUE(colourAt(ccw, 4, 4, blue));
    EXPECT_TRUE(colourAt(ccw, 27, 43, green));
}

TEST_F(PanoramaMetadata, CroppedPanoramaIsPlacedOnTheFullCanvas) {
    const Bytes rgb = quadrants(64, 32, {red, blue, green, white});
    // At full size: the crop spans longitudes 0 to 90 degrees east of the canvas's centre and
    // latitudes 56.25 to 11.25 degrees north.
    const std::string full = path("crop.jpg");
    saveImage(full, 64, 32, 3, rgb.data());
    exiftool(gpano(256, 128, 64, 32, 128, 24), full);
    const Picture placed = quietRead(full);
    ASSERT_EQ(placed.width, 256);
    ASSERT_EQ(placed.height, 128);
    EXPECT_EQ(placed.projectionHint, ProjectionHint::Equirectangular);
    EXPECT_TRUE(colourAt(placed, 130, 26, red));
    EXPECT_TRUE(colourAt(placed, 189, 26, blue));
    EXPECT_TRUE(colourAt(placed, 130, 53, green));
    EXPECT_TRUE(colourAt(placed, 189, 53, white));
    for (const auto& [x, y] : {std::pair{126, 30}, {193, 30}, {150, 22}, {150, 57}, {0, 0}}) {
        EXPECT_TRUE(colourAt(placed, x, y, black));
    }

    // A picture half the cropped area's size gives a canvas at its own scale.
    const Bytes small = quadrants(32, 16, {red, blue, green, white});
    const std::string half = path("half.jpg");
    saveImage(half, 32, 16, 3, small.data());
    exiftool(gpano(256, 128, 64, 32, 128, 24), half);
    const Picture scaled = quietRead(half);
    ASSERT_EQ(scaled.width, 128);
    ASSERT_EQ(scaled.height, 64);
    EXPECT_TRUE(colourAt(scaled, 65, 13, red));
    EXPECT_TRUE(colourAt(scaled, 94, 26, white));
    EXPECT_TRUE(colourAt(scaled, 62, 20, black));

    // The projection type alone only asks for the sphere.
    const std::string typed = path("typed.jpg");
    saveImage(typed, 64, 32, 3, rgb.data());
    exiftool("-XMP-GPano:ProjectionType=equirectangular", typed);
    const Picture hinted = quietRead(typed);
    EXPECT_EQ(hinted.width, 64);
    EXPECT_EQ(hinted.projectionHint, ProjectionHint::Equirectangular);
}

TEST_F(PanoramaMetadata, BadNumbersAreRefusedBeforeDecoding) {
    const Bytes rgb = quadrants(64, 32, {red, blue, green, white});
    const auto tagged = [&](const std::string& name, const std::string& tags) {
        const std::string file = path(name);
        saveImage(file, 64, 32, 3, rgb.data());
        exiftool(tags, file);
        return file;
    };
    const std::string outside = tagged("outside.jpg", gpano(256, 128, 64, 32, 200, 24));
    EXPECT_EQ(pictureError(outside),
              "Invalid panorama metadata in '" + outside +
                  "': cropped area 64x32 at 200,24 outside the full panorama 256x128");
    const std::string partial = tagged("partial.jpg", "-XMP-GPano:FullPanoWidthPixels=256");
    EXPECT_EQ(pictureError(partial), "Invalid panorama metadata in '" + partial +
                                      "': Xmp.GPano.FullPanoHeightPixels is missing");
    const std::string huge = tagged("huge.jpg", gpano(900000, 450000, 64, 32, 0, 0));
    EXPECT_EQ(pictureError(huge),
              "Maximum texture size of GPU is too small (900000x450000 > 8192) for '" + huge + "'");
    // Turned sideways it no longer fits the limit.
    const std::string sideways = tagged("sideways.jpg", "-n -Orientation=6");
    SizeLimit narrow;
    narrow.pieceLimit = 40;
    EXPECT_EQ(pictureError(sideways, narrow),
              "Maximum texture size of GPU is too small (32x64 > 40) for '" + sideways + "'");
    // And one stored too high for the limit fits once turned.
    const Bytes tall = quadrants(32, 64, {red, blue, green, white});
    const std::string stored = path("stored-tall.jpg");
    saveImage(stored, 32, 64, 3, tall.data());
    exiftool("-n -Orientation=6", stored);
    EXPECT_EQ(quietRead(stored, narrow).width, 64);
}

} // namespace
