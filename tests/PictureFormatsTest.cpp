// The one table of formats: which reader a name goes to, what the open dialog and drops take,
// and the header probe, which must say what the reader would allocate or fail as it would.
#include "FifoPicture.h"
#include "OiioModule.h"
#include "PictureFormats.h"
#include "PictureReadUtil.h"
#include "PictureWriter.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using PictureFormatFiles = RgbeFiles;

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(separator, at)) != std::string::npos;) {
        parts.push_back(text.substr(at, next - at));
        at = next + separator.size();
    }
    parts.push_back(text.substr(at));
    return parts;
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string probeError(const std::string& file, const SizeLimit& limit = SizeLimit()) {
    return errorOf([&] { probePicture(file, limit); });
}

} // namespace

TEST(PictureFormats, NamesChooseTheirReader) {
    struct Case {
        const char* path;
        const char* format; // nullptr: no format by name
        const char* oiio;   // OpenImageIO's reader for it
    };
    const Case cases[] = {
        {"PANO.HDR", "RADIANCE", nullptr},
        {"-x.hdr", "RADIANCE", nullptr},
        {"x.JPG", "JPEG", nullptr},
        {"x.jpeg", "JPEG", nullptr},
        {"x.JPE", "JPEG", nullptr},
        {"img.CR2", "Canon raw preview", nullptr},
        {"-", "PNM on standard input", nullptr},
        {"./-", nullptr, nullptr},
        {"--", nullptr, nullptr},
        {"a.png", "PNG", nullptr},
        {"b.PGM", "PNM", nullptr},
        {"c.pbm", "PNM", nullptr},
        {"d.exr", "OpenEXR", "openexr"},
        {"e.Tif", "TIFF", "tiff"},
        {"f.tiff", "TIFF", "tiff"},
        {"g.pfm", "PFM", "pnm"},
        {"h.dib", "BMP", "bmp"},
        {"i.tga", "Targa", "targa"},
        {"j.WEBP", "WebP", "webp"},
        {"drawing.xcf", nullptr, nullptr},
        {"hdr", nullptr, nullptr},
        {"x.hdr.txt", nullptr, nullptr},
        {"x.jpeg2", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const PictureFormat* format = pictureFormatOf(c.path);
        EXPECT_EQ(format != nullptr ? std::string(format->name) : "none",
                  c.format != nullptr ? std::string(c.format) : "none")
            << c.path;
        EXPECT_EQ(readsName(c.path), c.format != nullptr) << c.path;
        const char* oiio = oiio_module::formatOf(c.path);
        EXPECT_EQ(oiio != nullptr ? std::string(oiio) : "none",
                  c.oiio != nullptr ? std::string(c.oiio) : "none")
            << c.path;
    }
}

TEST(PictureFormats, TheDialogOffersEveryReadableSuffix) {
    const std::vector<std::string> entries = split(openDialogFilter(), ";;");
    ASSERT_GE(entries.size(), 6u);
    const std::string& all = entries[0];
    ASSERT_EQ(all.rfind("Supported Images (", 0), 0u) << all;
    const std::vector<std::string> offered =
        split(all.substr(18, all.size() - 19), " ");
    std::size_t suffixCount = 0;
    for (const PictureFormat& format : pictureFormats()) {
        for (const char* suffix : format.suffixes) {
            ++suffixCount;
            EXPECT_NE(std::find(offered.begin(), offered.end(), "*" + std::string(suffix)),
                      offered.end())
                << suffix;
            for (const std::string& name : {"p" + std::string(suffix), "P" + upper(suffix)}) {
                EXPECT_TRUE(readsName("/some/folder/" + name)) << name;
            }
        }
    }
    EXPECT_EQ(offered.size(), suffixCount) << all;
    for (const std::string& pattern : offered) {
        EXPECT_TRUE(readsName(pattern.substr(1))) << pattern;
    }
    // The entries the dialog had, first and in their order; each format's own after them.
    const std::vector<std::string> kept = {
        "HDR Image (*.hdr)", "JPEG Image (*.jpg *.jpeg *.jpe)", "OpenEXR Image (*.exr)",
        "TIFF Image (*.tif *.tiff)", "PFM Image (*.pfm)"};
    EXPECT_EQ(std::vector<std::string>(entries.begin() + 1, entries.begin() + 6), kept);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        EXPECT_NE(entries[i].find(" (*."), std::string::npos) << entries[i];
        EXPECT_EQ(entries[i].back(), ')') << entries[i];
    }
}

// Each format's probe gives the size and encoding its reader allocates, from the header.
TEST_F(PictureFormatFiles, TheProbeTellsWhatTheReaderAllocates) {
    const DiagnosticsSilenced quiet(true);
    const Bytes rgbe = mixedPixels(40, 3, 7);
    rgbe::write(path("pano.HDR"), 40, 3, rgbe.data(), true);
    rgbe::write(path("flat.hdr"), 5, 2, rgbe.data(), false);
    const Bytes rgb(24 * 10 * 3, 120);
    for (const char* name : {"a.jpg", "b.JPEG", "c.jpe", "d.ppm", "e.png"}) {
        saveImage(path(name), 24, 10, 3, rgb.data());
    }
    // A photo stored sideways is read upright.
    saveImage(path("turned.jpg"), 24, 10, 3, rgb.data());
    ASSERT_EQ(std::system(("exiftool -q -overwrite_original -n -Orientation=6 '" +
                           path("turned.jpg") + "' >/dev/null")
                              .c_str()),
              0);
    const std::vector<float> linear(16 * 8 * 3, 0.5f);
    saveLinearExr(path("linear.exr"), 16, 8, linear.data());
    for (const char* name : {"g.tif", "h.bmp", "i.gif", "j.tga", "k.webp", "l.sgi", "m.pfm"}) {
        ASSERT_EQ(std::system(("convert -size 20x12 xc:red '" + path(name) + "'").c_str()), 0)
            << name;
    }
    struct Case {
        const char* name;
        int width;
        int height;
        PixelEncoding encoding;
    };
    const Case cases[] = {
        {"pano.HDR", 40, 3, PixelEncoding::Rgbe},    {"flat.hdr", 5, 2, PixelEncoding::Rgbe},
        {"a.jpg", 24, 10, PixelEncoding::Rgb8},      {"b.JPEG", 24, 10, PixelEncoding::Rgb8},
        {"c.jpe", 24, 10, PixelEncoding::Rgb8},      {"turned.jpg", 10, 24, PixelEncoding::Rgb8},
        {"d.ppm", 24, 10, PixelEncoding::Rgb8},      {"e.png", 24, 10, PixelEncoding::Rgb8},
        {"linear.exr", 16, 8, PixelEncoding::Rgbe},  {"g.tif", 20, 12, PixelEncoding::Rgb8},
        {"h.bmp", 20, 12, PixelEncoding::Rgb8},      {"i.gif", 20, 12, PixelEncoding::Rgb8},
        {"j.tga", 20, 12, PixelEncoding::Rgb8},      {"k.webp", 20, 12, PixelEncoding::Rgb8},
        {"l.sgi", 20, 12, PixelEncoding::Rgb8},      {"m.pfm", 20, 12, PixelEncoding::Rgbe},
    };
    for (const Case& c : cases) {
        const std::string file = path(c.name);
        PictureInfo info;
        ASSERT_NO_THROW(info = probePicture(file, SizeLimit())) << probeError(file);
        EXPECT_EQ(info.width, c.width) << c.name;
        EXPECT_EQ(info.height, c.height) << c.name;
        EXPECT_EQ(info.encoding, c.encoding) << c.name;
        const Picture picture = quietRead(file);
        EXPECT_EQ(picture.width, info.width) << c.name;
        EXPECT_EQ(picture.height, info.height) << c.name;
        EXPECT_EQ(picture.encoding, info.encoding) << c.name;
    }
    // A name of none of ours with PNG bytes is probed as PNG, as it is read.
    ASSERT_EQ(std::rename(path("e.png").c_str(), path("png-without-suffix").c_str()), 0);
    EXPECT_EQ(probePicture(path("png-without-suffix"), SizeLimit()).width, 24);
}

// Formats that tell their size only once decoded are probed as 0 x 0, without failing and
// without running anything or taking a byte of a stream.
TEST_F(PictureFormatFiles, WhatCannotBeProbedCheaplyIsSizeZero) {
    const std::string raw = put("photo.cr2", "not even a raw file");
    for (const std::string& file : {raw, std::string("-")}) {
        const PictureInfo info = probePicture(file, SizeLimit());
        EXPECT_EQ(info.width, 0) << file;
        EXPECT_EQ(info.height, 0) << file;
    }
    // The whole picture is in the pipe: the probe leaves it there for the read.
    const DiagnosticsSilenced quiet(true);
    FifoPicture fifo(path("stream.hdr"), 64);
    EXPECT_EQ(probePicture(fifo.path, SizeLimit()).width, 0);
    EXPECT_FALSE(fifo.drained());
    std::future<Picture> reading =
        std::async(std::launch::async, [&fifo] { return quietRead(fifo.path); });
    for (int i = 0; i < 1000 && !fifo.drained(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fifo.close();
    const Picture picture = reading.get();
    EXPECT_EQ(picture.width, 8);
    EXPECT_EQ(picture.height, 64);
}

// The probe fails as the read does, with the read's own message, for every kind of failure a
// list of files may hold; a FIFO under another format's name is refused before it is opened.
TEST_F(PictureFormatFiles, TheProbeFailsAsTheReaderFails) {
    const std::string fifo = path("pipe.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = path("folder.hdr");
    std::filesystem::create_directory(folder);
    const std::string locked = put("locked.jpg", "\xff\xd8\xff");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    const Bytes rgb(16 * 16 * 3, 90);
    saveImage(path("forged.jpg"), 16, 16, 3, rgb.data());
    Bytes jpeg = contents(path("forged.jpg"));
    // The baseline frame header: marker, length, precision, then height and width.
    const std::string text(jpeg.begin(), jpeg.end());
    const std::size_t frame = text.find("\xff\xc0");
    ASSERT_NE(frame, std::string::npos);
    const std::string forged = put("forged.jpg", text.substr(0, frame + 5) + "\xfd\xe8\xfd\xe8" +
                                                     text.substr(frame + 9));
    ASSERT_EQ(std::system(("convert -size 20x12 xc:red '" + path("screen.gif") + "'").c_str()), 0);
    Bytes gif = contents(path("screen.gif"));
    gif[6] = 0xe8, gif[7] = 0x6b, gif[8] = 0x0d, gif[9] = 0x38;
    const std::string screen = put("screen.gif", std::string(gif.begin(), gif.end()));

    struct Case {
        std::string file;
        std::string error;
    };
    std::vector<Case> cases = {
        {path("missing.png"),
         "Failed to open file '" + path("missing.png") + "': No such file or directory"},
        {fifo, "Failed to read file '" + fifo + "': not a regular file"},
        {folder, "Failed to read file '" + folder + "': not a regular file"},
        {put("drawing.xcf", "gimp xcf file"),
         "Unsupported picture format: '" + path("drawing.xcf") + "'"},
        {put("size.hdr", "#?RADIANCE\n\n-Y 2 -X 2\n"),
         "Invalid size of RADIANCE file '" + path("size.hdr") + "': '-Y 2 -X 2'"},
        {put("wide.hdr", "#?RADIANCE\n\n-Y 10 +X 20000\n"),
         "Maximum texture size of GPU is too small (20000x10 > 8192) for '" + path("wide.hdr") +
             "'"},
        {put("short.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20 +X 100\n"),
         "Truncated RADIANCE file '" + path("short.hdr") + "': line 0 is incomplete"},
        {put("junk.png", "junk that is no picture"), "Not a PNG file: '" + path("junk.png") + "'"},
        {put("tall.ppm", "P6\n1 9000\n255\n"),
         "Maximum texture size of GPU is too small (1x9000 > 8192) for '" + path("tall.ppm") +
             "'"},
        {put("bad.pgm", "P5\n3 x\n255\n"),
         "Invalid PNM header in '" + path("bad.pgm") + "': 'x' where a number belongs"},
        {put("junk.jpeg", "junk"), "Failed to read file '" + path("junk.jpeg") +
                                       "': Not a JPEG file: starts with 0x6a 0x75"},
        {forged,
         "Maximum texture size of GPU is too small (65000x65000 > 8192) for '" + forged + "'"},
        {screen,
         "Maximum texture size of GPU is too small (27624x14349 > 8192) for '" + screen + "'"},
        // Checked by the reader before OpenImageIO opens the file, and so by the probe.
        {put("zero.pfm", "PF\n1 1\n0\n" + std::string(12, '\0')),
         "Failed to read file '" + path("zero.pfm") +
             "': PFM scale '0' is not a finite number other than 0"},
        {put("offset.bmp", "BM" + std::string(8, '\0') + "\x88\x13" + std::string(42, '\0')),
         "Failed to read file '" + path("offset.bmp") +
             "': BMP pixels at byte 5000, beyond the end of the file (54 bytes)"},
    };
    // Root reads whatever the mode says.
    if (geteuid() != 0) {
        cases.push_back({locked, "Failed to open file '" + locked + "': Permission denied"});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(probeError(c.file), c.error);
        EXPECT_EQ(pictureError(c.file), c.error);
    }
    // OpenImageIO's own words, whatever they are, are the read's.
    const std::string exr = put("junk.exr", "junk that is no picture");
    const std::string error = probeError(exr);
    EXPECT_EQ(error.rfind("Failed to read file '" + exr + "': ", 0), 0u) << error;
    EXPECT_EQ(error, pictureError(exr));
    chmod(locked.c_str(), 0600);
}
