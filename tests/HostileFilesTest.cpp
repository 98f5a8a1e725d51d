// Malformed, forged and hostile files for every reader: each ends in an error naming the file or
// in the right picture, within bounded memory, without the network or an outside program.
#include "ChildRead.h"
#include "PictureReadUtil.h"
#include "PictureWriter.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using HostileFiles = RgbeFiles;

std::string errorOf(const std::string& file, const SizeLimit& limit = SizeLimit()) {
    return pictureError(file, limit);
}

// Runs a shell command that makes a test input; fails the test when it fails.
void make(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void append32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>(value >> shift & 0xff));
    }
}

void chunk(std::string& png, const std::string& type, const std::string& data) {
    append32(png, static_cast<std::uint32_t>(data.size()));
    const std::string body = type + data;
    png += body;
    append32(png, static_cast<std::uint32_t>(
                      crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

// A PNG of a few dozen bytes whose header declares width x height 8-bit RGB pixels.
std::string pngBomb(std::uint32_t width, std::uint32_t height) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    append32(header, width);
    append32(header, height);
    header += std::string("\x08\x02\x00\x00\x00", 5);
    chunk(png, "IHDR", header);
    const std::string raw(64, '\0');
    Bytef packed[128];
    uLongf size = sizeof packed;
    compress(packed, &size, reinterpret_cast<const Bytef*>(raw.data()), raw.size());
    chunk(png, "IDAT", std::string(reinterpret_cast<char*>(packed), size));
    chunk(png, "IEND", "");
    return png;
}

// A black 8-bit RGB PNG written row by row, quickly compressed.
void writeBlackPng(const std::string& path, int width, int height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3, 0);
    for (int y = 0; y < height; ++y) {
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// The bytes of `file` with `patch` written over them at `offset`.
std::string patched(const std::string& file, std::size_t offset, const std::string& patch) {
    const Bytes bytes = RgbeFiles::contents(file);
    std::string out(bytes.begin(), bytes.end());
    if (offset + patch.size() <= out.size()) {
        out.replace(offset, patch.size(), patch);
    }
    return out;
}

std::string little32(std::int32_t value) {
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>(static_cast<std::uint32_t>(value) >> shift & 0xff));
    }
    return out;
}

// Where the 16 bytes of an OpenEXR box2i attribute's value start.
std::size_t exrBox(const std::string& file, const std::string& name) {
    const Bytes bytes = RgbeFiles::contents(file);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t at = text.find(name + std::string("\0box2i\0", 7));
    return at == std::string::npos ? at : at + name.size() + 7 + 4;
}

Bytes pixelAt(const Picture& picture, int x, int y) {
    const unsigned char* p =
        picture.pixels.get() + (static_cast<std::size_t>(y) * picture.width + x) * 3;
    return Bytes(p, p + 3);
}

bool near(const Bytes& a, const Bytes& b, int tolerance) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (std::abs(int(a[i]) - int(b[i])) > tolerance) {
            return false;
        }
    }
    return a.size() == b.size();
}

const Bytes red = {255, 0, 0};
const Bytes blue = {0, 0, 255};

} // namespace

// CImg wrote past its buffer for CMYK, read past tiles and showed unset memory for 4 bits.
TEST_F(HostileFiles, TiffsOfEveryLayoutGiveTheirPicture) {
    const std::string halves = "convert -size 32x32 xc:red -size 32x32 xc:blue +append ";
    struct Case {
        const char* name;
        const char* options;
    };
    const Case cases[] = {
        {"cmyk16.tif", "-colorspace CMYK -depth 16"},
        {"cmyk-alpha.tif", "-colorspace CMYK -alpha set -depth 8"},
        {"tiled.tif", "-define tiff:tile-geometry=16x32 -depth 8"},
        {"planar.tif", "-interlace plane -depth 8"},
        {"deep.tif", "-depth 16 -compress lzw"},
    };
    for (const Case& c : cases) {
        const std::string file = path(c.name);
        make(halves + c.options + " " + file);
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.width, 64) << c.name;
        ASSERT_EQ(picture.height, 32) << c.name;
        for (int y : {0, 31}) {
            EXPECT_TRUE(near(pixelAt(picture, 0, y), red, 2)) << c.name;
            EXPECT_TRUE(near(pixelAt(picture, 31, y), red, 2)) << c.name;
            EXPECT_TRUE(near(pixelAt(picture, 32, y), blue, 2)) << c.name;
            EXPECT_TRUE(near(pixelAt(picture, 63, y), blue, 2)) << c.name;
        }
    }

    // Four bits a sample: 16 levels, each a multiple of 17 once widened, brighter upwards.
    const std::string grey = path("grey4.tif");
    make("convert -size 16x64 gradient:white-black -colorspace Gray -depth 4 " + grey);
    const Picture picture = quietRead(grey);
    ASSERT_EQ(picture.width, 16);
    ASSERT_EQ(picture.height, 64);
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        ASSERT_EQ(picture.pixels[i] % 17, 0) << "byte " << i;
    }
    EXPECT_EQ(pixelAt(picture, 5, 0), Bytes(3, 255));
    EXPECT_EQ(pixelAt(picture, 5, 63), Bytes(3, 0));
}

TEST_F(HostileFiles, DamagedTiffsNameTheFile) {
    const std::string good = path("good.tif");
    make("convert -size 64x64 plasma:fractal -depth 8 -compress lzw " + good);
    const Bytes bytes = contents(good);
    const std::string cut =
        put("cut.tif", std::string(bytes.begin(), bytes.begin() + bytes.size() / 2));
    EXPECT_NE(errorOf(cut).find("'" + cut + "'"), std::string::npos) << errorOf(cut);
    const std::string empty = put("empty.tif", "II*\0");
    EXPECT_NE(errorOf(empty).find("'" + empty + "'"), std::string::npos) << errorOf(empty);
}

TEST_F(HostileFiles, PngBombsAreRefusedFromTheHeaderWithFlatMemory) {
    const std::string bomb = put("bomb.png", pngBomb(50000, 50000));
    const ChildRead small = inChild([&] { return errorOf(bomb); });
    EXPECT_EQ(small.text,
              "Maximum texture size of GPU is too small (50000x50000 > 8192) for '" + bomb + "'");
    EXPECT_LT(small.grownMiB, 32);

    // With a card that would take it, memory refuses it.
    SizeLimit vast;
    vast.pieceLimit = 1L << 21;
    vast.maxPieces = 1;
    const std::string huge = put("huge.png", pngBomb(1000000, 1000000));
    const ChildRead big = inChild([&] { return errorOf(huge, vast); });
    EXPECT_EQ(big.text, "Picture of '" + huge + "' too large for memory (1000000x1000000)");
    EXPECT_LT(big.grownMiB, 32);

    // Within both, the few bytes of data fall short of the rows: an error, not a picture.
    const std::string shortData = put("short.png", pngBomb(4000, 2000));
    const ChildRead cut = inChild([&] { return errorOf(shortData); });
    EXPECT_EQ(cut.text.find("Failed to read file '" + shortData + "': "), 0u) << cut.text;
    EXPECT_LT(cut.grownMiB, 64);
}

// libpng allocated what a text chunk claimed (1.68 GB here) before reading it; every
// ancillary chunk is now skipped unread, of whatever size.
TEST_F(HostileFiles, PngAncillaryChunksCostNothing) {
    std::string claim = pngBomb(4, 4).substr(0, 33);
    append32(claim, 0x64617465);
    claim += "tEXtdate:modify" + std::string(200, '2');
    const std::string forged = put("text.png", claim);
    const ChildRead read = inChild([&] { return errorOf(forged); });
    EXPECT_EQ(read.text.find("Failed to read file '" + forged + "': "), 0u) << read.text;
    EXPECT_LT(read.grownMiB, 32);

    // Large text, profile and unknown chunks before the pixels: skipped, the picture shown.
    const std::string good = path("good.png");
    writeBlackPng(good, 8, 4);
    const Bytes bytes = contents(good);
    std::string png(bytes.begin(), bytes.begin() + 33);
    chunk(png, "tEXt", "Comment" + std::string(1, '\0') + std::string(3 << 20, 'c'));
    chunk(png, "iCCP", "icc" + std::string(2, '\0') + std::string(1 << 20, 'z'));
    chunk(png, "zzXt", std::string(1000, 'u'));
    png.append(bytes.begin() + 33, bytes.end());
    const std::string texts = put("texts.png", png);
    const ChildRead shown = inChild([&] {
        const Picture picture = quietRead(texts);
        return std::to_string(picture.width) + "x" + std::to_string(picture.height);
    });
    EXPECT_EQ(shown.text, "8x4");
    EXPECT_LT(shown.grownMiB, 32);
}

// OpenEXR made line buffers as wide as a forged data window (117M pixels) on opening a part,
// before the size could be checked; OpenImageIO's GIF reader decodes onto a canvas of the
// logical screen, and its JPEG reader starts decompressing, on opening. Their sizes are now
// read from the first bytes and refused first.
TEST_F(HostileFiles, ForgedWindowsAndCanvasesAreRefusedBeforeDecoding) {
    const std::string exr = path("small.exr");
    make("oiiotool --pattern constant:color=0.5,0.25,1 16x8 3 -d float -o " + exr);
    // Read here first, so that the children below measure the forged files alone and not
    // the OpenImageIO module's first loading.
    EXPECT_EQ(quietRead(exr).width, 16);
    const std::size_t data = exrBox(exr, "dataWindow");
    const std::size_t display = exrBox(exr, "displayWindow");
    ASSERT_NE(data, std::string::npos);
    ASSERT_NE(display, std::string::npos);
    const std::string wide =
        put("wide.exr", patched(exr, data, little32(-117440512) + little32(0) + little32(15)));
    ChildRead read = inChild([&] { return errorOf(wide); });
    EXPECT_EQ(read.text,
              "Maximum texture size of GPU is too small (117440528x8 > 8192) for '" + wide + "'");
    EXPECT_LT(read.grownMiB, 32);
    SizeLimit vast;
    vast.pieceLimit = 1L << 21;
    vast.maxPieces = 1;
    const std::string vastDisplay =
        put("display.exr",
            patched(exr, display, little32(0) + little32(0) + little32(99999) + little32(99999)));
    read = inChild([&] { return errorOf(vastDisplay, vast); });
    EXPECT_EQ(read.text, "Picture of '" + vastDisplay + "' too large for memory (100000x100000)");
    EXPECT_LT(read.grownMiB, 32);

    // A GIF of a 20x12 frame on a logical screen of 27624x14349.
    const std::string gif = path("small.gif");
    make("convert -size 20x12 xc:red " + gif);
    const std::string screen = put("screen.gif", patched(gif, 6, "\xe8\x6b\x0d\x38"));
    read = inChild([&] { return errorOf(screen); });
    EXPECT_EQ(read.text,
              "Maximum texture size of GPU is too small (27624x14349 > 8192) for '" + screen + "'");
    EXPECT_LT(read.grownMiB, 32);
    EXPECT_EQ(quietRead(gif).width, 20);
    // giflib takes any version after "GIF"; OpenImageIO then threw std::length_error, which
    // named no file, for this one (found by the generic fuzzer).
    const std::string version = put("version.gif", patched(gif, 3, "\xca\xc6\x9e\xeb\x31\xec\xff"));
    EXPECT_EQ(errorOf(version),
              "Maximum texture size of GPU is too small (12779x65516 > 8192) for '" + version +
                  "'");

    // A progressive .jpeg whose frame header says 65000 square: libjpeg took 16 GB for its
    // coefficients when OpenImageIO read it, before the size was checked.
    const std::string jpeg = path("small.jpeg");
    make("convert -size 16x16 xc:gray -interlace JPEG " + jpeg);
    const Bytes jpegBytes = RgbeFiles::contents(jpeg);
    const std::string text(jpegBytes.begin(), jpegBytes.end());
    const std::size_t frame = text.find("\xff\xc2");
    ASSERT_NE(frame, std::string::npos);
    const std::string forgedJpeg = put("forged.jpeg", patched(jpeg, frame + 5, "\xfd\xe8\xfd\xe8"));
    read = inChild([&] { return errorOf(forgedJpeg); });
    EXPECT_EQ(read.text, "Maximum texture size of GPU is too small (65000x65000 > 8192) for '" +
                             forgedJpeg + "'");
    EXPECT_LT(read.grownMiB, 32);
    // The same behind a JFIF segment of length 0, which libjpeg reads past.
    ASSERT_EQ(text.substr(2, 4), std::string("\xff\xe0\0\x10", 4));
    const std::string badLength =
        put("bad-length.jpeg", patched(forgedJpeg, 4, std::string(2, '\0')));
    read = inChild([&] { return errorOf(badLength); });
    EXPECT_EQ(read.text, "Maximum texture size of GPU is too small (65000x65000 > 8192) for '" +
                             badLength + "'");
    EXPECT_LT(read.grownMiB, 32);
    EXPECT_EQ(quietRead(jpeg).width, 16);

    // WebP, lossy (VP8), lossless (VP8L) and extended (VP8X), forged to 16383 square: OpenImageIO
    // allocated the whole picture on opening (untouched, it shows in the sanitizer build's shadow
    // memory).
    const std::string lossy = path("lossy.webp");
    make("convert -size 40x20 xc:red " + lossy);
    const std::string lossless = path("lossless.webp");
    make("convert -size 40x20 xc:red -define webp:lossless=true " + lossless);
    // The lossless file behind an extended (VP8X) header: its canvas, less one, in 3 bytes each.
    const auto extended = [&](const std::string& canvas) {
        const Bytes bytes = RgbeFiles::contents(lossless);
        return "RIFF" + little32(static_cast<std::int32_t>(bytes.size() + 10)) + "WEBPVP8X" +
               little32(10) + std::string(4, '\0') + canvas +
               std::string(bytes.begin() + 12, bytes.end());
    };
    const std::string extendedFile =
        put("extended.webp", extended(std::string("\x27\0\0\x13\0\0", 6)));
    const std::pair<std::string, std::string> webps[] = {
        {lossy, put("forged-lossy.webp", patched(lossy, 26, "\xff\x3f\xff\x3f"))},
        {lossless, put("forged-lossless.webp", patched(lossless, 21, "\xfe\xbf\xff\x0f"))},
        {extendedFile,
         put("forged-extended.webp", extended(std::string("\xfe\x3f\0\xfe\x3f\0", 6)))},
    };
    for (const auto& webp : webps) {
        const Picture picture = quietRead(webp.first);
        EXPECT_EQ(picture.width, 40) << webp.first;
        EXPECT_EQ(picture.height, 20) << webp.first;
        read = inChild([&] { return errorOf(webp.second); });
        EXPECT_EQ(read.text, "Maximum texture size of GPU is too small (16383x16383 > 8192) for '" +
                                 webp.second + "'");
        EXPECT_LT(read.grownMiB, 32) << webp.second;
    }
}

TEST_F(HostileFiles, LargePngCostsItsPictureNotMore) {
    const std::string file = path("black.png");
    writeBlackPng(file, 16000, 8000);
    const ChildRead read = inChild([&] {
        const Picture picture = quietRead(file);
        return std::to_string(picture.width) + "x" + std::to_string(picture.height) + " " +
               std::to_string(int(picture.pixels[picture.byteCount() - 1]));
    });
    EXPECT_EQ(read.text, "16000x8000 0");
    // 384 MB of pixels (366 MiB) and the decoder's few rows.
    EXPECT_LT(read.grownMiB, 366 + 64);
}

TEST_F(HostileFiles, ShortPnmFilesAndStreamsAreErrors) {
    const std::string header = "P6 8 8 255\n";
    const std::string file = put("short.ppm", header + std::string(70, '\x40'));
    EXPECT_EQ(errorOf(file), "Truncated PNM file '" + file + "': row 2 is incomplete");
    const std::string grey = put("short.pgm", "P5 4 4 65535\n" + std::string(31, '\x10'));
    EXPECT_EQ(errorOf(grey), "Truncated PNM file '" + grey + "': row 3 is incomplete");
    const std::string plain = put("short.pbm", "P1 4 4\n1 0 1 0 1 1");
    EXPECT_EQ(errorOf(plain), "Truncated PNM file '" + plain + "': row 0 is incomplete");
    const std::string comment =
        put("comment.ppm", "P6\n#" + std::string(70000, 'x') + "\n1 1\n255\nabc");
    EXPECT_EQ(errorOf(comment),
              "Invalid PNM header in '" + comment + "': header longer than 64 KiB");

    // Standard input cannot be measured first: the rows that come are read, then the error.
    const auto fromStdin = [&](const std::string& input) {
        return inChild([&] {
            const int fd = ::open(input.c_str(), O_RDONLY);
            dup2(fd, 0);
            close(fd);
            return errorOf("-");
        });
    };
    EXPECT_EQ(fromStdin(file).text, "Truncated PNM file '-': row 2 is incomplete");
    const std::string forged = put("forged.ppm", "P6 16000 8000 255\n" + std::string(100, 'x'));
    const ChildRead forgedRead = fromStdin(forged);
    EXPECT_EQ(forgedRead.text, "Truncated PNM file '-': row 0 is incomplete");
    EXPECT_LT(forgedRead.grownMiB, 64);
}

TEST_F(HostileFiles, PnmVariantsGiveTheirPicture) {
    // 16-bit values scale by their maximum; bitmaps are black on white; plain text counts.
    const std::string deep =
        put("deep.ppm", std::string("P6 2 1 1000\n") + std::string("\x03\xe8\x00\x00\x01\xf4", 6) +
                            std::string("\x00\x00\x00\x00\x03\xe8", 6));
    const Picture deepPicture = quietRead(deep);
    EXPECT_EQ(Bytes(deepPicture.pixels.get(), deepPicture.pixels.get() + 6),
              (Bytes{255, 0, 128, 0, 0, 255}));
    const std::string bits = put("bits.pbm", std::string("P4 10 1\n\xa0\x40", 10));
    const Picture bitsPicture = quietRead(bits);
    EXPECT_EQ(pixelAt(bitsPicture, 0, 0), Bytes(3, 0));
    EXPECT_EQ(pixelAt(bitsPicture, 1, 0), Bytes(3, 255));
    EXPECT_EQ(pixelAt(bitsPicture, 2, 0), Bytes(3, 0));
    EXPECT_EQ(pixelAt(bitsPicture, 9, 0), Bytes(3, 0));
    EXPECT_EQ(pixelAt(bitsPicture, 8, 0), Bytes(3, 255));
    const std::string plain = put("plain.pgm", "P2\n# grey\n3 1 4\n0 2\n4");
    const Picture plainPicture = quietRead(plain);
    EXPECT_EQ(Bytes(plainPicture.pixels.get(), plainPicture.pixels.get() + 9),
              (Bytes{0, 0, 0, 128, 128, 128, 255, 255, 255}));
}

TEST_F(HostileFiles, RadianceHeadersAreBounded) {
    const std::string zero = path("zero.hdr");
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    const ChildRead read = inChild([&] { return errorOf(zero); });
    EXPECT_EQ(read.text.find("Not a RADIANCE file: '" + zero + "' ("), 0u);
    EXPECT_LT(read.grownMiB, 32);

    const std::string longHeader =
        put("long.hdr", "#?RADIANCE\n# " + std::string(70000, 'c') + "\n\n-Y 1 +X 1\n\1\1\1\1");
    EXPECT_EQ(errorOf(longHeader),
              "Not a RADIANCE file: '" + longHeader + "' (header longer than 64 KiB)");
    const std::string longSize =
        put("size.hdr", "#?RADIANCE\n\n-Y 1 +X 1" + std::string(70000, ' ') + "\n\1\1\1\1");
    EXPECT_EQ(errorOf(longSize), "Invalid size of RADIANCE file '" + longSize + "': '-Y 1 +X 1" +
                                     std::string(191, ' ') + "...'");
}

// 100 MB without a line feed: the header's first line ends at the header's bound, and neither
// the reader nor the probe holds more of it; the size is never told.
TEST_F(HostileFiles, RadianceFileWithoutLineFeedsIsRefusedInLittleMemory) {
    const std::string file = path("endless.hdr");
    {
        std::ofstream out(file, std::ios::binary);
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 100; ++i) {
            out << block;
        }
        ASSERT_TRUE(out.good());
    }
    const std::string expected =
        "Not a RADIANCE file: '" + file + "' (" + std::string(200, 'x') + "...)";
    for (const bool probe : {false, true}) {
        const ChildRead read = inChild([&] {
            bool sized = false;
            const std::function<void(int, int)> size = [&](int, int) { sized = true; };
            const std::string error =
                probe ? errorOf([&] { probePicture(file, SizeLimit()); })
                      : errorOf(
                            [&] { readRadiance(file, SizeLimit(), nullptr, nullptr, 1, &size); });
            return sized ? "size told" : error;
        });
        EXPECT_EQ(read.text, expected) << (probe ? "probe" : "read");
        EXPECT_LT(read.grownMiB, 4) << (probe ? "probe" : "read");
    }
}

// The reader gives up on a FIFO whose writer sends nothing (after its wait of 10 seconds).
TEST_F(HostileFiles, SilentFifoEndsInAnError) {
    const std::string fifo = path("silent.hdr");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(errorOf(fifo), "Not a RADIANCE file: '" + fifo + "' (no header within 10 seconds)");
    close(writer);
}

// The readers that open a name themselves take regular files only: a FIFO would block them
// before a byte came, whatever its name.
TEST_F(HostileFiles, FifosAndDevicesUnderOtherNamesAreRefusedAtOnce) {
    for (const char* name : {"pipe.png", "pipe.jpg", "pipe.exr", "pipe.ppm", "pipe.tif"}) {
        const std::string fifo = path(name);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_EQ(errorOf(fifo), "Failed to read file '" + fifo + "': not a regular file");
    }
    const std::string zero = path("zero.exr");
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    EXPECT_EQ(errorOf(zero), "Failed to read file '" + zero + "': not a regular file");
}

// Likewise when the header comes and the pixels stop: a writer that sends the header and the
// start of the first line, then nothing, until the reader has given up.
TEST_F(HostileFiles, FifoStallingAfterItsHeaderEndsInAnError) {
    const std::string fifo = path("stalled.hdr");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::promise<void> done;
    std::thread writer([&fifo, finished = done.get_future()] {
        // Waits for the reader to open the FIFO.
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        const std::string bytes = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n\2\2\0\x08\x88";
        if (fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size())) {
            finished.wait();
        }
        if (fd >= 0) {
            close(fd);
        }
    });
    const std::string error = errorOf(fifo);
    done.set_value();
    // A writer still waiting for its reader is let go.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    close(reader);
    EXPECT_EQ(error, "Failed to read file '" + fifo + "': no data within 10 seconds");
}

TEST_F(HostileFiles, ForgedJpegSizeIsAnError) {
    const Bytes rgb(16 * 16 * 3, 90);
    const std::string small = path("small.jpg");
    saveImage(small, 16, 16, 3, rgb.data());
    Bytes bytes = contents(small);
    // The frame header: marker, length, precision, then height and width.
    std::size_t sof = 0;
    while (sof + 9 < bytes.size() && !(bytes[sof] == 0xff && bytes[sof + 1] == 0xc0)) {
        ++sof;
    }
    ASSERT_LT(sof + 9, bytes.size());
    bytes[sof + 5] = 8000 >> 8;
    bytes[sof + 6] = 8000 & 0xff;
    bytes[sof + 7] = 16000 >> 8;
    bytes[sof + 8] = 16000 & 0xff;
    const std::string forged = put("forged.jpg", std::string(bytes.begin(), bytes.end()));
    const ChildRead read = inChild([&] { return errorOf(forged); });
    EXPECT_EQ(read.text.find("Truncated JPEG file '" + forged + "': the data ends in row "), 0u)
        << read.text;
    EXPECT_LT(read.grownMiB, 64);

    // .jpeg and .jpe are read as .jpg is.
    for (const char* name : {"forged.jpeg", "forged.JPE"}) {
        const std::string other = put(name, std::string(bytes.begin(), bytes.end()));
        const ChildRead same = inChild([&] { return errorOf(other); });
        EXPECT_EQ(same.text.find("Truncated JPEG file '" + other + "': the data ends in row "), 0u)
            << same.text;
    }
}

TEST_F(HostileFiles, NoUrlFetchedAndNoProgramRun) {
    // Stand-ins that leave a mark when anything runs them.
    const std::string bin = path("bin");
    const std::string mark = path("ran");
    std::filesystem::create_directories(bin);
    for (const char* tool :
         {"curl", "wget", "convert", "gm", "magick", "which", "dcraw", "djpeg"}) {
        const std::string script = bin + "/" + tool;
        std::ofstream(script) << "#!/bin/sh\necho " << tool << " >> '" << mark << "'\nexit 1\n";
        chmod(script.c_str(), 0755);
    }
    const std::string garbage(300, 'g');
    const std::vector<std::string> files = {
        "http://127.0.0.1:9/picture.png", "https://127.0.0.1:9/picture.tif",
        "http://127.0.0.1:9/picture.jpg", "http://127.0.0.1:9/picture",
        put("drawing.xcf", garbage),      put("odd.gif", garbage),
        put("odd.bmp", garbage),          put("odd.png", garbage),
        put("odd.cimg", garbage),         put("-x.webp", garbage),
        "ephemeral:" + path("odd.png"),
    };
    const char* const previous = std::getenv("PATH");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("PATH", (bin + ":" + saved).c_str(), 1);
    for (const std::string& file : files) {
        const std::string error = errorOf(file);
        EXPECT_NE(error.find("'" + file + "'"), std::string::npos) << error;
    }
    setenv("PATH", saved.c_str(), 1);
    EXPECT_FALSE(std::filesystem::exists(mark)) << contents(mark).size() << " runs";
    EXPECT_EQ(errorOf(path("drawing.xcf")),
              "Unsupported picture format: '" + path("drawing.xcf") + "'");
}

TEST_F(HostileFiles, EveryReadersErrorNamesTheFile) {
    const std::string junk = "\x01\x02junk that is no picture of any kind\n";
    for (const char* name : {"a.hdr", "a.jpg", "a.png", "a.ppm", "a.pgm", "a.tif", "a.exr", "a.pfm",
                             "a.bmp", "a.gif", "a.jpeg", "a.tga", "a.webp"}) {
        for (const std::string& content : {std::string(), junk}) {
            const std::string file = put(name, content);
            const std::string error = errorOf(file);
            EXPECT_NE(error.find("'" + file + "'"), std::string::npos) << error;
        }
        const std::string missing = path(std::string("missing-") + name);
        EXPECT_NE(errorOf(missing).find("'" + missing + "'"), std::string::npos);
    }
}

namespace {

void put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>(value & 0xff));
    out.push_back(static_cast<char>(value >> 8 & 0xff));
}

void putLong(std::string& out, std::uint32_t value) {
    out += little32(static_cast<std::int32_t>(value));
}

// A little-endian 8-bit grey TIFF of one strip a row, uncompressed or deflated, its rows'
// values 40, 41, ... in order. The strips follow the directory; an offset or byte count given
// and not 0 replaces the one written.
std::string greyTiff(int width, int height, bool deflate, std::vector<std::uint32_t> offsets = {},
                     std::vector<std::uint32_t> counts = {}) {
    const std::uint32_t strips = static_cast<std::uint32_t>(height);
    const std::uint32_t arrays = 8 + 2 + 9 * 12 + 4;
    std::uint32_t at = arrays + (strips > 1 ? 8 * strips : 0);
    std::string data;
    offsets.resize(strips);
    counts.resize(strips);
    for (std::uint32_t row = 0; row < strips; ++row) {
        std::string strip;
        for (int x = 0; x < width; ++x) {
            strip.push_back(static_cast<char>(40 + row * width + x));
        }
        if (deflate) {
            Bytef packed[256];
            uLongf size = sizeof packed;
            compress(packed, &size, reinterpret_cast<const Bytef*>(strip.data()), strip.size());
            strip.assign(reinterpret_cast<const char*>(packed), size);
        }
        offsets[row] = offsets[row] != 0 ? offsets[row] : at;
        counts[row] = counts[row] != 0 ? counts[row] : static_cast<std::uint32_t>(strip.size());
        at += static_cast<std::uint32_t>(strip.size());
        data += strip;
    }
    std::string tiff = "II*";
    tiff.push_back('\0');
    putLong(tiff, 8);
    put16(tiff, 9);
    // Tag, type (3 short, 4 long), count, and the value or where the values are.
    const auto entry = [&](unsigned tag, unsigned type, std::uint32_t count, std::uint32_t value) {
        put16(tiff, tag);
        put16(tiff, type);
        putLong(tiff, count);
        putLong(tiff, value);
    };
    entry(256, 4, 1, static_cast<std::uint32_t>(width));
    entry(257, 4, 1, static_cast<std::uint32_t>(height));
    entry(258, 3, 1, 8);
    entry(259, 3, 1, deflate ? 8 : 1);
    entry(262, 3, 1, 1);
    entry(273, 4, strips, strips > 1 ? arrays : offsets[0]);
    entry(277, 3, 1, 1);
    entry(278, 4, 1, 1);
    entry(279, 4, strips, strips > 1 ? arrays + 4 * strips : counts[0]);
    putLong(tiff, 0);
    if (strips > 1) {
        for (const std::uint32_t offset : offsets) {
            putLong(tiff, offset);
        }
        for (const std::uint32_t count : counts) {
            putLong(tiff, count);
        }
    }
    return tiff + data;
}

// A 24-bit BMP of 2 x 2 pixels, bottom row first, its pixels said to start at `pixelOffset`.
std::string bmp(std::uint32_t pixelOffset, std::size_t pixelBytes = 16) {
    std::string file = "BM";
    putLong(file, static_cast<std::uint32_t>(54 + pixelBytes));
    putLong(file, 0);
    putLong(file, pixelOffset);
    putLong(file, 40);
    putLong(file, 2);
    putLong(file, 2);
    put16(file, 1);
    put16(file, 24);
    for (int i = 0; i < 6; ++i) {
        putLong(file, 0);
    }
    const std::string rows("\x00\x00\xff\x00\xff\x00\0\0\xff\x00\x00\xff\xff\xff\0\0", 16);
    return file + rows.substr(0, pixelBytes);
}

std::string pfm(const std::string& scale) {
    const float values[6] = {0.5f, 1.0f, 2.0f, 4.0f, 8.0f, 16.0f};
    return "PF\n2 1\n" + scale + "\n" +
           std::string(reinterpret_cast<const char*>(values), sizeof values);
}

} // namespace

// Files whose pixels lie beyond their end, or whose scale is no number, came out black or as
// noise without an error: each now fails, naming the file and what is wrong.
TEST_F(HostileFiles, PixelsBeyondTheFileAndBadScalesAreErrors) {
    // The well-formed files first: these must stay pictures.
    for (const bool deflate : {false, true}) {
        const std::string file = put("good.tif", greyTiff(4, 3, deflate));
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.width, 4) << deflate;
        EXPECT_EQ(pixelAt(picture, 3, 2), Bytes(3, 40 + 11)) << deflate;
    }
    // A byte count past the end of an uncompressed strip whose pixels are all there: libtiff
    // mends it from the picture's size, and so does every viewer built on it.
    const Picture counted =
        quietRead(put("long-count.tif", greyTiff(4, 3, false, {}, {0, 0, 9999})));
    EXPECT_EQ(pixelAt(counted, 0, 2), Bytes(3, 48));
    const std::string goodBmp = put("good.bmp", bmp(54));
    EXPECT_EQ(pixelAt(quietRead(goodBmp), 0, 0), blue);
    EXPECT_EQ(pixelAt(quietRead(goodBmp), 0, 1), red);
    for (const char* scale : {"-1.0", "1.0", "-0.0039", "2e5"}) {
        const Picture picture = quietRead(put("good.pfm", pfm(scale)));
        EXPECT_EQ(picture.width, 2) << scale;
    }

    struct Case {
        const char* name;
        std::string bytes;
        // Part of the error, after "Failed to read file '<name>': ".
        const char* message;
    };
    const Case cases[] = {
        {"strip-offset.tif", greyTiff(4, 3, false, {0, 0, 5000}), "Read error"},
        {"deflated-offset.tif", greyTiff(4, 3, true, {0, 5000}), "Read error"},
        {"deflated-count.tif", greyTiff(64, 3, true, {}, {0, 0, 9999}), "Read error"},
        {"zero.pfm", pfm("0"), "PFM scale '0' is not a finite number other than 0"},
        {"minus-zero.pfm", pfm("-0.0"), "PFM scale '-0.0' is not a finite number other than 0"},
        {"nan.pfm", pfm("nan"), "PFM scale 'nan' is not a finite number other than 0"},
        {"infinity.pfm", pfm("inf"), "PFM scale 'inf' is not a finite number other than 0"},
        {"minus-infinity.pfm", pfm("-inf"), "PFM scale '-inf' is not a finite number other than 0"},
        {"overflow.pfm", pfm("-1e999"), "PFM scale '-1e999' is not a finite number other than 0"},
        {"beyond-float.pfm", pfm("1e300"), "PFM scale '1e300' is not a finite number other than 0"},
        {"offset.bmp", bmp(5000), "BMP pixels at byte 5000, beyond the end of the file (70 bytes)"},
        // Taken as negative, these seeks failed and the rows read were the header's bytes.
        {"offset-2g.bmp", bmp(0x80000000u),
         "BMP pixels at byte 2147483648, beyond the end of the file (70 bytes)"},
        {"offset-4g.bmp", bmp(0xffffffffu),
         "BMP pixels at byte 4294967295, beyond the end of the file (70 bytes)"},
        {"short.bmp", bmp(54, 9), "Read error: hit end of file"},
    };
    for (const Case& c : cases) {
        const std::string file = put(c.name, c.bytes);
        const std::string error = errorOf(file);
        EXPECT_EQ(error.rfind("Failed to read file '" + file + "': ", 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        // One line, for the error box.
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}
