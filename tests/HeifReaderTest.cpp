// HEIF files made here with libheif's encoder, among them a photo with an Apple gain map,
// read back through readPicture.
// The reader's namespace takes the name of libheif's struct heif_reader, unused here.
#define heif_reader libheif_reader
#include <libheif/heif.h>
#undef heif_reader

#include "AppleGainMap.h"
#include "ChildRead.h"
#include "CodecReaders.h"
#include "GainMapSetting.h"
#include "HeifWriter.h"
#include "PictureReadUtil.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

using HeifReader = RgbeFiles;
using Rgb16 = std::array<unsigned, 3>;

constexpr int width = 64;
constexpr int height = 32;

unsigned code16(double signal) {
    return static_cast<unsigned>(std::lround(signal * 65535));
}

std::array<double, 3> rgbeAt(const Picture& picture, int x, int y) {
    std::array<double, 3> rgb{};
    rgbe::decode(picture.pixels.get() + 4 * (static_cast<std::size_t>(y) * picture.width + x),
                 rgb[0], rgb[1], rgb[2]);
    return rgb;
}

// An RGB image of `bits` whose left half is `left` and right half `right` (16-bit codes,
// shifted to `bits`), or a grey one of 8 bits holding left[0].
Image rgbImage(int w, int h, int bits, Rgb16 left, Rgb16 right, bool grey = false) {
    heif_image* made = nullptr;
    const heif_chroma chroma = grey       ? heif_chroma_monochrome
                               : bits > 8 ? heif_chroma_interleaved_RRGGBB_LE
                                          : heif_chroma_interleaved_RGB;
    const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
    EXPECT_EQ(heif_image_create(w, h, grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
                                chroma, &made)
                  .code,
              heif_error_Ok);
    Image image(made, &heif_image_release);
    EXPECT_EQ(heif_image_add_plane(made, channel, w, h, bits).code, heif_error_Ok);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(made, channel, &stride);
    const int channels = grey ? 1 : 3;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < channels; ++c) {
                const unsigned v = (x < w / 2 ? left : right)[c] >> (16 - bits);
                std::uint8_t* at = plane + y * stride + (x * channels + c) * (bits > 8 ? 2 : 1);
                at[0] = static_cast<std::uint8_t>(v & 0xff);
                if (bits > 8) {
                    at[1] = static_cast<std::uint8_t>(v >> 8);
                }
            }
        }
    }
    return image;
}

std::string encode(const HeifReader& test, const std::string& name, Rgb16 left, Rgb16 right,
                   int bits, int primaries, int transfer) {
    const std::string file = test.path(name + ".heic");
    Context context(heif_context_alloc(), &heif_context_free);
    addImage(context.get(), rgbImage(width, height, bits, left, right).get(), primaries, transfer);
    EXPECT_EQ(heif_context_write_to_file(context.get(), file.c_str()).code, heif_error_Ok);
    return file;
}

struct Colours {
    const char* name;
    int bits, primaries, transfer;
    Rgb16 left, right;
    PixelEncoding encoding;
    double candela;
    std::function<void(const Picture&)> check;
};

TEST_F(HeifReader, ColoursComeOutAsTheirTransferAndPrimariesSay) {
    // PQ's code of 203 cd/m², and HLG's 75 %: both the reference white.
    const double pqWhite = 0.58069;
    const std::vector<Colours> cases = {
        {"pq-bt2020",
         10,
         9,
         16,
         {code16(pqWhite), code16(pqWhite), code16(pqWhite)},
         {0, code16(pqWhite), 0},
         PixelEncoding::Rgbe,
         203.0,
         [](const Picture& p) {
             for (double v : rgbeAt(p, 3, 5)) {
                 EXPECT_NEAR(v, 1.0, 0.03);
             }
             // BT.2020's green is beyond Rec.709's: its red and blue go negative and are cut.
             const auto green = rgbeAt(p, width - 3, 5);
             EXPECT_NEAR(green[1], 1.1329, 0.04);
             EXPECT_LT(green[0], 0.01);
             EXPECT_LT(green[2], 0.01);
         }},
        {"hlg",
         10,
         1,
         18,
         {code16(0.75), code16(0.75), code16(0.75)},
         {0, 0, 0},
         PixelEncoding::Rgbe,
         203.0,
         [](const Picture& p) { EXPECT_NEAR(rgbeAt(p, 3, 5)[1], 1.0, 0.05); }},
        {"srgb-8",
         8,
         1,
         13,
         {200 * 257, 100 * 257, 30 * 257},
         {0, 255 * 257, 0},
         PixelEncoding::Rgb8,
         179.0,
         [](const Picture& p) {
             const unsigned char* px = p.pixels.get() + 3 * (5 * width + 3);
             EXPECT_EQ(Bytes(px, px + 3), (Bytes{200, 100, 30}));
         }},
        {"p3-10",
         10,
         12,
         13,
         {code16(0.6), code16(0.6), code16(0.3)},
         {65535, 65535, 65535},
         PixelEncoding::Rgb8,
         179.0,
         [](const Picture& p) {
             // In Rec.709 this P3 colour keeps its red and green and loses blue (0.3 is 77).
             const unsigned char* px = p.pixels.get() + 3 * (5 * width + 3);
             EXPECT_NEAR(px[0], 153, 1);
             EXPECT_NEAR(px[1], 153, 1);
             EXPECT_NEAR(px[2], 63, 3);
             const unsigned char* white = p.pixels.get() + 3 * (5 * width + width - 3);
             EXPECT_EQ(Bytes(white, white + 3), (Bytes{255, 255, 255}));
         }},
    };
    for (const Colours& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file =
            encode(*this, c.name, c.left, c.right, c.bits, c.primaries, c.transfer);
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.width, width);
        ASSERT_EQ(picture.height, height);
        EXPECT_EQ(picture.encoding, c.encoding);
        EXPECT_EQ(probePicture(file, SizeLimit()).encoding, c.encoding);
        EXPECT_EQ(picture.candelaPerUnit, c.candela);
        c.check(picture);
    }
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>(value >> (24 - 8 * i) & 0xff);
    }
}

struct Damage {
    const char* name;
    std::function<std::string(std::string)> change;
    bool probeFails;
};

TEST_F(HeifReader, DamagedFilesAreRefusedNamingThem) {
    const std::string good = encode(*this, "good", {1000, 2000, 3000}, {0, 0, 0}, 8, 1, 13);
    const std::string bytes(reinterpret_cast<const char*>(contents(good).data()),
                            contents(good).size());
    const std::vector<Damage> cases = {
        {"forged",
         [](std::string b) {
             const std::size_t ispe = b.find("ispe");
             put32(b, ispe + 8, 100000);
             put32(b, ispe + 12, 100000);
             return b;
         },
         true},
        {"truncated", [](std::string b) { return b.substr(0, b.size() - 40); }, false},
        {"header-only", [](std::string b) { return b.substr(0, 100); }, true},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        const std::string file = put(std::string(d.name) + ".heic", d.change(bytes));
        const ChildRead read = inChild([&] {
            quietRead(file);
            return std::string("no error");
        });
        EXPECT_NE(read.text.find("'" + file + "'"), std::string::npos) << read.text;
        EXPECT_LT(read.grownMiB, 32);
        const ChildRead probe = inChild([&] {
            probePicture(file, SizeLimit());
            return std::string("no error");
        });
        if (d.probeFails) {
            EXPECT_EQ(probe.text, read.text);
            EXPECT_LT(probe.grownMiB, 32);
        }
    }
}

} // namespace

namespace {

std::string be16(unsigned v) {
    return {char(v >> 8 & 0xff), char(v & 0xff)};
}
std::string be32(std::uint32_t v) {
    return be16(v >> 16) + be16(v & 0xffff);
}

// An IFD entry of one SRATIONAL at `offset`.
std::string rationalEntry(unsigned tag, std::uint32_t offset) {
    return be16(tag) + be16(10) + be32(1) + be32(offset);
}

// A big-endian EXIF block: IFD0 with Make and the Exif IFD, which holds an Apple maker note of
// tags 33 and 48 (numerators over 1000), its offsets counted from the note's start.
std::string appleExif(const std::string& make, int tag33, int tag48) {
    std::string note = std::string("Apple iOS", 9) + '\0' + be16(1) + "MM";
    note += be16(2) + rationalEntry(33, 14 + 2 + 24 + 4) + rationalEntry(48, 14 + 2 + 24 + 12) +
            be32(0);
    note += be32(static_cast<std::uint32_t>(tag33)) + be32(1000) +
            be32(static_cast<std::uint32_t>(tag48)) + be32(1000);
    const std::string makeValue = make + '\0';
    // Header 8, IFD0 at 8 (2 entries: 30 bytes), the Exif IFD at 38 (1 entry: 18), then data.
    const std::uint32_t makeAt = 8 + 30 + 18;
    const std::uint32_t noteAt = makeAt + static_cast<std::uint32_t>(makeValue.size());
    std::string tiff = "MM" + be16(42) + be32(8);
    tiff += be16(2) + be16(0x010f) + be16(2) + be32(makeValue.size()) + be32(makeAt);
    tiff += be16(0x8769) + be16(4) + be32(1) + be32(38) + be32(0);
    tiff += be16(1) + be16(0x927c) + be16(7) + be32(note.size()) + be32(noteAt) + be32(0);
    return tiff + makeValue + note;
}

struct Headroom {
    int tag33, tag48; // thousandths
    double stops;
};

TEST(AppleGainMap, HeadroomFollowsTheMakerNote) {
    const std::vector<Headroom> cases = {
        {500, 5, -20 * 0.005 + 1.8},
        {500, 200, -0.101 * 0.2 + 1.601},
        {1500, 5, -70 * 0.005 + 3.0},
        {1500, 200, -0.303 * 0.2 + 2.303},
        {1500, 9000, 0.0}, // negative stops: no headroom
    };
    for (const Headroom& c : cases) {
        SCOPED_TRACE(c.tag33 * 10000 + c.tag48);
        const std::string exif = appleExif("Apple", c.tag33, c.tag48);
        EXPECT_NEAR(apple_gain_map::headroomFromExif(
                        reinterpret_cast<const unsigned char*>(exif.data()), exif.size()),
                    std::exp2(c.stops), 1e-6);
    }
    for (const std::string& bad :
         {appleExif("Google", 500, 5), appleExif("Apple", 500, 5).substr(0, 70)}) {
        EXPECT_THROW(apple_gain_map::headroomFromExif(
                         reinterpret_cast<const unsigned char*>(bad.data()), bad.size()),
                     std::runtime_error);
    }
}

TEST(AppleGainMap, GainsAreTheMapsSrgbCodesSampledBilinearly) {
    // A 2 x 1 map of black and white under a 4 x 2 base: the outer pixels take one code each,
    // the inner ones a quarter of the way across.
    const std::uint8_t codes[2] = {0, 255};
    const apple_gain_map::GainSampler sampler(codes, 2, 1, 2, 4, 2);
    std::vector<float> row(4);
    for (int y = 0; y < 2; ++y) {
        sampler.row(y, row.data());
        EXPECT_FLOAT_EQ(row[0], 0.0f);
        EXPECT_FLOAT_EQ(row[1], 0.25f);
        EXPECT_FLOAT_EQ(row[2], 0.75f);
        EXPECT_FLOAT_EQ(row[3], 1.0f);
    }
    const std::uint8_t mid = 188; // sRGB's code of linear 0.5
    const apple_gain_map::GainSampler grey(&mid, 1, 1, 1, 1, 1);
    grey.row(0, row.data());
    EXPECT_NEAR(row[0], 0.5f, 0.003f);
}

} // namespace

namespace {

std::uint32_t get(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = v << 8 | static_cast<unsigned char>(b[at + i]);
    }
    return v;
}

// The offsets of the boxes along `path` ({"meta", "iprp", "ipco"}), each inside the last.
std::vector<std::size_t> boxPath(const std::string& b, const std::vector<std::string>& path) {
    std::vector<std::size_t> found;
    std::size_t at = 0;
    std::size_t end = b.size();
    for (const std::string& type : path) {
        while (at + 8 <= end && b.compare(at + 4, 4, type) != 0) {
            at += get(b, at, 4);
        }
        if (at + 8 > end) {
            throw std::runtime_error("no box " + type);
        }
        found.push_back(at);
        end = at + get(b, at, 4);
        at += type == "meta" ? 12 : 8;
    }
    return found;
}

void insert(std::string& b, const std::vector<std::size_t>& boxes, std::size_t at,
            const std::string& bytes) {
    b.insert(at, bytes);
    for (std::size_t box : boxes) {
        put32(b, box, get(b, box, 4) + static_cast<std::uint32_t>(bytes.size()));
    }
}

// libheif 1.15 writes no auxiliary images: the file's one thumbnail becomes one here, of
// `type`, the pixel data that follows the meta box moved by what the box gained.
std::string thumbnailToAuxiliary(std::string b, const std::string& type) {
    const std::size_t thmb = b.find("thmb", boxPath(b, {"meta", "iref"})[1]);
    const int refVersion = b[boxPath(b, {"meta", "iref"})[1] + 8];
    const std::uint32_t mapId = get(b, thmb + 4, refVersion == 0 ? 2 : 4);
    b.replace(thmb, 4, "auxl");
    const std::vector<std::size_t> ipco = boxPath(b, {"meta", "iprp", "ipco"});
    const std::size_t ipcoEnd = ipco[2] + get(b, ipco[2], 4);
    int properties = 0;
    for (std::size_t at = ipco[2] + 8; at < ipcoEnd; at += get(b, at, 4)) {
        ++properties;
    }
    const std::string auxC = be32(12 + type.size() + 1) + "auxC" + be32(0) + type + '\0';
    insert(b, ipco, ipcoEnd, auxC);
    std::size_t growth = auxC.size();
    const std::vector<std::size_t> ipma = boxPath(b, {"meta", "iprp", "ipma"});
    const int version = b[ipma[2] + 8];
    const int wide = get(b, ipma[2] + 8, 4) & 1 ? 2 : 1;
    std::size_t at = ipma[2] + 16;
    for (std::uint32_t n = get(b, ipma[2] + 12, 4); n > 0; --n) {
        const std::uint32_t id = get(b, at, version < 1 ? 2 : 4);
        at += version < 1 ? 2 : 4;
        const int count = static_cast<unsigned char>(b[at]);
        if (id == mapId) {
            b[at] = static_cast<char>(count + 1);
            insert(b, ipma, at + 1 + count * wide,
                   wide == 1 ? std::string(1, char(properties + 1)) : be16(properties + 1));
            growth += wide;
            break;
        }
        at += 1 + count * wide;
    }
    const std::size_t iloc = boxPath(b, {"meta", "iloc"})[1];
    const int v = b[iloc + 8];
    at = iloc + 12;
    const int offsetSize = static_cast<unsigned char>(b[at]) >> 4;
    const int lengthSize = b[at] & 15;
    const int baseSize = static_cast<unsigned char>(b[at + 1]) >> 4;
    const int indexSize = v >= 1 ? b[at + 1] & 15 : 0;
    at += 2;
    const std::uint32_t items = get(b, at, v < 2 ? 2 : 4);
    at += v < 2 ? 2 : 4;
    auto shift = [&](std::size_t field, int size) {
        if (size == 4) {
            put32(b, field, get(b, field, 4) + static_cast<std::uint32_t>(growth));
        } else if (size == 8) {
            put32(b, field + 4, get(b, field + 4, 4) + static_cast<std::uint32_t>(growth));
        }
    };
    for (std::uint32_t item = 0; item < items; ++item) {
        at += v < 2 ? 2 : 4;
        const bool inFile = v < 1 || (get(b, at, 2) & 15) == 0;
        at += v >= 1 ? 4 : 2;
        if (inFile) {
            shift(at, baseSize);
        }
        at += baseSize;
        const std::uint32_t extents = get(b, at, 2);
        at += 2;
        for (std::uint32_t e = 0; e < extents; ++e) {
            at += indexSize;
            if (inFile && baseSize == 0) {
                shift(at, offsetSize);
            }
            at += offsetSize + lengthSize;
        }
    }
    return b;
}

double srgbToLinear(double code) {
    const double s = code / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}

struct GainMapCase {
    const char* name;
    std::string make;
    bool applied;
    PixelEncoding encoding;
    GainMap gainMap;
    int warnings;
};

TEST_F(HeifReader, AppleGainMapsMakeTheHdrRendition) {
    const Rgb16 base = {160 * 257, 120 * 257, 40 * 257};
    const unsigned gain = 200;
    const std::vector<GainMapCase> cases = {
        {"applied", "Apple", true, PixelEncoding::Rgbe, GainMap::Applied, 0},
        {"base", "Apple", false, PixelEncoding::Rgbe, GainMap::Base, 0},
        {"broken", "Google", true, PixelEncoding::Rgb8, GainMap::None, 1},
    };
    for (const GainMapCase& c : cases) {
        SCOPED_TRACE(c.name);
        Context context(heif_context_alloc(), &heif_context_free);
        const Handle primary =
            addImage(context.get(), rgbImage(width, height, 8, base, base).get(), 1, 13);
        const Handle map = addImage(
            context.get(), rgbImage(width / 4, height / 4, 8, {gain << 8}, {gain << 8}, true).get(),
            1, 13);
        // libheif 1.15 writes its thmb reference from the first argument to the second.
        ASSERT_EQ(heif_context_assign_thumbnail(context.get(), map.get(), primary.get()).code,
                  heif_error_Ok);
        ASSERT_EQ(heif_context_set_primary_image(context.get(), primary.get()).code, heif_error_Ok);
        const std::string exif = appleExif(c.make, 1500, 5);
        ASSERT_EQ(heif_context_add_exif_metadata(context.get(), primary.get(), exif.data(),
                                                 static_cast<int>(exif.size()))
                      .code,
                  heif_error_Ok);
        const std::string plain = path(std::string(c.name) + "-plain.heic");
        ASSERT_EQ(heif_context_write_to_file(context.get(), plain.c_str()).code, heif_error_Ok);
        const Bytes bytes = contents(plain);
        const std::string file = put(std::string(c.name) + ".heic",
                                     thumbnailToAuxiliary(std::string(bytes.begin(), bytes.end()),
                                                          apple_gain_map::auxiliaryType));

        setGainMapsApplied(c.applied);
        int warnings = 0;
        const DiagnosticSink saved = setDiagnosticSink([&](const std::string& line) {
            warnings += line.rfind("Warning: ignoring the gain map of '" + file + "'", 0) == 0;
        });
        const Picture picture = readPicture(file, SizeLimit());
        const PictureInfo info = probePicture(file, SizeLimit());
        setDiagnosticSink(saved);
        setGainMapsApplied(true);
        EXPECT_EQ(warnings, c.warnings);
        EXPECT_EQ(picture.encoding, c.encoding);
        EXPECT_EQ(picture.gainMap, c.gainMap);
        EXPECT_EQ(info.encoding, c.encoding);
        if (c.encoding == PixelEncoding::Rgbe) {
            const double headroom = std::exp2(-70 * 0.005 + 3.0);
            // The base rendition is the base's light alone.
            const double factor =
                c.gainMap == GainMap::Base ? 1.0 : 1 + (headroom - 1) * srgbToLinear(gain);
            const auto rgb = rgbeAt(picture, width / 2, height / 2);
            // The shared exponent's step is 1/128 of the largest channel at worst.
            const double largest = srgbToLinear(base[0] >> 8) * factor;
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(rgb[k], srgbToLinear(base[k] >> 8) * factor, 0.02 * largest);
            }
        } else {
            const unsigned char* px = picture.pixels.get() + 3 * (height / 2 * width + width / 2);
            EXPECT_NEAR(px[0], 160, 2);
            EXPECT_NEAR(px[1], 120, 2);
            EXPECT_NEAR(px[2], 40, 2);
        }
    }
}

} // namespace
