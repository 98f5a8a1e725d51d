// AVIF files made here with avifenc from 16-bit PNGs written with libpng, read back through
// readPicture: transfers, primaries, depths and chroma layouts, and hostile files.
#include "PngWriter.h"
#include "ChildRead.h"
#include "PictureReadUtil.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using AvifReader = RgbeFiles;
using Rgb16 = std::array<std::uint16_t, 3>;
using PixelAt = std::function<Rgb16(int x, int y)>;

void writePng16(const std::string& path, int width, int height, const PixelAt& pixelAt) {
    writeRgbPng(path, width, height, 16, pixelAt);
}

// avifenc's options and a picture, written as `name`.avif.
std::string makeAvif(const AvifReader& files, const std::string& name, const std::string& options,
                     int width, int height, const PixelAt& pixelAt) {
    const std::string png = files.path(name + ".png");
    const std::string avif = files.path(name + ".avif");
    writePng16(png, width, height, pixelAt);
    const std::string command =
        "avifenc -s 10 " + options + " '" + png + "' '" + avif + "' > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return avif;
}

std::uint16_t code16(double signal) {
    return static_cast<std::uint16_t>(std::lround(std::clamp(signal, 0.0, 1.0) * 65535.0));
}

std::array<double, 3> rgbeAt(const Picture& picture, int x, int y) {
    const unsigned char* p = picture.pixels.get() + 4 * (std::size_t(y) * picture.width + x);
    std::array<double, 3> rgb;
    rgbe::decode(p, rgb[0], rgb[1], rgb[2]);
    return rgb;
}

// The PQ signal of `candela` cd/m² (SMPTE ST 2084).
double pqSignal(double candela) {
    const double m1 = 2610.0 / 16384.0, m2 = 2523.0 / 4096.0 * 128.0;
    const double c1 = 3424.0 / 4096.0, c2 = 2413.0 / 4096.0 * 32.0, c3 = 2392.0 / 4096.0 * 32.0;
    const double y = std::pow(candela / 10000.0, m1);
    return std::pow((c1 + c2 * y) / (1.0 + c3 * y), m2);
}

// A grey of one signal through every transfer, depth and chroma layout: value 1.0 is 203 cd/m²
// for PQ and HLG (HLG's 75 % on a display of 1000 cd/m²), the value itself for linear light.
struct HdrCase {
    const char* name;
    const char* options;
    double signal;
    double expected;
    double tolerance; // relative
};

TEST_F(AvifReader, HdrGreysComeOutAtTheirLinearValue) {
    const HdrCase cases[] = {
        {"pq10_420", "--depth 10 --yuv 420 --cicp 9/16/9", pqSignal(203.0), 1.0, 0.02},
        {"pq10_444_lossless", "--depth 10 --yuv 444 --cicp 9/16/9 --min 0 --max 0",
         pqSignal(203.0), 1.0, 0.01},
        {"pq12_422", "--depth 12 --yuv 422 --cicp 9/16/9 --min 0 --max 0", pqSignal(1000.0),
         1000.0 / 203.0, 0.01},
        {"pq8_400", "--depth 8 --yuv 400 --cicp 1/16/1 --min 0 --max 0", pqSignal(203.0), 1.0,
         0.03},
        {"hlg10_420", "--depth 10 --yuv 420 --cicp 9/18/9", 0.75, 1.0, 0.02},
        {"hlg12_444", "--depth 12 --yuv 444 --cicp 9/18/9 --min 0 --max 0", 0.75, 1.0, 0.01},
        {"linear12_444", "--depth 12 --yuv 444 --cicp 1/8/1 --min 0 --max 0", 0.25, 0.25, 0.01},
    };
    for (const HdrCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint16_t grey = code16(c.signal);
        const std::string file =
            makeAvif(*this, c.name, c.options, 66, 34, [&](int, int) { return Rgb16{grey, grey, grey}; });
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe);
        EXPECT_EQ(picture.width, 66);
        EXPECT_EQ(picture.height, 34);
        const bool absolute = std::string(c.options).find("/8/") == std::string::npos;
        EXPECT_EQ(picture.candelaPerUnit, absolute ? 203.0 : radianceCandela);
        for (const auto& [x, y] : {std::pair{0, 0}, std::pair{65, 33}, std::pair{31, 17}}) {
            const std::array<double, 3> rgb = rgbeAt(picture, x, y);
            for (double v : rgb) {
                EXPECT_NEAR(v, c.expected, c.expected * c.tolerance) << x << "," << y;
            }
        }
        const PictureInfo info = probePicture(file, SizeLimit());
        EXPECT_EQ(info.encoding, PixelEncoding::Rgbe);
        EXPECT_EQ(info.width, 66);
    }
}

// Colour blocks in SDR transfers stay 8-bit with their codes; an ICC profile without CICP
// codes is read as sRGB.
TEST_F(AvifReader, SdrPicturesStayEightBitWithTheirCodes) {
    const std::string icc = "/usr/share/color/icc/ghostscript/a98.icc";
    struct SdrCase {
        const char* name;
        std::string options;
        int tolerance;
    } cases[] = {
        {"srgb8_lossless", "-l --depth 8", 0},
        {"srgb10_444", "--depth 10 --yuv 444 --cicp 1/13/1 --min 0 --max 0", 1},
        {"bt709_12_444", "--depth 12 --yuv 444 --cicp 1/1/1 --min 0 --max 0", 1},
        {"icc_only", "-l --depth 8 --cicp 2/2/0 --icc " + icc, 0},
    };
    const auto codeAt = [](int x, int y, int c) {
        return static_cast<unsigned>((x / 4 * 37 + y / 4 * 91 + c * 85) % 256);
    };
    for (const SdrCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = makeAvif(*this, c.name, c.options, 24, 20, [&](int x, int y) {
            return Rgb16{static_cast<std::uint16_t>(codeAt(x, y, 0) * 257),
                         static_cast<std::uint16_t>(codeAt(x, y, 1) * 257),
                         static_cast<std::uint16_t>(codeAt(x, y, 2) * 257)};
        });
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgb8);
        EXPECT_EQ(probePicture(file, SizeLimit()).encoding, PixelEncoding::Rgb8);
        int worst = 0;
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 24; ++x) {
                for (int k = 0; k < 3; ++k) {
                    const int got = picture.pixels[3 * (y * 24 + x) + k];
                    worst = std::max(worst, std::abs(got - static_cast<int>(codeAt(x, y, k))));
                }
            }
        }
        EXPECT_LE(worst, c.tolerance);
    }
}

// A linear colour inside both gamuts, in BT.2020 and Display P3 primaries, comes out in
// Rec.709 by the published matrices (ITU-R BT.2087; P3 D65): not its own numbers, which would
// show it desaturated.
TEST_F(AvifReader, WideGamutPrimariesAreConvertedToRec709) {
    const std::array<double, 3> colour = {0.6, 0.3, 0.2};
    struct GamutCase {
        const char* name;
        const char* options;
        std::array<double, 9> matrix;
    } cases[] = {
        {"bt2020", "--depth 12 --yuv 444 --cicp 9/8/9 --min 0 --max 0",
         {1.6605, -0.5876, -0.0728, -0.1246, 1.1329, -0.0083, -0.0182, -0.1006, 1.1187}},
        {"p3", "--depth 12 --yuv 444 --cicp 12/8/1 --min 0 --max 0",
         {1.2249, -0.2247, 0.0, -0.0420, 1.0419, 0.0, -0.0197, -0.0786, 1.0979}},
    };
    for (const GamutCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = makeAvif(*this, c.name, c.options, 16, 16, [&](int, int) {
            return Rgb16{code16(colour[0]), code16(colour[1]), code16(colour[2])};
        });
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe);
        const std::array<double, 3> rgb = rgbeAt(picture, 8, 8);
        for (int k = 0; k < 3; ++k) {
            const double expected = c.matrix[3 * k] * colour[0] + c.matrix[3 * k + 1] * colour[1] +
                                    c.matrix[3 * k + 2] * colour[2];
            EXPECT_NEAR(rgb[k], expected, 0.015) << "channel " << k;
        }
    }
}

// The conversion runs in bands of rows on every core; with chroma upsampled across the bands'
// edges, its 8-bit codes are avifdec's, which converts the picture whole.
TEST_F(AvifReader, BandsMatchTheWholePictureConversion) {
    for (const char* layout : {"420", "422"}) {
        SCOPED_TRACE(layout);
        std::mt19937 random(5);
        const int width = 90;
        const int height = 333;
        const std::string file = makeAvif(
            *this, std::string("noise") + layout, std::string("--depth 8 --yuv ") + layout, width,
            height, [&](int x, int y) {
                const auto v = [&](int k) {
                    return static_cast<std::uint16_t>((x * 700 + y * 190 + k * 9000) % 65536 +
                                                      random() % 6000);
                };
                return Rgb16{v(0), v(1), v(2)};
            });
        const std::string reference = path(std::string("reference") + layout + ".png");
        const std::string command =
            "avifdec -d 8 '" + file + "' '" + reference + "' > /dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_NE(png_image_begin_read_from_file(&image, reference.c_str()), 0);
        image.format = PNG_FORMAT_RGB;
        std::vector<unsigned char> expected(PNG_IMAGE_SIZE(image));
        ASSERT_NE(png_image_finish_read(&image, nullptr, expected.data(), 0, nullptr), 0);
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgb8);
        ASSERT_EQ(picture.byteCount(), expected.size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            differing += picture.pixels[i] != expected[i];
        }
        EXPECT_EQ(differing, 0u);
    }
}

std::uint32_t be32(const Bytes& bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) << 24 | std::uint32_t(bytes[at + 1]) << 16 |
           std::uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
}

// The file with its ispe box (version and flags, then width and height) saying another size.
std::string forgeSize(const AvifReader& files, const std::string& source, const std::string& name,
                      std::uint32_t width, std::uint32_t height) {
    Bytes bytes = AvifReader::contents(source);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t at = text.find("ispe");
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(be32(bytes, at - 4), 20u); // the box's size
    for (int k = 0; k < 4; ++k) {
        bytes[at + 8 + k] = static_cast<unsigned char>(width >> (24 - 8 * k));
        bytes[at + 12 + k] = static_cast<unsigned char>(height >> (24 - 8 * k));
    }
    return files.put(name, std::string(bytes.begin(), bytes.end()));
}

TEST_F(AvifReader, ForgedSizesAreRefusedByReadAndProbeInLittleMemory) {
    const std::string small = makeAvif(*this, "small", "--depth 10 --yuv 420 --cicp 9/16/9", 64,
                                       48, [](int x, int y) {
                                           return Rgb16{std::uint16_t(x * 900),
                                                        std::uint16_t(y * 1200), 30000};
                                       });
    const std::string large = makeAvif(*this, "large", "--depth 8 --yuv 420", 512, 512,
                                       [](int x, int y) {
                                           return Rgb16{std::uint16_t(x * 128), 0,
                                                        std::uint16_t(y * 128)};
                                       });
    // The module is loaded here, so that the children measure the reads alone.
    ASSERT_EQ(quietRead(small).width, 64);
    struct ForgedCase {
        const std::string& source;
        std::uint32_t width, height;
        std::string error; // of the file named '%s'
        bool probeFails;
    } cases[] = {
        // Beyond libavif's own bounds, refused as it parses.
        {small, 100000, 100000, "Failed to read file '%s': BMFF parsing failed", true},
        // Within them, refused by the card's limit before the decoder is asked.
        {small, 20000, 10000,
         "Maximum texture size of GPU is too small (20000x10000 > 8192) for '%s'", true},
        // A header far smaller than its frame: the decoder refuses the frame rather than make
        // it and scale it down. Only decoding finds it.
        {large, 16, 16, "Failed to read file '%s': ", false},
    };
    for (const ForgedCase& c : cases) {
        const std::string name =
            "forged" + std::to_string(c.width) + "x" + std::to_string(c.height);
        SCOPED_TRACE(name);
        const std::string file = forgeSize(*this, c.source, name + ".avif", c.width, c.height);
        std::string error = c.error;
        error.replace(error.find("%s"), 2, file);
        const ChildRead read = inChild([&] { return pictureError(file); });
        EXPECT_EQ(read.text.substr(0, error.size()), error) << read.text;
        EXPECT_LT(read.grownMiB, 32);
        const ChildRead probe = inChild([&] {
            const PictureInfo info = probePicture(file, SizeLimit());
            return std::to_string(info.width) + "x" + std::to_string(info.height);
        });
        EXPECT_EQ(probe.text, c.probeFails ? read.text : name.substr(6)) << probe.text;
        EXPECT_LT(probe.grownMiB, 32);
    }
}

TEST_F(AvifReader, TruncatedFilesFailNamingTheFile) {
    const std::string whole =
        makeAvif(*this, "whole", "--depth 10 --yuv 444 --cicp 9/16/9", 80, 60, [](int x, int y) {
            return Rgb16{std::uint16_t(x * 800), std::uint16_t(y * 1000), std::uint16_t(x * y * 13)};
        });
    const Bytes bytes = contents(whole);
    ASSERT_GT(bytes.size(), 400u);
    for (std::size_t keep : {std::size_t(0), std::size_t(24), std::size_t(200), bytes.size() / 2,
                             bytes.size() - 1}) {
        SCOPED_TRACE(keep);
        const std::string file = put("cut" + std::to_string(keep) + ".avif",
                                     std::string(bytes.begin(), bytes.begin() + keep));
        const std::string error = pictureError(file);
        EXPECT_EQ(error.rfind("Failed to read file '" + file + "': ", 0), 0u) << error;
    }
}

} // namespace
