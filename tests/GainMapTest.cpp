// JPEG files with gain maps (Ultra HDR XMP and ISO 21496-1), written here from a known HDR scene:
// the HDR rendition comes back, the base alone when gain maps are off, and a broken gain map
// leaves the base with one warning line.
#include "GainMapJpegWriter.h"

#include "Diagnostics.h"
#include "GainMapSetting.h"
#include "PictureReader.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int sceneWidth = 96;
constexpr int sceneHeight = 64;

// Light from 1/4 to 16 (highlights 4 stops above white) along x, with a plateau of white
// (1.0) between a third and a half of the width; the rows vary the tint. Neutral where above
// white unless `coloured`: a one-channel map cannot give clipped colours their hue back.
std::vector<float> scene(bool coloured) {
    std::vector<float> rgb(static_cast<std::size_t>(sceneWidth) * sceneHeight * 3);
    for (int y = 0; y < sceneHeight; ++y) {
        for (int x = 0; x < sceneWidth; ++x) {
            const double u = x / (sceneWidth - 1.0);
            const double v = y / (sceneHeight - 1.0);
            double stops = -2.0 + 6.0 * u;
            if (u > 1.0 / 3 && u < 0.5) {
                stops = 0.0;
            } else if (u >= 0.5) {
                stops = 6.0 * (u - 0.5) * (4.0 / 3.0);
            } else {
                stops = std::min(0.0, -2.0 + 6.0 * u);
            }
            const double light = std::exp2(stops);
            // Tinted below white; above it only when coloured.
            const double tint = light < 1.0 || coloured ? 0.5 * v : 0.0;
            float* p = &rgb[(static_cast<std::size_t>(y) * sceneWidth + x) * 3];
            p[0] = static_cast<float>(light);
            p[1] = static_cast<float>(light * (1.0 - 0.3 * tint));
            p[2] = static_cast<float>(light * (1.0 - 0.6 * tint));
        }
    }
    return rgb;
}

// Linear light of an sRGB code.
double linearOf(double code) {
    return code <= 10.31475 ? code / 255 / 12.92 : std::pow((code / 255 + 0.055) / 1.055, 2.4);
}

// Whether an RGBE picture is the 8-bit `sdr` through the sRGB curve, to RGBE's precision.
void expectLinearOf(const Picture& picture, const Picture& sdr) {
    ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe);
    ASSERT_EQ(picture.width, sdr.width);
    ASSERT_EQ(picture.height, sdr.height);
    for (int y = 0; y < sdr.height; ++y) {
        for (int x = 0; x < sdr.width; ++x) {
            double rgb[3];
            rgbe::decode(picture.pixels.get() + (static_cast<std::size_t>(y) * sdr.width + x) * 4,
                         rgb[0], rgb[1], rgb[2]);
            const unsigned char* code =
                sdr.pixels.get() + (static_cast<std::size_t>(y) * sdr.width + x) * 3;
            const double largest =
                std::max({linearOf(code[0]), linearOf(code[1]), linearOf(code[2])});
            for (int c = 0; c < 3; ++c) {
                ASSERT_NEAR(rgb[c], linearOf(code[c]), largest / 100 + 1e-6) << x << " " << y;
            }
        }
    }
}

std::array<double, 3> rgbeAt(const Picture& picture, int x, int y) {
    std::array<double, 3> rgb{};
    rgbe::decode(picture.pixels.get() + (static_cast<std::size_t>(y) * picture.width + x) * 4,
                 rgb[0], rgb[1], rgb[2]);
    return rgb;
}

// The largest and the mean relative difference of the picture from the scene seen upright
// through EXIF `orientation` 1 or 6.
struct Difference {
    double largest = 0.0;
    double mean = 0.0;
};

Difference differenceFromScene(const Picture& picture, const std::vector<float>& rgb,
                               int orientation) {
    Difference d;
    long count = 0;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const int sx = orientation == 6 ? y : x;
            const int sy = orientation == 6 ? sceneHeight - 1 - x : y;
            const auto read = rgbeAt(picture, x, y);
            for (int c = 0; c < 3; ++c) {
                const double want = rgb[(static_cast<std::size_t>(sy) * sceneWidth + sx) * 3 + c];
                const double error = std::fabs(read[c] - want) / (want + 0.02);
                d.largest = std::max(d.largest, error);
                d.mean += error;
                ++count;
            }
        }
    }
    d.mean /= static_cast<double>(count);
    return d;
}

class GainMapFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              (std::string("gainmap-") + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        saved = setDiagnosticSink([this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        });
    }
    void TearDown() override {
        setDiagnosticSink(saved);
        setGainMapsApplied(true);
        std::filesystem::remove_all(dir);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::string putBytes(const std::string& name, const std::vector<unsigned char>& bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path(name);
    }
    static std::vector<unsigned char> contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> gainMapLines() {
        const std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.find("gain map") != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

    std::filesystem::path dir;
    DiagnosticSink saved;
    std::mutex mutex;
    std::vector<std::string> lines;
};

struct RoundTrip {
    const char* name;
    GainMapLayout layout;
    bool threeChannels;
    int mapScale;
    float gamma;
    bool mpf;
    bool coloured;
};

TEST_F(GainMapFiles, HdrRenditionComesBackInEveryLayout) {
    const RoundTrip cases[] = {
        {"xmp-grey-full-mpf", GainMapLayout::Xmp, false, 1, 1.0f, true, false},
        {"xmp-rgb-quarter-container", GainMapLayout::Xmp, true, 4, 2.0f, false, true},
        {"iso-grey-quarter", GainMapLayout::Iso, false, 4, 1.0f, true, false},
        {"iso-rgb-full-gamma2", GainMapLayout::Iso, true, 1, 2.0f, true, true},
        {"both-rgb-half", GainMapLayout::Both, true, 2, 1.0f, true, true},
        {"both-grey-quarter-gamma2", GainMapLayout::Both, false, 4, 2.0f, true, false},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.name);
        GainMapJpegOptions options;
        options.layout = c.layout;
        options.threeChannels = c.threeChannels;
        options.mapScale = c.mapScale;
        options.gamma = c.gamma;
        options.mpf = c.mpf;
        options.minBoost = 0.5f;
        const std::vector<float> hdr = scene(c.coloured);
        const std::string file = path(std::string(c.name) + ".jpg");
        writeGainMapJpeg(file, hdr, sceneWidth, sceneHeight, options);

        const PictureInfo info = probePicture(file, SizeLimit());
        EXPECT_EQ(info.encoding, PixelEncoding::Rgbe);
        const Picture picture = readPicture(file, SizeLimit());
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe);
        EXPECT_EQ(picture.gainMap, GainMap::Applied);
        ASSERT_EQ(picture.width, sceneWidth);
        ASSERT_EQ(picture.height, sceneHeight);
        const Difference d = differenceFromScene(picture, hdr, 1);
        // The worst pixels lie at the scene's kinks and where a gamma of 2 leaves small gains
        // coarse steps.
        EXPECT_LT(d.mean, 0.02);
        EXPECT_LT(d.largest, 0.12);
        // The base's white is 1.0 (within the steps of a gamma-2 map near no gain).
        const auto white = rgbeAt(picture, sceneWidth * 5 / 12, 0);
        for (double v : white) {
            EXPECT_NEAR(v, 1.0, 0.04);
        }
        // Highlights near 4 stops up.
        const double highlight = hdr[(2 * sceneWidth + sceneWidth - 4) * 3];
        EXPECT_GT(highlight, 12.0);
        EXPECT_NEAR(rgbeAt(picture, sceneWidth - 4, 2)[0], highlight, highlight * 0.05);
        EXPECT_TRUE(gainMapLines().empty());
    }
}

// Light from 0 to 4 at random: a base far larger than libjpeg's reads of a file.
std::vector<float> noise() {
    std::vector<float> rgb(static_cast<std::size_t>(sceneWidth) * sceneHeight * 3);
    unsigned state = 12345;
    for (float& v : rgb) {
        state = state * 1103515245u + 12345u;
        v = static_cast<float>(state >> 8 & 0xffff) / 16384.0f;
    }
    return rgb;
}

TEST_F(GainMapFiles, GainMapsOffGiveTheBaseJpegsPixels) {
    const GainMapLayout layouts[] = {GainMapLayout::Xmp, GainMapLayout::Iso, GainMapLayout::Both};
    for (const GainMapLayout layout : layouts) {
        SCOPED_TRACE(static_cast<int>(layout));
        GainMapJpegOptions options;
        options.layout = layout;
        options.mapScale = 2;
        const std::string file = path("gain.jpg");
        const GainMapJpegParts parts =
            writeGainMapJpeg(file, noise(), sceneWidth, sceneHeight, options);
        ASSERT_GT(parts.plainBase.size(), 8192u);
        EXPECT_EQ(readPicture(file, SizeLimit()).gainMap, GainMap::Applied);
        EXPECT_TRUE(gainMapLines().empty());
        const Picture plain = readPicture(putBytes("plain.jpg", parts.plainBase), SizeLimit());
        setGainMapsApplied(false);
        EXPECT_EQ(probePicture(file, SizeLimit()).encoding, PixelEncoding::Rgbe);
        const Picture base = readPicture(file, SizeLimit());
        setGainMapsApplied(true);
        EXPECT_EQ(base.gainMap, GainMap::Base);
        EXPECT_EQ(plain.gainMap, GainMap::None);
        expectLinearOf(base, plain);
    }
}

void setU32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    }
}

struct Damage {
    const char* name;
    GainMapLayout layout;
    bool mpf;
    std::function<void(std::vector<unsigned char>&, const GainMapJpegParts&)> apply;
    const char* reason;
};

// The peak memory a child process grew by reading `file`, in MiB.
long readGrowthMiB(const std::string& file) {
    const pid_t pid = fork();
    if (pid == 0) {
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        try {
            const DiagnosticsSilenced quiet(true);
            readPicture(file, SizeLimit());
        } catch (...) {
        }
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        _exit(static_cast<int>(std::min(255L, (after.ru_maxrss - before.ru_maxrss) / 1024)));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST_F(GainMapFiles, BrokenGainMapGivesTheBaseWithOneWarning) {
    const Damage cases[] = {
        {"map cut off", GainMapLayout::Both, true,
         [](auto& b, const auto& p) { b.resize(p.mapOffset + p.mapLength / 2); },
         "outside the file"},
        {"map data ends", GainMapLayout::Xmp, false,
         [](auto& b, const auto& p) {
             const std::size_t at = (p.mapScan + p.mapOffset + p.mapLength) / 2;
             b[at] = 0xff;
             b[at + 1] = 0xd9;
         },
         "its JPEG data ends early"},
        {"MPF offset past the end", GainMapLayout::Iso, true,
         [](auto& b, const auto& p) { setU32(b, p.mpfMapOffsetField, 0x7ffffff0); },
         "the MPF index puts it at"},
        {"map larger than its primary", GainMapLayout::Both, true,
         [](auto& b, const auto& p) {
             b[p.mapFrame + 5] = 0x7f;
             b[p.mapFrame + 7] = 0x7f;
         },
         "beyond the picture's 96x64"},
        {"bad XMP number", GainMapLayout::Xmp, true,
         [](auto& b, const auto& p) {
             const std::string from = "hdrgm:Gamma=\"1.000000\"";
             const auto at = std::search(b.begin() + static_cast<long>(p.mapXmp), b.end(),
                                         from.begin(), from.end());
             ASSERT_NE(at, b.end());
             at[15] = 'x';
         },
         "hdrgm:Gamma is '1.x00000'"},
        {"zero ISO denominator", GainMapLayout::Iso, true,
         [](auto& b, const auto& p) { setU32(b, p.mapIso + 5, 0); },
         "denominator of 0"},
        {"no map after the primary", GainMapLayout::Xmp, false,
         [](auto& b, const auto& p) { b.resize(p.primaryLength); }, "outside the file"},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        GainMapJpegOptions options;
        options.layout = c.layout;
        options.mpf = c.mpf;
        options.mapScale = 2;
        const GainMapJpegParts parts =
            writeGainMapJpeg(path("good.jpg"), scene(false), sceneWidth, sceneHeight, options);
        std::vector<unsigned char> bytes = contents(path("good.jpg"));
        c.apply(bytes, parts);
        const std::string file = putBytes("broken.jpg", bytes);
        const Picture plain = readPicture(putBytes("plain.jpg", parts.plainBase), SizeLimit());
        {
            const std::lock_guard<std::mutex> lock(mutex);
            lines.clear();
        }
        const Picture picture = readPicture(file, SizeLimit());
        ASSERT_EQ(picture.encoding, PixelEncoding::Rgb8);
        EXPECT_EQ(picture.gainMap, GainMap::None);
        ASSERT_EQ(picture.byteCount(), plain.byteCount());
        EXPECT_EQ(std::memcmp(picture.pixels.get(), plain.pixels.get(), plain.byteCount()), 0);
        const std::vector<std::string> warnings = gainMapLines();
        ASSERT_EQ(warnings.size(), 1u);
        const std::string start = "Warning: ignoring the gain map of '" + file + "': ";
        EXPECT_EQ(warnings[0].substr(0, start.size()), start);
        EXPECT_NE(warnings[0].find(c.reason), std::string::npos) << warnings[0];
        if (std::string(c.name) == "map larger than its primary") {
            EXPECT_LT(readGrowthMiB(file), 32);
        }
    }
}

// ISO 21496-1's backward direction: the base is the HDR rendition and the map leads to the SDR
// one. Applied, the base itself comes out linear; off, the map's gains (here brightening)
// are applied and clipped to the SDR white.
TEST_F(GainMapFiles, HdrBaseIsItselfTheHdrRendition) {
    GainMapJpegOptions options;
    options.layout = GainMapLayout::Iso;
    options.mapScale = 2;
    // Every gain a stop at least: the SDR rendition is brighter wherever the base is below half.
    options.minBoost = 2.0f;
    const GainMapJpegParts parts =
        writeGainMapJpeg(path("forward.jpg"), scene(false), sceneWidth, sceneHeight, options);
    std::vector<unsigned char> bytes = contents(path("forward.jpg"));
    bytes[parts.mapIso + 4] |= 0x04;
    const std::string file = putBytes("backward.jpg", bytes);
    const Picture plain = readPicture(putBytes("plain.jpg", parts.plainBase), SizeLimit());

    const Picture hdr = readPicture(file, SizeLimit());
    ASSERT_EQ(hdr.encoding, PixelEncoding::Rgbe);
    EXPECT_EQ(hdr.gainMap, GainMap::Applied);
    for (int y = 0; y < sceneHeight; y += 7) {
        for (int x = 0; x < sceneWidth; x += 5) {
            const auto read = rgbeAt(hdr, x, y);
            for (int c = 0; c < 3; ++c) {
                const double want = linearOf(
                    plain.pixels[(static_cast<std::size_t>(y) * sceneWidth + x) * 3 + c]);
                EXPECT_NEAR(read[c], want, want * 0.01 + 1e-4);
            }
        }
    }
    setGainMapsApplied(false);
    const Picture sdr = readPicture(file, SizeLimit());
    ASSERT_EQ(sdr.encoding, PixelEncoding::Rgbe);
    EXPECT_EQ(sdr.gainMap, GainMap::Base);
    long brighter = 0;
    for (int y = 0; y < sceneHeight; ++y) {
        for (int x = 0; x < sceneWidth; ++x) {
            const auto read = rgbeAt(sdr, x, y);
            for (int c = 0; c < 3; ++c) {
                const double base = linearOf(
                    plain.pixels[(static_cast<std::size_t>(y) * sceneWidth + x) * 3 + c]);
                EXPECT_LE(read[c], 1.0);
                EXPECT_GE(read[c] * 1.03 + 1e-3, base);
                brighter += read[c] > base * 1.3 ? 1 : 0;
            }
        }
    }
    EXPECT_GT(brighter, static_cast<long>(sdr.width) * sdr.height * 3 / 4);
    EXPECT_TRUE(gainMapLines().empty());
}

// A base whose ICC profile is Display P3: its colours come out in Rec.709, P3's red beyond
// Rec.709's; its greys stay as they are.
TEST_F(GainMapFiles, DisplayP3BaseIsConverted) {
    std::vector<float> hdr(static_cast<std::size_t>(sceneWidth) * sceneHeight * 3, 0.5f);
    for (std::size_t i = 0; i < hdr.size() / 2; i += 3) {
        hdr[i] = 0.8f;
        hdr[i + 1] = 0.0f;
        hdr[i + 2] = 0.0f;
    }
    GainMapJpegOptions options;
    options.mapScale = 4;
    options.threeChannels = true;
    Picture pictures[2];
    for (int p3 = 0; p3 < 2; ++p3) {
        options.displayP3 = p3 == 1;
        const std::string file = path(p3 ? "p3.jpg" : "rec709.jpg");
        writeGainMapJpeg(file, hdr, sceneWidth, sceneHeight, options);
        pictures[p3] = readPicture(file, SizeLimit());
        ASSERT_EQ(pictures[p3].gainMap, GainMap::Applied);
    }
    const auto red709 = rgbeAt(pictures[0], sceneWidth / 2, 4);
    const auto redP3 = rgbeAt(pictures[1], sceneWidth / 2, 4);
    EXPECT_NEAR(redP3[0], 1.2249 * red709[0], 0.03 * red709[0]);
    EXPECT_LT(redP3[1], 0.01);
    const auto grey709 = rgbeAt(pictures[0], sceneWidth / 2, sceneHeight - 4);
    const auto greyP3 = rgbeAt(pictures[1], sceneWidth / 2, sceneHeight - 4);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(greyP3[c], grey709[c], 0.02 * grey709[c]);
    }
}

TEST_F(GainMapFiles, ExifOrientationTurnsTheBaseAndItsMap) {
    const std::vector<float> hdr = scene(true);
    GainMapJpegOptions options;
    options.threeChannels = true;
    options.mapScale = 4;
    options.orientation = 6;
    options.minBoost = 0.5f;
    const std::string file = path("turned.jpg");
    writeGainMapJpeg(file, hdr, sceneWidth, sceneHeight, options);
    const Picture picture = readPicture(file, SizeLimit());
    ASSERT_EQ(picture.width, sceneHeight);
    ASSERT_EQ(picture.height, sceneWidth);
    const Difference d = differenceFromScene(picture, hdr, 6);
    EXPECT_LT(d.mean, 0.02);
    EXPECT_LT(d.largest, 0.12);
    setGainMapsApplied(false);
    const Picture base = readPicture(file, SizeLimit());
    EXPECT_EQ(base.width, sceneHeight);
    EXPECT_EQ(base.gainMap, GainMap::Base);
}

} // namespace
