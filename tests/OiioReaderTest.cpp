// OpenEXR, TIFF and PFM files through readPicture: layouts, layers, hints and failures.
#include "Diagnostics.h"
#include "PictureReader.h"
#include "PictureReadUtil.h"
#include "PictureWriter.h"
#include "RgbeTestUtil.h"

#include <OpenEXR/ImfEnvmapAttribute.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;
using Floats = std::vector<float>;

// Multiples of 1/8 below 64, exact in half floats; x, y and the channel all show.
float value(int x, int y, int c) {
    return static_cast<float>((x * 3 + y * 5 + c * 7) % 500) / 8.0f;
}

Floats pattern(const ImageSpec& header) {
    Floats values;
    for (int y = header.y; y < header.y + header.height; ++y) {
        for (int x = header.x; x < header.x + header.width; ++x) {
            for (int c = 0; c < header.nchannels; ++c) {
                values.push_back(value(x, y, c));
            }
        }
    }
    return values;
}

// Each part holds pattern(part) as floats, converted to the part's own type.
void writeParts(const std::string& path, const std::vector<ImageSpec>& parts) {
    std::unique_ptr<ImageOutput> out = ImageOutput::create(path);
    ASSERT_TRUE(out) << OIIO::geterror();
    ASSERT_TRUE(out->open(path, static_cast<int>(parts.size()), parts.data())) << out->geterror();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            ASSERT_TRUE(out->open(path, parts[i], ImageOutput::AppendSubimage)) << out->geterror();
        }
        ASSERT_TRUE(out->write_image(OIIO::TypeFloat, pattern(parts[i]).data())) << out->geterror();
    }
    ASSERT_TRUE(out->close()) << out->geterror();
}

ImageSpec layout(int width, int height, std::vector<std::string> channels, TypeDesc type) {
    ImageSpec header(width, height, static_cast<int>(channels.size()), type);
    header.channelnames = std::move(channels);
    return header;
}

// The RGBE bytes the display window should hold: the data window's channels r, g, b of
// value(), black where there is no data.
Bytes expectedRgbe(const ImageSpec& data, int r, int g, int b) {
    Bytes bytes;
    for (int y = data.full_y; y < data.full_y + data.full_height; ++y) {
        for (int x = data.full_x; x < data.full_x + data.full_width; ++x) {
            unsigned char quad[4] = {0, 0, 0, 0};
            if (x >= data.x && x < data.x + data.width && y >= data.y && y < data.y + data.height) {
                rgbe::encode(value(x, y, r), value(x, y, g), value(x, y, b), quad);
            }
            bytes.insert(bytes.end(), quad, quad + 4);
        }
    }
    return bytes;
}

Bytes bytesOf(const Picture& picture) {
    return Bytes(picture.pixels.get(), picture.pixels.get() + picture.byteCount());
}

using OiioReader = RgbeFiles;

TEST_F(OiioReader, ExrLayoutsGiveTheDisplayWindow) {
    struct Case {
        const char* name;
        ImageSpec header;
        int r, g, b;
    };
    std::vector<Case> cases;
    cases.push_back(
        {"scanline-float.exr", layout(37, 11, {"R", "G", "B"}, TypeDesc::FLOAT), 0, 1, 2});
    ImageSpec tiled = layout(70, 45, {"R", "G", "B", "A"}, TypeDesc::HALF);
    tiled.tile_width = 16;
    tiled.tile_height = 16;
    cases.push_back({"tiled-half-rgba.EXR", tiled, 0, 1, 2});
    cases.push_back({"luminance.exr", layout(20, 6, {"Y"}, TypeDesc::HALF), 0, 0, 0});
    ImageSpec inside = layout(12, 5, {"R", "G", "B"}, TypeDesc::FLOAT);
    inside.x = 7;
    inside.y = 3;
    inside.full_width = 30;
    inside.full_height = 10;
    cases.push_back({"data-inside.exr", inside, 0, 1, 2});
    ImageSpec beyond = layout(40, 20, {"R", "G", "B"}, TypeDesc::HALF);
    beyond.x = -6;
    beyond.y = -4;
    beyond.full_x = 2;
    beyond.full_y = 1;
    beyond.full_width = 25;
    beyond.full_height = 9;
    beyond.tile_width = 8;
    beyond.tile_height = 8;
    cases.push_back({"data-beyond-tiled.exr", beyond, 0, 1, 2});

    for (const Case& c : cases) {
        const std::string file = path(c.name);
        writeParts(file, {c.header});
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe) << c.name;
        EXPECT_EQ(picture.width, c.header.full_width) << c.name;
        EXPECT_EQ(picture.height, c.header.full_height) << c.name;
        EXPECT_EQ(bytesOf(picture), expectedRgbe(c.header, c.r, c.g, c.b)) << c.name;
        EXPECT_EQ(picture.layer, "") << c.name;
        EXPECT_EQ(picture.projectionHint, ProjectionHint::None) << c.name;
        EXPECT_EQ(picture.fileName, file);
    }
}

TEST_F(OiioReader, FirstPartOrLayerWithColourNamesTheTitle) {
    // A depth-only part first, then a part of two layers: the first with R, G and B wins.
    ImageSpec depth = layout(8, 4, {"Z"}, TypeDesc::FLOAT);
    depth.attribute("oiio:subimagename", "depth");
    ImageSpec beauty = layout(
        8, 4, {"diffuse.B", "diffuse.G", "diffuse.R", "specular.B", "specular.G", "specular.R"},
        TypeDesc::HALF);
    beauty.attribute("oiio:subimagename", "beauty");
    const std::string twoParts = path("two-parts.exr");
    writeParts(twoParts, {depth, beauty});
    const Picture parts = quietRead(twoParts);
    EXPECT_EQ(parts.layer, "beauty.diffuse");
    EXPECT_EQ(bytesOf(parts), expectedRgbe(beauty, 2, 1, 0));

    const std::string layers = path("layers.exr");
    ImageSpec single =
        layout(8, 4, {"A", "normal.X", "specular.B", "specular.G", "specular.R"}, TypeDesc::FLOAT);
    writeParts(layers, {single});
    const Picture layered = quietRead(layers);
    EXPECT_EQ(layered.layer, "specular");
    EXPECT_EQ(bytesOf(layered), expectedRgbe(single, 4, 3, 2));
}

TEST_F(OiioReader, LatlongEnvmapAsksForTheSphere) {
    // Written with OpenEXR itself: OpenImageIO does not write the attribute.
    for (const Imf::Envmap envmap : {Imf::ENVMAP_LATLONG, Imf::ENVMAP_CUBE}) {
        const bool latlong = envmap == Imf::ENVMAP_LATLONG;
        const std::string file = path(latlong ? "latlong.exr" : "cube.exr");
        Imf::Header header(16, latlong ? 8 : 96);
        Imf::addEnvmap(header, envmap);
        std::vector<Imf::Rgba> pixels(16 * 96, Imf::Rgba(1.0f, 0.5f, 0.25f, 1.0f));
        {
            Imf::RgbaOutputFile out(file.c_str(), header, Imf::WRITE_RGB);
            out.setFrameBuffer(pixels.data(), 1, 16);
            out.writePixels(latlong ? 8 : 96);
        }
        const Picture picture = quietRead(file);
        EXPECT_EQ(picture.projectionHint,
                  latlong ? ProjectionHint::Equirectangular : ProjectionHint::None);
        unsigned char quad[4];
        rgbe::encode(1.0, 0.5, 0.25, quad);
        EXPECT_EQ(Bytes(picture.pixels.get(), picture.pixels.get() + 4), Bytes(quad, quad + 4));
    }
}

TEST_F(OiioReader, HdrAndExrOfOneSceneGiveTheSamePicture) {
    const ImageSpec rgb = layout(64, 32, {"R", "G", "B"}, TypeDesc::FLOAT);
    const std::string exr = path("scene.exr");
    writeParts(exr, {rgb});
    const Bytes encoded = expectedRgbe(rgb, 0, 1, 2);
    const std::string hdr = path("scene.hdr");
    std::vector<std::string> hdrLines;
    std::vector<std::string> exrLines;
    {
        const DiagnosticsSilenced quiet(true);
        rgbe::write(hdr, 64, 32, encoded.data(), true);
    }
    const auto capture = [](std::vector<std::string>& lines) {
        return setDiagnosticSink([&lines](const std::string& line) { lines.push_back(line); });
    };
    const DiagnosticSink previous = capture(hdrLines);
    const Picture fromHdr = readPicture(hdr, SizeLimit());
    capture(exrLines);
    const Picture fromExr = readPicture(exr, SizeLimit());
    setDiagnosticSink(previous);

    EXPECT_EQ(bytesOf(fromExr), bytesOf(fromHdr));
    EXPECT_EQ(fromExr.scale.mean, fromHdr.scale.mean);
    EXPECT_EQ(fromExr.scale.min, fromHdr.scale.min);
    EXPECT_EQ(fromExr.scale.max, fromHdr.scale.max);
    // The statistics line is the same; the timing lines carry other numbers.
    const auto statistics = [](const std::vector<std::string>& lines) {
        std::vector<std::string> kept;
        for (const std::string& line : lines) {
            if (line.rfind("M: ", 0) == 0) {
                kept.push_back(line);
            }
        }
        return kept;
    };
    ASSERT_EQ(statistics(exrLines).size(), 1u);
    EXPECT_EQ(statistics(exrLines), statistics(hdrLines));
}

TEST_F(OiioReader, TiffAndPfmDepths) {
    // Float and half TIFF become RGBE; 8-bit stays as it is; 16-bit is scaled to 8 bits.
    const std::string floatTiff = path("float.tif");
    const ImageSpec floats = layout(9, 7, {"R", "G", "B"}, TypeDesc::FLOAT);
    writeParts(floatTiff, {floats});
    const std::string halfTiff = path("half.TIFF");
    const ImageSpec halves = layout(9, 7, {"R", "G", "B", "A"}, TypeDesc::HALF);
    writeParts(halfTiff, {halves});
    EXPECT_EQ(bytesOf(quietRead(floatTiff)), expectedRgbe(floats, 0, 1, 2));
    EXPECT_EQ(bytesOf(quietRead(halfTiff)), expectedRgbe(halves, 0, 1, 2));

    const unsigned char rgb8[6] = {0, 17, 255, 128, 64, 3};
    const unsigned short rgb16[6] = {0, 257, 65535, 32896, 32767, 300};
    const std::string tiff8 = path("eight.tif");
    const std::string tiff16 = path("sixteen.tif");
    for (const auto& [file, type, data] :
         {std::make_tuple(tiff8, TypeDesc(TypeDesc::UINT8), static_cast<const void*>(rgb8)),
          std::make_tuple(tiff16, TypeDesc(TypeDesc::UINT16), static_cast<const void*>(rgb16))}) {
        std::unique_ptr<ImageOutput> out = ImageOutput::create(file);
        ASSERT_TRUE(out->open(file, ImageSpec(2, 1, 3, type)));
        ASSERT_TRUE(out->write_image(type, data));
        ASSERT_TRUE(out->close());
    }
    const Picture eight = quietRead(tiff8);
    EXPECT_EQ(eight.encoding, PixelEncoding::Rgb8);
    EXPECT_EQ(bytesOf(eight), Bytes(rgb8, rgb8 + 6));
    const Picture sixteen = quietRead(tiff16);
    EXPECT_EQ(sixteen.encoding, PixelEncoding::Rgb8);
    EXPECT_EQ(bytesOf(sixteen), (Bytes{0, 1, 255, 128, 127, 1}));

    // PFM rows run from the bottom: the first row stored is the picture's last.
    const int width = 5;
    const int height = 3;
    Floats stored;
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                stored.push_back(value(x, height - 1 - row, c));
            }
        }
    }
    const std::string pfm =
        put("bottom-up.pfm",
            "PF\n5 3\n-1.0\n" +
                std::string(reinterpret_cast<const char*>(stored.data()), stored.size() * 4));
    EXPECT_EQ(bytesOf(quietRead(pfm)),
              expectedRgbe(layout(5, 3, {"R", "G", "B"}, TypeDesc::FLOAT), 0, 1, 2));
}

TEST_F(OiioReader, LinearExrWritesHalfFloats) {
    const ImageSpec rgb = layout(24, 10, {"R", "G", "B"}, TypeDesc::FLOAT);
    const std::string file = path("written.exr");
    saveLinearExr(file, 24, 10, pattern(rgb).data());
    std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(file);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->spec_dimensions(0, 0).format, TypeDesc::HALF);
    EXPECT_EQ(bytesOf(quietRead(file)), expectedRgbe(rgb, 0, 1, 2));
    const std::string nowhere = path("no/such/folder.exr");
    try {
        saveLinearExr(nowhere, 24, 10, pattern(rgb).data());
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to write file '" + nowhere +
                                                 "': Could not open \"" + nowhere +
                                                 "\" (No such file or directory)");
    }
}

TEST_F(OiioReader, FailuresNameTheFile) {
    const ImageSpec rgb = layout(100, 20, {"R", "G", "B"}, TypeDesc::HALF);
    const std::string good = path("good.exr");
    writeParts(good, {rgb});
    SizeLimit small;
    small.pieceLimit = 16;
    small.maxPieces = 4;
    EXPECT_EQ(pictureError(good, small),
              "Maximum texture size of GPU is too small (100x20 > 16) for '" + good + "'");
    ImageSpec wide = rgb;
    wide.full_width = 60;
    wide.full_height = 10;
    const std::string wideData = path("wide-data.exr");
    writeParts(wideData, {wide});
    small.maxPieces = 4;
    EXPECT_EQ(pictureError(wideData, small),
              "Maximum texture size of GPU is too small (100x20 > 16) for '" + wideData + "'");

    const Bytes bytes = contents(good);
    const std::string cut =
        put("cut.exr", std::string(bytes.begin(), bytes.begin() + bytes.size() / 2));
    EXPECT_EQ(pictureError(cut), "Failed to read file '" + cut +
                                  "': Failed OpenEXR read: Error reading pixel data from image "
                                  "file \"" +
                                  cut + "\". Unexpected end of file.");
    const std::string text = put("text.exr", "not a picture at all");
    EXPECT_EQ(pictureError(text),
              "Failed to read file '" + text + "': \"" + text + "\" is not an OpenEXR file");
    const std::string forged =
        put("forged.exr", std::string("\x76\x2f\x31\x01\x02\0\0\0", 8) +
                              std::string("comments\0string\0\xff\xff\xff\x7f", 20) + "x");
    EXPECT_EQ(pictureError(forged),
              "Failed to read file '" + forged +
                  "': attribute 'comments' of 2147483647 bytes runs past the end");
    const std::string missing = path("missing.tif");
    EXPECT_EQ(pictureError(missing),
              "Failed to open file '" + missing + "': No such file or directory");
    const std::string badPfm = put("bad.pfm", "PF\n5 3\n-1.0\nshort");
    EXPECT_EQ(pictureError(badPfm), "Failed to read file '" + badPfm + "': damaged or truncated data");
}

} // namespace
