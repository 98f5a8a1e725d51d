// The picture library on its own: no GL context exists in this program.
#include "Diagnostics.h"
#include "FifoPicture.h"
#include "MipLevel.h"
#include "OiioModule.h"
#include "ReaderModule.h"
#include "PixelMemory.h"
#include "PictureReadUtil.h"
#include "PictureReader.h"
#include "PictureWriter.h"
#include "RgbeTestUtil.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <link.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <limits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using ImageioFiles = RgbeFiles;

// x in red, y in green, so that a flipped or shifted row shows.
Bytes gradient(int width, int height) {
    Bytes rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            rgb.push_back(static_cast<unsigned char>(x * 7));
            rgb.push_back(static_cast<unsigned char>(y * 5));
            rgb.push_back(200);
        }
    }
    return rgb;
}

Bytes bytesOf(const Picture& picture) {
    return Bytes(picture.pixels.get(), picture.pixels.get() + picture.byteCount());
}

std::vector<std::string> captured(const std::function<void()>& action) {
    std::vector<std::string> lines;
    const DiagnosticSink previous =
        setDiagnosticSink([&](const std::string& line) { lines.push_back(line); });
    action();
    setDiagnosticSink(previous);
    return lines;
}

// Whether a shared object whose path holds `name` is mapped into this process.
bool mapped(const std::string& name) {
    struct Search {
        const std::string& name;
        bool found;
    } search{name, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            Search& search = *static_cast<Search*>(data);
            search.found = search.found || (info->dlpi_name != nullptr &&
                                            std::strstr(info->dlpi_name, search.name.c_str()));
            return 0;
        },
        &search);
    return search.found;
}

} // namespace

TEST_F(ImageioFiles, EachReaderReadsItsFormatWithoutGl) {
    const Bytes rgbe = mixedPixels(40, 3, 7);
    const std::string hdr = path("pano.HDR");
    captured([&] { rgbe::write(hdr, 40, 3, rgbe.data(), true); });
    const Bytes rgb = gradient(9, 4);
    const std::string ppm = path("grad.ppm");
    saveImage(ppm, 9, 4, 3, rgb.data());
    const std::string png = path("grad.png");
    saveImage(png, 9, 4, 3, rgb.data());

    Picture radiance;
    captured([&] { radiance = readPicture(hdr, SizeLimit()); });
    EXPECT_EQ(radiance.encoding, PixelEncoding::Rgbe);
    EXPECT_TRUE(radiance.isHdr());
    EXPECT_EQ(radiance.fileName, hdr);
    EXPECT_EQ(bytesOf(radiance), rgbe);
    EXPECT_GT(radiance.scale.mean, 0.0);

    for (const std::string& file : {ppm, png}) {
        const Picture picture = readPicture(file, SizeLimit());
        EXPECT_EQ(picture.encoding, PixelEncoding::Rgb8) << file;
        EXPECT_FALSE(picture.isHdr());
        EXPECT_EQ(picture.width, 9);
        EXPECT_EQ(picture.height, 4);
        EXPECT_EQ(bytesOf(picture), rgb) << file;
        EXPECT_EQ(picture.scale.mean, 0.0);
    }
}

// A start and a RADIANCE file map none of OpenImageIO's libraries; the first file of its
// formats loads its module, whose reader then says its statistics where this library does.
TEST_F(ImageioFiles, OpenImageIoIsLoadedByTheFirstFileThatNeedsIt) {
    const Bytes rgbe = mixedPixels(16, 4, 3);
    const std::string hdr = path("small.hdr");
    captured([&] { rgbe::write(hdr, 16, 4, rgbe.data(), true); });
    captured([&] { readPicture(hdr, SizeLimit()); });
    EXPECT_THROW(readPicture(path("picture.xyz"), SizeLimit()), std::runtime_error);
    // Sanitizer builds link the reader in.
    EXPECT_EQ(mapped("libOpenImageIO"), !reader_module::loadsOnDemand());
    EXPECT_FALSE(mapped("marovex-oiio"));

    // Linear light of 0.5, 1 and 2 across each row.
    std::vector<float> linear;
    for (int i = 0; i < 12 * 2; ++i) {
        linear.insert(linear.end(), {0.5f, 1.0f, 2.0f});
    }
    const std::string exr = path("linear.exr");
    saveLinearExr(exr, 12, 2, linear.data());
    EXPECT_TRUE(mapped("libOpenImageIO"));
    Picture picture;
    const std::vector<std::string> lines =
        captured([&] { picture = readPicture(exr, SizeLimit()); });
    ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe);
    ASSERT_EQ(picture.width, 12);
    ASSERT_EQ(picture.height, 2);
    double r = 0.0, g = 0.0, b = 0.0;
    rgbe::decode(picture.pixels.get() + 4 * 13, r, g, b);
    EXPECT_DOUBLE_EQ(r, 0.5);
    EXPECT_DOUBLE_EQ(g, 1.0);
    EXPECT_DOUBLE_EQ(b, 2.0);
    EXPECT_GT(picture.scale.mean, 0.0);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("M: ", 0) == 0; }),
              1);
}

TEST_F(ImageioFiles, SizesBeyondTheLimitFailFromTheHeaderAlone) {
    // The header promises 100 x 20 pixels and nothing follows: the size is refused before
    // the missing pixels could be noticed.
    const std::string hdr = put("big.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20 +X 100\n");
    SizeLimit limit;
    limit.pieceLimit = 16;
    limit.maxPieces = 2;
    EXPECT_EQ(errorOf([&] { readPicture(hdr, limit); }),
              "Maximum texture size of GPU is too small (100x20 > 16) for '" + hdr + "'");
    limit.pieceLimit = 64;
    EXPECT_EQ(errorOf([&] { readPicture(hdr, limit); }),
              "Truncated RADIANCE file '" + hdr + "': line 0 is incomplete");

    const Bytes rgb = gradient(40, 8);
    const std::string jpg = path("wide.jpg");
    saveImage(jpg, 40, 8, 3, rgb.data());
    limit.pieceLimit = 16;
    EXPECT_EQ(errorOf([&] { readPicture(jpg, limit); }),
              "Maximum texture size of GPU is too small (40x8 > 16) for '" + jpg + "'");
    limit.maxPieces = 3;
    EXPECT_EQ(readPicture(jpg, limit).width, 40);
}

TEST_F(ImageioFiles, DecodesRunSideBySideOnThreads) {
    std::vector<std::string> files;
    std::vector<Bytes> expected;
    for (int i = 0; i < 4; ++i) {
        expected.push_back(mixedPixels(300, 40 + i, 11 + i));
        files.push_back(path("p" + std::to_string(i) + ".hdr"));
        captured([&] { rgbe::write(files.back(), 300, 40 + i, expected.back().data(), true); });
    }
    std::vector<Bytes> decoded(files.size());
    captured([&] {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < files.size(); ++i) {
            threads.emplace_back([&, i] { decoded[i] = bytesOf(readPicture(files[i], SizeLimit())); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    EXPECT_EQ(decoded, expected);
}

// The RADIANCE reader tells the size once, when the header is checked and before the pixels
// are allocated: before any row or band, and never for a header it refuses.
TEST_F(ImageioFiles, RadianceSizeIsToldBeforeAnyRowAndNeverForABadHeader) {
    const DiagnosticsSilenced quiet(true);
    const Bytes pixels = mixedPixels(40, 3, 5);
    rgbe::write(path("rle.hdr"), 40, 3, pixels.data(), true);
    rgbe::write(path("flat.hdr"), 5, 2, pixels.data(), false);
    FifoPicture fifo(path("stream.hdr"), 4);

    std::vector<std::string> events;
    std::atomic<int> bandsBeforeSize{0};
    std::atomic<int> bandCount{0};
    std::atomic<bool> sized{false};
    const std::function<void(int, int)> size = [&](int width, int height) {
        events.push_back("size " + std::to_string(width) + "x" + std::to_string(height));
        sized = true;
    };
    const std::function<void(int)> rows = [&](int row) {
        events.push_back("row " + std::to_string(row));
    };
    const std::function<void(const unsigned char*, int, int)> bands =
        [&](const unsigned char*, int, int) {
            bandsBeforeSize += sized ? 0 : 1;
            ++bandCount;
        };
    const auto read = [&](const std::string& file) {
        events.clear();
        sized = false;
        readRadiance(file, SizeLimit(), &rows, &bands, 1, &size);
        return events;
    };
    EXPECT_EQ(read(path("rle.hdr")),
              (std::vector<std::string>{"size 40x3", "row 0", "row 1", "row 2"}));
    EXPECT_EQ(bandCount, 3);
    EXPECT_EQ(bandsBeforeSize, 0);
    EXPECT_EQ(read(path("flat.hdr")), (std::vector<std::string>{"size 5x2", "row 0", "row 1"}));
    std::future<std::vector<std::string>> streamed =
        std::async(std::launch::async, [&] { return read(fifo.path); });
    for (int i = 0; i < 1000 && !fifo.drained(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fifo.close();
    EXPECT_EQ(streamed.get(),
              (std::vector<std::string>{"size 8x4", "row 0", "row 1", "row 2", "row 3"}));

    SizeLimit small;
    small.pieceLimit = 16;
    const std::string rle = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n";
    for (const std::string& header : std::vector<std::string>{
             "P6\n2 2\n255\n", "#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 2 +X 2\n",
          rle + "-Y 2 +Z 2\n", rle + "-Y 2 +X 40\n", rle + "-Y 20 +X 10\n",
          "#?RADIANCE\n\n-Y 2 +X 2\n\1\1\1"}) {
        const std::string file = put("bad.hdr", header);
        events.clear();
        const std::string error =
            errorOf([&] { readRadiance(file, small, &rows, nullptr, 1, &size); });
        EXPECT_NE(error, "no error") << header;
        EXPECT_EQ(error, pictureError(file, small)) << header;
        EXPECT_EQ(events, std::vector<std::string>()) << header;
    }
}

TEST_F(ImageioFiles, DiagnosticLinesGoToTheSinkAndCanBeSilenced) {
    const Bytes rgbe = {1, 2, 3, 130, 4, 5, 6, 126};
    const std::string hdr = path("two.hdr");
    captured([&] { rgbe::write(hdr, 2, 1, rgbe.data(), false); });

    const std::vector<std::string> lines = captured([&] { readPicture(hdr, SizeLimit()); });
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("[T]                 read: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "M: 2, m: -2 -> 4 f-stops, mean: 0");
    EXPECT_EQ(lines[2].rfind("[T]                stats: ", 0), 0u) << lines[2];

    const std::vector<std::string> quiet = captured([&] {
        const DiagnosticsSilenced silenced(true);
        readPicture(hdr, SizeLimit());
    });
    EXPECT_TRUE(quiet.empty());
    // The sink is back once the silence ends.
    EXPECT_EQ(captured([&] { diagnostic("after"); }), std::vector<std::string>{"after"});
}

TEST(RgbeValue, EncodeAndDecodeFollowTheSharedExponentRule) {
    unsigned char out[4];
    rgbe::encode(1.0, 0.5, 0.25, out);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{128, 64, 32, 129}));
    double r = 0, g = 0, b = 0;
    rgbe::decode(out, r, g, b);
    EXPECT_DOUBLE_EQ(r, 1.0);
    EXPECT_DOUBLE_EQ(g, 0.5);
    EXPECT_DOUBLE_EQ(b, 0.25);

    rgbe::encode(0.0, 1e-40, 0.0, out);
    EXPECT_EQ(Bytes(out, out + 4), Bytes(4, 0));
    rgbe::encode(std::nan(""), 1.0, 1.0, out);
    EXPECT_EQ(out[3], 129) << "a NaN channel must not turn the pixel black or wrap";
    rgbe::encode(1e300, 0.0, 0.0, out);
    EXPECT_EQ(out[3], 255) << "saturates instead of wrapping the exponent";
    rgbe::decode(out, r, g, b);
    EXPECT_GT(r, 1e37);
    // An overflowed sum, as a mip level of the brightest texels may make.
    rgbe::encode(std::numeric_limits<double>::infinity(), 1.0, 0.0, out);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{255, 0, 0, 255}));
    rgbe::encode(3.0, 1e-30, 0.75, out);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{192, 0, 48, 130}));
}

namespace {

Picture pictureOf(int width, int height, PixelEncoding encoding, const Bytes& bytes) {
    Picture picture;
    picture.allocate(width, height, encoding);
    std::copy(bytes.begin(), bytes.end(), picture.pixels.get());
    return picture;
}

Bytes rgbeOf(double r, double g, double b) {
    unsigned char out[4];
    rgbe::encode(r, g, b, out);
    return Bytes(out, out + 4);
}

} // namespace

TEST(MipLevel, AveragesDecodedRadianceWithOddEdgesTakingThree) {
    // 3 x 2: a bright red pixel and five dark ones of another exponent; one output texel.
    Bytes bytes = rgbeOf(12.0, 0, 0);
    for (int i = 0; i < 5; ++i) {
        const Bytes dark = rgbeOf(0, 0.0625, 0);
        bytes.insert(bytes.end(), dark.begin(), dark.end());
    }
    const Picture level = halvePicture(pictureOf(3, 2, PixelEncoding::Rgbe, bytes));
    ASSERT_EQ(level.width, 1);
    ASSERT_EQ(level.height, 1);
    ASSERT_EQ(level.encoding, PixelEncoding::Rgbe);
    double r = 0, g = 0, b = 0;
    rgbe::decode(level.pixels.get(), r, g, b);
    // Byte averaging would mix mantissas of different exponents; radiance is 2 and 0.052,
    // each within one step of the shared exponent's mantissa (2 / 128).
    EXPECT_NEAR(r, 2.0, 2.0 / 128);
    EXPECT_NEAR(g, 5 * 0.0625 / 6, 2.0 / 128);
    EXPECT_EQ(b, 0.0);

    // A tall picture halves to width 1, keeping its rows apart.
    const Picture column = halvePicture(pictureOf(1, 4, PixelEncoding::Rgbe,
                                                  [] {
                                                      Bytes b;
                                                      for (double v : {1.0, 1.0, 4.0, 4.0}) {
                                                          const Bytes p = rgbeOf(v, v, v);
                                                          b.insert(b.end(), p.begin(), p.end());
                                                      }
                                                      return b;
                                                  }()));
    ASSERT_EQ(column.width, 1);
    ASSERT_EQ(column.height, 2);
    EXPECT_EQ(Bytes(column.pixels.get(), column.pixels.get() + 8),
              (Bytes{128, 128, 128, 129, 128, 128, 128, 131}));
}

TEST(MipLevel, EightBitLevelsKeepTheMeanOfSquaresAndLevelsAreCounted) {
    // A checkerboard of 0 and 255 halves to the root of the mean square, 180, not 128.
    const Bytes board = {0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0};
    const Picture level = halvePicture(pictureOf(2, 2, PixelEncoding::Rgb8, board));
    EXPECT_EQ(Bytes(level.pixels.get(), level.pixels.get() + 3), (Bytes{180, 180, 180}));

    // Rows are split between threads: every output row of a large level is right.
    const int width = 64;
    const int height = 300;
    Bytes rows;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 3 * width; ++x) {
            rows.push_back(static_cast<unsigned char>(y / 2));
        }
    }
    const Picture half = halvePicture(pictureOf(width, height, PixelEncoding::Rgb8, rows));
    for (int y = 0; y < half.height; ++y) {
        EXPECT_EQ(half.pixels[3 * static_cast<std::size_t>(y) * half.width], y) << y;
    }

    EXPECT_EQ(mipLevelCount(1, 1), 1);
    EXPECT_EQ(mipLevelCount(8192, 4096), 14);
    EXPECT_EQ(mipLevelCount(24576, 12288), 15);
    EXPECT_EQ(mipLevelCount(3, 1), 2);
}

// A start with a file of 4 MB or more gets GLIBC_TUNABLES with the huge-page tunable added
// once, the other variables kept; small files, no file, the tunable already there or a full
// target get no new start.
TEST(HugePageRestart, AddsTheTunableOnceForLargeFiles) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("huge-page-restart-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string large = (dir / "large.hdr").string();
    const std::string small = (dir / "small.hdr").string();
    std::ofstream(large).close();
    // Sparse: the size is what counts.
    std::filesystem::resize_file(large, 4u << 20);
    std::ofstream(small) << "#?RADIANCE";

    const auto environmentFor = [](std::vector<std::string> arguments,
                                   std::vector<std::string> variables, std::size_t capacity,
                                   std::vector<std::string>& out) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        std::vector<char*> environment(capacity);
        char entry[64];
        if (!hugePageEnvironment(argv.data(), envp.data(),
                                 {environment.data(), capacity, entry, sizeof entry})) {
            return false;
        }
        out.clear();
        for (char** variable = environment.data(); *variable != nullptr; ++variable) {
            out.emplace_back(*variable);
        }
        return true;
    };
    std::vector<std::string> got;
    ASSERT_TRUE(environmentFor({"viewer", small, large}, {"HOME=/root", "LANG=C"}, 8, got));
    EXPECT_EQ(got, (std::vector<std::string>{"HOME=/root", "LANG=C",
                                             "GLIBC_TUNABLES=glibc.malloc.hugetlb=1"}));
    ASSERT_TRUE(environmentFor({"viewer", large},
                               {"GLIBC_TUNABLES=glibc.malloc.arena_max=2", "A=1"}, 8, got));
    EXPECT_EQ(got, (std::vector<std::string>{
                       "A=1", "GLIBC_TUNABLES=glibc.malloc.arena_max=2:glibc.malloc.hugetlb=1"}));
    EXPECT_FALSE(environmentFor({"viewer", large}, {"GLIBC_TUNABLES=glibc.malloc.hugetlb=0"}, 8,
                                got));
    EXPECT_FALSE(environmentFor({"viewer", small, "-", dir.string()}, {"A=1"}, 8, got));
    EXPECT_FALSE(environmentFor({"viewer"}, {"A=1"}, 8, got));
    EXPECT_FALSE(environmentFor({"viewer", large}, {"A=1", "B=2", "C=3"}, 3, got));
    EXPECT_FALSE(environmentFor({"viewer", large}, {"GLIBC_TUNABLES=" + std::string(60, 'x')}, 8,
                                got));
    std::filesystem::remove_all(dir);
}
