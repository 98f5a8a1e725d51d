// JPEG XL files made here with cjxl from PFM and PNG pictures written by the test, read back
// through readPicture: float and HDR values, SDR codes, primaries, and hostile headers.
#include "PngWriter.h"
#include "ChildRead.h"
#include "PictureReadUtil.h"
#include "RgbeTestUtil.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <png.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using JxlReader = RgbeFiles;

constexpr int width = 7;
constexpr int height = 5;

using Rgb = std::array<double, 3>;

void make(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

// Linear light that differs in every pixel and channel, from 0.01 to about 40.
Rgb floatAt(int x, int y) {
    return {0.01 + 0.5 * x + 0.1 * y, 0.2 * (x + 1) * (y + 1), 40.0 / (1 + x + 2 * y)};
}

// The light of floatAt's values taken as sRGB signals (the curve continued above 1).
Rgb srgbSignalAt(int x, int y) {
    Rgb rgb = floatAt(x, y);
    for (double& v : rgb) {
        v = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    return rgb;
}

void writePfm(const std::string& path, const std::function<Rgb(int, int)>& value) {
    std::ofstream out(path, std::ios::binary);
    out << "PF\n" << width << " " << height << "\n-1.0\n";
    // PFM rows run from the bottom.
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            for (double v : value(x, y)) {
                const float f = static_cast<float>(v);
                out.write(reinterpret_cast<const char*>(&f), sizeof f);
            }
        }
    }
}

// A uniform RGB PNG of 8 or 16 bits.
void writePng(const std::string& path, int depth, std::array<unsigned, 3> code) {
    const std::array<std::uint16_t, 3> codes = {static_cast<std::uint16_t>(code[0]),
                                                static_cast<std::uint16_t>(code[1]),
                                                static_cast<std::uint16_t>(code[2])};
    writeRgbPng(path, width, height, depth, [&codes](int, int) { return codes; });
}

Rgb pixelOf(const Picture& picture, int x, int y) {
    const unsigned char* p =
        picture.pixels.get() + (static_cast<std::size_t>(y) * picture.width + x) *
                                   bytesPerPixel(picture.encoding);
    Rgb rgb{};
    if (picture.encoding == PixelEncoding::Rgbe) {
        rgbe::decode(p, rgb[0], rgb[1], rgb[2]);
    } else {
        rgb = {double(p[0]), double(p[1]), double(p[2])};
    }
    return rgb;
}

unsigned pqCode(double candela) {
    const double m1 = 2610.0 / 16384.0, m2 = 2523.0 / 4096.0 * 128.0;
    const double c1 = 3424.0 / 4096.0, c2 = 2413.0 / 4096.0 * 32.0, c3 = 2392.0 / 4096.0 * 32.0;
    const double y = std::pow(candela / 10000.0, m1);
    return static_cast<unsigned>(std::lround(65535.0 * std::pow((c1 + c2 * y) / (1 + c3 * y), m2)));
}

// One file: its source picture, cjxl's options, and the pixels expected of every place.
struct Case {
    const char* name;
    // "pfm", or a PNG of `depth` bits holding `code` everywhere.
    const char* source;
    int depth;
    std::array<unsigned, 3> code;
    const char* options;
    PixelEncoding encoding;
    double candela;
    std::function<Rgb(int, int)> expected;
    // Tolerance as a fraction of the pixel's largest expected value (RGBE), or in codes.
    double tolerance;
};

const Rgb referenceGrey{1.0, 1.0, 1.0};

// RGBE's mantissa truncates: up to 1/128 of the pixel's largest channel is lost.
constexpr double rgbeStep = 1.0 / 128.0;

// A BT.2020 colour of (0.5, 1, 0.5) and a Display P3 one of (1, 0.2, 0.6), linear, in Rec.709
// by the published matrices (ITU-R BT.2087; SMPTE EG 432-1).
const Rgb bt2020InRec709{0.5 * 1.6605 - 0.5876 - 0.5 * 0.0728, -0.5 * 0.1246 + 1.1329 - 0.5 * 0.0083,
                         -0.5 * 0.0182 - 0.1006 + 0.5 * 1.1187};
const Rgb p3InRec709{1.2249 - 0.2 * 0.2247, -0.0420 + 0.2 * 1.0419,
                     -0.0197 - 0.2 * 0.0786 + 0.6 * 1.0979};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"FloatLinear", "pfm", 0, {}, "-d 0 -x color_space=RGB_D65_SRG_Rel_Lin",
         PixelEncoding::Rgbe, radianceCandela, floatAt, rgbeStep},
        {"FloatLinearLossy", "pfm", 0, {}, "-d 1 -x color_space=RGB_D65_SRG_Rel_Lin",
         PixelEncoding::Rgbe, radianceCandela, floatAt, 0.15},
        // cjxl takes a PFM's floats as sRGB signals, those above 1 too.
        {"FloatSrgbCurve", "pfm", 0, {}, "-d 0", PixelEncoding::Rgbe, radianceCandela,
         srgbSignalAt, rgbeStep},
        {"PqReferenceWhite", "png", 16, {pqCode(203), pqCode(203), pqCode(203)},
         "-d 0 -x color_space=RGB_D65_SRG_Rel_PeQ", PixelEncoding::Rgbe, 203.0,
         [](int, int) { return referenceGrey; }, 0.02},
        {"PqReferenceWhiteLossy", "png", 16, {pqCode(203), pqCode(203), pqCode(203)},
         "-d 1 -x color_space=RGB_D65_SRG_Rel_PeQ", PixelEncoding::Rgbe, 203.0,
         [](int, int) { return referenceGrey; }, 0.03},
        // 75 % HLG is reference white on a 1000 cd/m² display.
        {"Hlg75Percent", "png", 16, {49151, 49151, 49151},
         "-d 0 -x color_space=RGB_D65_SRG_Rel_HLG", PixelEncoding::Rgbe, 203.0,
         [](int, int) { return referenceGrey; }, 0.03},
        {"Bt2020Pq", "png", 16, {pqCode(101.5), pqCode(203), pqCode(101.5)},
         "-d 0 -x color_space=RGB_D65_202_Rel_PeQ", PixelEncoding::Rgbe, 203.0,
         [](int, int) { return bt2020InRec709; }, 0.02},
        {"DisplayP3Linear", "png", 16, {65535, 13107, 39321},
         "-d 0 -x color_space=RGB_D65_DCI_Rel_Lin", PixelEncoding::Rgbe, radianceCandela,
         [](int, int) { return p3InRec709; }, 0.01},
        {"Srgb8", "png", 8, {200, 30, 99}, "-d 0", PixelEncoding::Rgb8, radianceCandela,
         [](int, int) { return Rgb{200, 30, 99}; }, 0},
        {"Srgb16", "png", 16, {200 * 257, 30 * 257, 99 * 257}, "-d 0", PixelEncoding::Rgb8,
         radianceCandela, [](int, int) { return Rgb{200, 30, 99}; }, 0},
        {"Srgb8Lossy", "png", 8, {200, 30, 99}, "-d 1", PixelEncoding::Rgb8, radianceCandela,
         [](int, int) { return Rgb{200, 30, 99}; }, 4},
    };
    return table;
}

class JxlCases : public JxlReader, public ::testing::WithParamInterface<Case> {};

TEST_P(JxlCases, ReadBackInRec709) {
    const Case& c = GetParam();
    const std::string source = path(std::string("source.") + c.source);
    if (std::string(c.source) == "pfm") {
        writePfm(source, floatAt);
    } else {
        writePng(source, c.depth, c.code);
    }
    const std::string file = path("picture.jxl");
    make(fmt::format("cjxl {} {} {}", source, file, c.options));

    const PictureInfo info = probePicture(file, SizeLimit());
    EXPECT_EQ(info.width, width);
    EXPECT_EQ(info.height, height);
    EXPECT_EQ(info.encoding, c.encoding);
    const Picture picture = quietRead(file);
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    ASSERT_EQ(picture.encoding, c.encoding);
    EXPECT_DOUBLE_EQ(picture.candelaPerUnit, c.candela);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb want = c.expected(x, y);
            const Rgb got = pixelOf(picture, x, y);
            const double scale = c.encoding == PixelEncoding::Rgbe
                                     ? std::max({want[0], want[1], want[2]})
                                     : 1.0;
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(got[k], want[k], c.tolerance * scale + 1e-9)
                    << "pixel " << x << "," << y << " channel " << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, JxlCases, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// libjxl turns the picture upright: the sizes are the turned ones, and so are the pixels.
TEST_F(JxlReader, OrientationIsApplied) {
    // 16 x 8, a bright left half, through JPEG, whose Exif orientation cjxl keeps.
    std::string ppm = "P6\n16 8\n255\n";
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 16; ++x) {
            ppm.append(3, static_cast<char>(x < 8 ? 240 : 20));
        }
    }
    const std::string source = put("source.ppm", ppm);
    const std::string jpeg = path("turned.jpg");
    const std::string file = path("turned.jxl");
    make(fmt::format("cjpeg -quality 95 -outfile {} {}", jpeg, source));
    make(fmt::format("exiftool -q -overwrite_original -Orientation#=6 {}", jpeg));
    make(fmt::format("cjxl {} {}", jpeg, file));

    const PictureInfo info = probePicture(file, SizeLimit());
    EXPECT_EQ(info.width, 8);
    EXPECT_EQ(info.height, 16);
    const Picture picture = quietRead(file);
    ASSERT_EQ(picture.width, 8);
    ASSERT_EQ(picture.height, 16);
    // Turned a quarter clockwise, the left half is the top.
    EXPECT_GT(pixelOf(picture, 4, 3)[0], 200);
    EXPECT_LT(pixelOf(picture, 4, 12)[0], 60);
}

// LSB-first bits, as the codestream packs its headers.
struct BitWriter {
    std::string bytes;
    int used = 8;
    void put(std::uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) {
            if (used == 8) {
                bytes.push_back('\0');
                used = 0;
            }
            bytes.back() = static_cast<char>(bytes.back() | ((value >> i & 1u) << used));
            ++used;
        }
    }
    // U32(BitsOffset(9, 1), BitsOffset(13, 1), BitsOffset(18, 1), BitsOffset(30, 1)).
    void putSize(std::uint32_t size) {
        const int widths[4] = {9, 13, 18, 30};
        for (std::uint32_t selector = 0; selector < 4; ++selector) {
            if (size - 1 < (std::uint32_t(1) << widths[selector])) {
                put(selector, 2);
                put(size - 1, widths[selector]);
                return;
            }
        }
    }
};

// A bare codestream's signature and size header, all-default image metadata and no frame.
std::string forgedHeader(std::uint32_t w, std::uint32_t h) {
    BitWriter bits;
    bits.put(0xff, 8);
    bits.put(0x0a, 8);
    bits.put(0, 1); // not small
    bits.putSize(h);
    bits.put(0, 3); // no ratio: the width follows
    bits.putSize(w);
    bits.put(1, 1); // all_default metadata
    return bits.bytes + std::string(16, '\0');
}

TEST_F(JxlReader, ForgedSizesAreRefusedFromTheHeaderInLittleMemory) {
    const std::string forged = put("forged.jxl", forgedHeader(100000, 100000));
    const SizeLimit vastCard{1 << 20, 2, 1};
    struct Refusal {
        SizeLimit limit;
        std::string text;
    };
    const std::vector<Refusal> refusals = {
        {SizeLimit(),
         "Maximum texture size of GPU is too small (100000x100000 > 8192) for '" + forged + "'"},
        {vastCard, "Picture of '" + forged + "' too large for memory (100000x100000)"},
    };
    for (const Refusal& refusal : refusals) {
        const ChildRead read = inChild([&] {
            quietRead(forged, refusal.limit);
            return std::string("no error");
        });
        EXPECT_EQ(read.text, refusal.text);
        EXPECT_LT(read.grownMiB, 32);
        const ChildRead probe = inChild([&] {
            probePicture(forged, refusal.limit);
            return std::string("no error");
        });
        EXPECT_EQ(probe.text, refusal.text);
        EXPECT_LT(probe.grownMiB, 32);
    }
}

TEST_F(JxlReader, DamagedFilesGiveErrorsNamingThem) {
    writePng(path("source.png"), 8, {10, 20, 30});
    const std::string whole = path("whole.jxl");
    make(fmt::format("cjxl {} {} -d 0", path("source.png"), whole));
    std::string bytes;
    {
        std::ifstream in(whole, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_GT(bytes.size(), 20u);
    struct Damage {
        const char* name;
        std::string bytes;
        bool probeFails;
    };
    const std::vector<Damage> damages = {
        {"pixels-cut.jxl", bytes.substr(0, bytes.size() - 4), false},
        {"header-cut.jxl", bytes.substr(0, 3), true},
        {"empty.jxl", "", true},
        {"not-jxl.jxl", "P6\n7 5\n255\n" + std::string(105, 'x'), true},
        {"forged-cut.jxl", forgedHeader(64, 48).substr(0, 4), true},
    };
    for (const Damage& damage : damages) {
        const std::string file = put(damage.name, damage.bytes);
        const std::string prefix = "Failed to read file '" + file + "': ";
        EXPECT_EQ(pictureError(file).rfind(prefix, 0), 0u) << pictureError(file);
        std::string probeText = "no error";
        try {
            probePicture(file, SizeLimit());
        } catch (const std::runtime_error& error) {
            probeText = error.what();
        }
        if (damage.probeFails) {
            EXPECT_EQ(probeText.rfind(prefix, 0), 0u) << probeText;
        } else {
            EXPECT_EQ(probeText, "no error");
        }
    }
}

} // namespace
