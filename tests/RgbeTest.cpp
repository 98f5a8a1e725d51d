#include "RgbeTestUtil.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>

namespace {

const std::string magic = "#?RADIANCE\n";
const std::string format = "FORMAT=32-bit_rle_rgbe\n";
const std::string marker = "# Created by Marovex Stitcher\n";

std::string str(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string rleHeader(int width) {
    return std::string{2, 2, char(width >> 8), char(width & 0xff)};
}

// One scanline of width 8 whose four streams are one run each.
std::string runLine(unsigned char value) {
    std::string line = rleHeader(8);
    for (int k = 0; k < 4; ++k) {
        line += {char(136), char(value)};
    }
    return line;
}

// One scanline of width 8 whose streams are literals of 8.
std::string literalLine(unsigned char first) {
    std::string line = rleHeader(8);
    for (int k = 0; k < 4; ++k) {
        line += char(8);
        for (int x = 0; x < 8; ++x) {
            line += char(first + x);
        }
    }
    return line;
}

class RgbeRoundTrip : public RgbeFiles,
                      public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(RgbeRoundTrip, ReadsBackByteForByte) {
    const auto [width, rle] = GetParam();
    const int height = width > 1000 ? 3 : 37;
    const Bytes pixels = mixedPixels(width, height, unsigned(width));
    const std::string file = path("round.hdr");
    rgbe::write(file, width, height, pixels.data(), rle);

    const bool encoded = rle && width >= 8 && width <= 32767;
    const std::string sizeLine = "-Y " + std::to_string(height) + " +X " + std::to_string(width);
    const std::string header = magic + (encoded ? "" : marker) + format + "\n" + sizeLine + "\n";
    const Bytes bytes = contents(file);
    ASSERT_EQ(str(bytes).substr(0, header.size()), header);
    if (encoded) {
        EXPECT_EQ(str(bytes).substr(header.size(), 4), rleHeader(width));
        EXPECT_LT(bytes.size(), header.size() + pixels.size());
    } else {
        EXPECT_EQ(Bytes(bytes.begin() + long(header.size()), bytes.end()), pixels);
    }

    const RgbePicture back = readRgbe(file);
    EXPECT_EQ(back.width, width);
    EXPECT_EQ(back.height, height);
    EXPECT_TRUE(back.pixels == pixels);
}

INSTANTIATE_TEST_SUITE_P(Widths, RgbeRoundTrip,
                         ::testing::Combine(::testing::Values(1, 7, 8, 130, 32767, 32768),
                                            ::testing::Bool()));

using RgbeWrite = RgbeFiles;

TEST_F(RgbeWrite, EncodesPacketsAsDocumented) {
    // R: a run of two before a run of four; G: the run of two inside a literal stretch;
    // B: one run; E: one literal.
    const unsigned char streams[4][8] = {{1, 1, 2, 2, 2, 2, 3, 4},
                                         {5, 1, 1, 2, 2, 2, 2, 3},
                                         {9, 9, 9, 9, 9, 9, 9, 9},
                                         {0, 1, 2, 3, 4, 5, 6, 7}};
    Bytes pixels(32);
    for (int x = 0; x < 8; ++x) {
        for (int k = 0; k < 4; ++k) {
            pixels[4 * x + k] = streams[k][x];
        }
    }
    const std::string file = path("packets.hdr");
    rgbe::write(file, 8, 1, pixels.data(), true);

    const Bytes expected = {2,   2, 0, 8, 130, 1, 132, 2, 2, 3, 4, 3, 5, 1, 1,
                            132, 2, 1, 3, 136, 9, 8,   0, 1, 2, 3, 4, 5, 6, 7};
    const Bytes bytes = contents(file);
    const size_t header = (magic + format + "\n-Y 1 +X 8\n").size();
    EXPECT_EQ(Bytes(bytes.begin() + long(header), bytes.end()), expected);
    EXPECT_TRUE(readRgbe(file).pixels == pixels);
}

TEST_F(RgbeWrite, SplitsLongLiteralsAt128) {
    Bytes pixels(4 * 130, 7);
    for (int x = 0; x < 130; ++x) {
        pixels[4 * x] = static_cast<unsigned char>(x);
    }
    const std::string file = path("literal.hdr");
    rgbe::write(file, 130, 1, pixels.data(), true);

    Bytes expected = {2, 2, 0, 130, 128};
    for (int x = 0; x < 128; ++x) {
        expected.push_back(static_cast<unsigned char>(x));
    }
    expected.insert(expected.end(), {2, 128, 129});
    for (int k = 1; k < 4; ++k) {
        expected.insert(expected.end(), {255, 7, 131, 7});
    }
    const Bytes bytes = contents(file);
    const size_t header = (magic + format + "\n-Y 1 +X 130\n").size();
    EXPECT_EQ(Bytes(bytes.begin() + long(header), bytes.end()), expected);
}

// The packet search as documented, walking run by run, as the model for the writer.
Bytes referencePackets(const Bytes& stream) {
    Bytes out;
    const size_t n = stream.size();
    size_t cur = 0;
    while (cur < n) {
        size_t begin = cur;
        size_t run = 0;
        size_t previous = 0;
        while (run < 4 && begin < n) {
            begin += run;
            previous = run;
            run = 1;
            while (begin + run < n && run < 127 && stream[begin + run] == stream[begin]) {
                ++run;
            }
        }
        if (previous >= 2 && previous == begin - cur) {
            out.insert(out.end(), {static_cast<unsigned char>(128 + previous), stream[cur]});
            cur = begin;
        }
        while (cur < begin) {
            const size_t count = std::min<size_t>(begin - cur, 128);
            out.push_back(static_cast<unsigned char>(count));
            out.insert(out.end(), stream.begin() + long(cur), stream.begin() + long(cur + count));
            cur += count;
        }
        if (run >= 4) {
            out.insert(out.end(), {static_cast<unsigned char>(128 + run), stream[begin]});
            cur += run;
        }
    }
    return out;
}

TEST_F(RgbeWrite, PacketsMatchTheDocumentedSearch) {
    std::mt19937 random(5);
    for (int trial = 0; trial < 200; ++trial) {
        const int width = 8 + int(random() % 400);
        // Few distinct values and long stretches give runs of every length, 127 and beyond.
        const unsigned values = 1 + random() % 4;
        const unsigned stretch = 1 + random() % 200;
        Bytes pixels(4 * size_t(width));
        unsigned char value = 0;
        for (auto& byte : pixels) {
            if (random() % stretch == 0) {
                value = static_cast<unsigned char>(random() % values);
            }
            byte = value;
        }
        const std::string file = path("search.hdr");
        rgbe::write(file, width, 1, pixels.data(), true);

        Bytes expected = {2, 2, static_cast<unsigned char>(width >> 8),
                          static_cast<unsigned char>(width & 0xff)};
        for (int k = 0; k < 4; ++k) {
            Bytes stream;
            for (int x = 0; x < width; ++x) {
                stream.push_back(pixels[4 * size_t(x) + size_t(k)]);
            }
            const Bytes packets = referencePackets(stream);
            expected.insert(expected.end(), packets.begin(), packets.end());
        }
        const Bytes bytes = contents(file);
        const size_t header = (magic + format + "\n-Y 1 +X " + std::to_string(width) + "\n").size();
        ASSERT_EQ(Bytes(bytes.begin() + long(header), bytes.end()), expected) << trial;
    }
}

TEST_F(RgbeWrite, PrintsTheStatisticsLine) {
    Bytes pixels(4 * 8 * 2, 128);
    pixels[3] = 131;
    ::testing::internal::CaptureStderr();
    rgbe::write(path("stats.hdr"), 8, 2, pixels.data(), true);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "M: 3, m: 0 -> 3 f-stops, mean: 0.1875\n");
}

TEST_F(RgbeWrite, ReportsFailures) {
    const Bytes pixels(64);
    const std::string missing = path("no/such/folder.hdr");
    EXPECT_EQ(errorOf([&] { rgbe::write(missing, 4, 4, pixels.data(), false); }),
              "Failed to open file '" + missing + "': No such file or directory");

    const std::string empty = path("empty.hdr");
    EXPECT_EQ(errorOf([&] { rgbe::write(empty, 0, 4, pixels.data(), true); }),
              "Invalid size of RADIANCE file '" + empty + "': '-Y 4 +X 0'");
    EXPECT_EQ(errorOf([&] { rgbe::write(empty, 4, -1, pixels.data(), false); }),
              "Invalid size of RADIANCE file '" + empty + "': '-Y -1 +X 4'");
    EXPECT_FALSE(std::filesystem::exists(empty));

    if (std::filesystem::exists("/dev/full")) {
        for (const bool rle : {false, true}) {
            EXPECT_EQ(errorOf([&] { rgbe::write("/dev/full", 4, 4, pixels.data(), rle); }),
                      "Failed to write file '/dev/full': No space left on device");
        }
    }
}

using RgbeHeader = RgbeFiles;

TEST_F(RgbeHeader, WithoutFormatLineDataIsFlat) {
    // Bytes that would be a valid run-length scanline are taken as they stand.
    const std::string data = runLine(5) + std::string(20, 'x');
    const RgbePicture p = readRgbe(put("a.hdr", magic + "EXPOSURE=1\n\n-Y 1 +X 8\n" + data));
    EXPECT_EQ(str(p.pixels), data);

    const RgbePicture marked =
        readRgbe(put("b.hdr", magic + marker + format + "\n-Y 1 +X 8\n" + data));
    EXPECT_EQ(str(marked.pixels), data);
}

TEST_F(RgbeHeader, FormatLineRules) {
    const std::string other = put("other.hdr", magic + "FORMAT=32-bit_rle_xyze\n\n-Y 1 +X 8\n");
    EXPECT_EQ(readError(other),
              "Invalid format of RADIANCE file '" + other + "': 'FORMAT=32-bit_rle_xyze'");
    const std::string lower = put("lower.hdr", magic + "format=32-bit_rle_rgbe\n\n-Y 1 +X 8\n");
    EXPECT_EQ(readError(lower),
              "Invalid format of RADIANCE file '" + lower + "': 'format=32-bit_rle_rgbe'");
    const std::string trailing = put("trail.hdr", magic + "FORMAT=32-bit_rle_rgbe \n\n-Y 1 +X 8\n");
    EXPECT_EQ(readError(trailing),
              "Invalid format of RADIANCE file '" + trailing + "': 'FORMAT=32-bit_rle_rgbe '");

    // A comment naming another format is no FORMAT line: the run-length data still decodes.
    const RgbePicture p = readRgbe(put("comment.hdr", magic + "# FORMAT=32-bit_rle_xyze\n" + format +
                                                         "\n-Y 1 +X 8\n" + runLine(9)));
    EXPECT_EQ(p.pixels, Bytes(32, 9));
}

TEST_F(RgbeHeader, MagicLine) {
    const RgbePicture p =
        readRgbe(put("blanks.hdr", "#?RADIANCE \t\r\n" + format + "\n-Y 1 +X 8\n" + runLine(3)));
    EXPECT_EQ(p.pixels, Bytes(32, 3));

    const std::string rgbeMagic = put("rgbe.hdr", "#?RGBE\n" + format + "\n-Y 1 +X 8\n");
    EXPECT_EQ(readError(rgbeMagic), "Not a RADIANCE file: '" + rgbeMagic + "' (#?RGBE)");
    const std::string empty = put("empty.hdr", "");
    EXPECT_EQ(readError(empty), "Not a RADIANCE file: '" + empty + "' ()");
    const std::string later = put("later.hdr", "\n#?RADIANCE\n");
    EXPECT_EQ(readError(later), "Not a RADIANCE file: '" + later + "' ()");
}

TEST_F(RgbeHeader, CarriageReturnLineDoesNotEndHeader) {
    // Were "\r" the end, the empty line would be taken as the size line and fail.
    const RgbePicture p = readRgbe(put("cr.hdr", magic + format + "\r\n\n-Y 1 +X 8\n" + runLine(4)));
    EXPECT_EQ(p.pixels, Bytes(32, 4));
}

TEST_F(RgbeHeader, SizeLine) {
    const RgbePicture p = readRgbe(
        put("text.hdr", magic + format + "\n-Y 2 +X 8 and more\n" + runLine(1) + runLine(2)));
    EXPECT_EQ(p.width, 8);
    EXPECT_EQ(p.height, 2);

    for (const std::string line :
         {"+Y 2 +X 8", "-Y 2 -X 8", "-Y 2 +X", "-Y  2 +X 8", "-Y 2 +X 8 \r", "-Y 0 +X 8",
          "-Y 2 +X 0", "-Y 99999999999999999999 +X 8", "-Y 2 +X 2147483648",
          "-Y 2147483648 +X 1"}) {
        const std::string file = put("bad.hdr", magic + format + "\n" + line + "\n");
        EXPECT_EQ(readError(file), "Invalid size of RADIANCE file '" + file + "': '" + line + "'");
    }
    const std::string none = put("none.hdr", magic + format + "\n");
    EXPECT_EQ(readError(none), "Invalid size of RADIANCE file '" + none + "': ''");

    // Sizes of 2 GiB and more are pictures too; without their data they are refused before
    // anything is allocated.
    for (const std::string line : {"-Y 1 +X 2147483647", "-Y 16384 +X 32768"}) {
        const std::string large = put("large.hdr", magic + "\n" + line + "\n");
        EXPECT_EQ(readError(large), "Failed to read file '" + large + "'");
    }
}

using RgbeRead = RgbeFiles;

TEST_F(RgbeRead, OpenAndReadFailures) {
    const std::string missing = path("missing.hdr");
    EXPECT_EQ(readError(missing),
              "Failed to open file '" + missing + "': No such file or directory");
    EXPECT_EQ(readError(dir.string()), "Failed to read file '" + dir.string() + "'");
}

// With and without trailing bytes: enough bytes at hand take the unchecked decoder.
class RgbeScanlines : public RgbeFiles, public ::testing::WithParamInterface<bool> {
protected:
    std::string file(const std::string& name, const std::string& data) {
        const std::string tail = GetParam() ? std::string(500, char(1)) : "";
        return put(name, magic + format + "\n-Y 2 +X 8\n" + data + tail);
    }
};

TEST_P(RgbeScanlines, DecodesRunsAndLiterals) {
    const RgbePicture p = readRgbe(file("ok.hdr", literalLine(10) + runLine(200)));
    Bytes expected(64, 200);
    for (int x = 0; x < 8; ++x) {
        for (int k = 0; k < 4; ++k) {
            expected[4 * x + k] = static_cast<unsigned char>(10 + x);
        }
    }
    EXPECT_EQ(p.pixels, expected);
}

TEST_P(RgbeScanlines, ScanlineHeaderErrors) {
    const std::string wrongWidth = file("w.hdr", runLine(1) + rleHeader(9) + runLine(1).substr(4));
    EXPECT_EQ(readError(wrongWidth),
              "Failed to parse rle line header 1 of RADIANCE file '" + wrongWidth + "': 2 2 0 9");
    const std::string firstWidth = file("w0.hdr", rleHeader(9) + runLine(1).substr(4) + runLine(1));
    EXPECT_EQ(readError(firstWidth),
              "Failed to parse rle line header 0 of RADIANCE file '" + firstWidth + "': 2 2 0 9");
    // Without the marker in the first scanline the whole file is flat, as in classic readers;
    // 2, 2 with a high byte of 128 or more is no marker either.
    for (const std::string& lead : {std::string{1, 2, 3, 4}, std::string{2, 2, char(128), 8}}) {
        const std::string flatLine = file("f.hdr", lead + std::string(60, 5));
        Bytes expected(lead.begin(), lead.end());
        expected.resize(64, 5);
        EXPECT_EQ(readRgbe(flatLine).pixels, expected);
        expectSameOnEveryRoad(flatLine, path("fifo"));
    }
}

TEST_P(RgbeScanlines, PacketErrors) {
    const std::string zero = rleHeader(8) + std::string{char(136), 1, char(136), 1, 0, 1};
    const std::string longRun = rleHeader(8) + std::string{char(137), 1};
    // 5 + 5 literals cross the end of the 8-byte R stream.
    const std::string crossing =
        rleHeader(8) + std::string{5, 1, 2, 3, 4, 5, 5, 1, 2, 3, 4, 5} + std::string(30, 1);
    const std::string lateRun = rleHeader(8) + std::string{char(135), 1, char(130), 1};
    for (const std::string& line : {zero, longRun, crossing, lateRun}) {
        const std::string bad = file("bad.hdr", runLine(1) + line + std::string(40, char(136)));
        EXPECT_EQ(readError(bad), "Bad scanline data in line 1 in RADIANCE file '" + bad + "'");
    }
}

INSTANTIATE_TEST_SUITE_P(Tail, RgbeScanlines, ::testing::Bool());

TEST_F(RgbeRead, TruncatedFiles) {
    const std::string head = magic + format + "\n-Y 3 +X 8\n";
    // The third scanline cut inside its literals, inside its 4-byte header and before it.
    for (const size_t cut : {20, 36, 3, 0}) {
        const std::string file =
            put("cut.hdr", head + literalLine(0) + literalLine(0) + literalLine(0).substr(0, cut));
        EXPECT_EQ(readError(file), "Truncated RADIANCE file '" + file + "': line 2 is incomplete");
    }
    // Too short for runs of 127 in every line: refused before decoding.
    const std::string tiny = put("tiny.hdr", magic + format + "\n-Y 4000 +X 32000\n" + runLine(1));
    EXPECT_EQ(readError(tiny), "Truncated RADIANCE file '" + tiny + "': line 0 is incomplete");

    const std::string flat = put("flat.hdr", magic + "\n-Y 2 +X 4\n" + std::string(31, 'a'));
    EXPECT_EQ(readError(flat), "Failed to read file '" + flat + "'");
}

TEST_F(RgbeRead, IgnoresBytesAfterThePixels) {
    const RgbePicture rle =
        readRgbe(put("rle.hdr", magic + format + "\n-Y 1 +X 8\n" + runLine(6) + "junk"));
    EXPECT_EQ(rle.pixels, Bytes(32, 6));
    const RgbePicture flat =
        readRgbe(put("flat.hdr", magic + "\n-Y 1 +X 2\n" + "abcdefgh" + "junk"));
    EXPECT_EQ(str(flat.pixels), "abcdefgh");
}

TEST_F(RgbeRead, WideWorstCaseScanlines) {
    // One-pixel runs make scanlines of 262,140 bytes, four times the usual window.
    const int width = 32767;
    std::string data;
    Bytes expected;
    for (int y = 0; y < 3; ++y) {
        data += rleHeader(width);
        Bytes row(4 * size_t(width));
        for (int k = 0; k < 4; ++k) {
            for (int x = 0; x < width; ++x) {
                const unsigned char value = static_cast<unsigned char>(x * 7 + k + y);
                row[4 * size_t(x) + size_t(k)] = value;
                data += {char(129), char(value)};
            }
        }
        expected.insert(expected.end(), row.begin(), row.end());
    }
    const RgbePicture p = readRgbe(put("wide.hdr", magic + format + "\n-Y 3 +X 32767\n" + data));
    EXPECT_TRUE(p.pixels == expected);
}

TEST_F(RgbeRead, CallsTheRowCallbackInOrder) {
    for (const bool rle : {true, false}) {
        const Bytes pixels = mixedPixels(20, 5, 1);
        const std::string file = path("rows.hdr");
        rgbe::write(file, 20, 5, pixels.data(), rle);
        std::vector<int> rows;
        const rgbe::RowCallback record = [&](int row) { rows.push_back(row); };
        int width = 0;
        int height = 0;
        std::unique_ptr<unsigned char[]> data(rgbe::read(file, width, height, &record));
        EXPECT_EQ(rows, (std::vector<int>{0, 1, 2, 3, 4}));

        const rgbe::RowCallback stop = [](int row) {
            if (row == 2) {
                throw std::runtime_error("stop");
            }
        };
        EXPECT_EQ(errorOf([&] { delete[] rgbe::read(file, width, height, &stop); }), "stop");
    }
}

TEST_F(RgbeRead, ImageOwnsTheBuffer) {
    const Bytes pixels = mixedPixels(8, 2, 2);
    rgbe::write(path("i.hdr"), 8, 2, pixels.data(), true);
    rgbe::Image image;
    image.data = rgbe::read(path("i.hdr"), image.width, image.height);
    rgbe::Image moved(std::move(image));
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(Bytes(moved.data, moved.data + 64), pixels);
    rgbe::Image assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.width, 8);
    EXPECT_EQ(Bytes(assigned.data, assigned.data + 64), pixels);
}

// 32768 x 16384 is 2 GiB of RGBE, flat since run-length lines stop at 32767 pixels.
TEST_F(RgbeRead, PicturesOfTwoGibibytesRoundTrip) {
    const int width = 32768;
    const int height = 16384;
    const std::size_t bytes = 4 * static_cast<std::size_t>(width) * height;
    std::unique_ptr<unsigned char[]> pixels(new unsigned char[bytes]);
    for (std::size_t i = 0; i < bytes; i += 4) {
        const std::size_t pixel = i / 4;
        pixels[i] = static_cast<unsigned char>(pixel);
        pixels[i + 1] = static_cast<unsigned char>(pixel >> 8);
        pixels[i + 2] = static_cast<unsigned char>(pixel >> 16);
        pixels[i + 3] = static_cast<unsigned char>(100 + (pixel >> 24));
    }
    const std::string file = path("huge.hdr");
    ::testing::internal::CaptureStderr();
    rgbe::write(file, width, height, pixels.get(), true);
    ::testing::internal::GetCapturedStderr();
    const std::string header = magic + marker + format + "\n-Y 16384 +X 32768\n";
    EXPECT_EQ(std::filesystem::file_size(file), header.size() + bytes);
    int w = 0;
    int h = 0;
    std::unique_ptr<unsigned char[]> back(rgbe::read(file, w, h));
    std::filesystem::remove(file);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(std::memcmp(back.get(), pixels.get(), bytes), 0);
    ::testing::internal::CaptureStderr();
    const rgbe::Stats stats = rgbe::stats(pixels.get(), bytes / 4, 1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(stats.max, 100 + 31 - 128) << "the last pixels lie beyond 2^31 bytes";
}

} // namespace
