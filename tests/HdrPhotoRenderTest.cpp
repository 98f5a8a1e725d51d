// One HDR scene as RADIANCE and as each HDR photo format, written here or by the formats' own
// encoders, rendered by marovex-render at f-stops 0 and -3: the views agree with the RADIANCE
// one, and gain-map photos show their highlights 3 stops above what their base picture shows.
#include "Diagnostics.h"
#include "DngWriter.h"
#include "GainMapJpegWriter.h"
#include "HeifWriter.h"
#include "PictureReader.h"
#include "RgbeTestUtil.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int width = 192;
constexpr int height = 96;
// Reference white in cd/m² and HLG's nominal peak, as the readers take them.
constexpr double white = 203.0;
constexpr double hlgPeak = 1000.0;

void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// Linear Rec.709 radiance, three floats a pixel: smooth bands from 1/16 to 4 (below HLG's peak)
// over the left two thirds, then a grey patch at the base picture's white (1.0) and a highlight
// patch 3 stops above it.
std::vector<float> scene() {
    std::vector<float> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (x >= width * 5 / 6) {
                rgb.insert(rgb.end(), {8.0f, 8.0f, 8.0f});
            } else if (x >= width * 2 / 3) {
                rgb.insert(rgb.end(), {1.0f, 1.0f, 1.0f});
            } else {
                // Channels within a stop of each other, as in photographs: RGBE keeps a
                // channel far below the brightest one to few bits.
                const double u = double(x) / (width * 2 / 3);
                const double v = double(y) / height;
                const double light = std::exp2(-4 + 5.5 * u);
                rgb.push_back(float(light * std::exp2(0.5 * v)));
                rgb.push_back(float(light * std::exp2(-0.5 * v)));
                rgb.push_back(float(light * std::exp2(-0.7 * u * v)));
            }
        }
    }
    return rgb;
}

void writeRadiance(const std::string& path, const std::vector<float>& rgb) {
    Bytes pixels(4 * rgb.size() / 3);
    for (std::size_t i = 0; i < rgb.size() / 3; ++i) {
        rgbe::encode(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], &pixels[4 * i]);
    }
    const DiagnosticsSilenced quiet(true);
    rgbe::write(path, width, height, pixels.data(), true);
}

// SMPTE ST 2084 and ARIB STD-B67 from the standards, independently of the readers.
double pqSignal(double candela) {
    const double m1 = 0.1593017578125, m2 = 78.84375, c1 = 0.8359375, c2 = 18.8515625, c3 = 18.6875;
    const double y = std::pow(std::max(candela, 0.0) / 10000.0, m1);
    return std::pow((c1 + c2 * y) / (1.0 + c3 * y), m2);
}

double hlgSignal(double scene) {
    const double a = 0.17883277, b = 0.28466892, c = 0.55991073;
    return scene <= 1.0 / 12 ? std::sqrt(3 * scene) : a * std::log(12 * scene - b) + c;
}

// BT.2087's Rec.709 to BT.2020 matrix.
void toBt2020(const float* in, double out[3]) {
    const double m[9] = {0.6274, 0.3293, 0.0433, 0.0691, 0.9195, 0.0114, 0.0164, 0.0880, 0.8956};
    for (int k = 0; k < 3; ++k) {
        out[k] = m[3 * k] * in[0] + m[3 * k + 1] * in[1] + m[3 * k + 2] * in[2];
    }
}

// 16-bit codes, three a pixel, made by `encode` from each pixel's BT.2020 light.
std::vector<unsigned>
signalCodes(const std::vector<float>& rgb,
            const std::function<void(const double light[3], double signal[3])>& encode) {
    std::vector<unsigned> codes;
    for (std::size_t i = 0; i < rgb.size() / 3; ++i) {
        double light[3];
        double signal[3];
        toBt2020(&rgb[3 * i], light);
        encode(light, signal);
        for (double s : signal) {
            codes.push_back(static_cast<unsigned>(std::lround(std::clamp(s, 0.0, 1.0) * 65535)));
        }
    }
    return codes;
}

// A 16-bit PNG of the codes (through a 16-bit PPM, which ImageMagick turns into a PNG without
// colour chunks).
void writeSignalPng(const std::string& path, const std::vector<unsigned>& codes) {
    const std::string ppm = path + ".ppm";
    {
        std::ofstream out(ppm, std::ios::binary);
        out << "P6\n" << width << " " << height << "\n65535\n";
        for (unsigned code : codes) {
            out.put(static_cast<char>(code >> 8)).put(static_cast<char>(code & 0xff));
        }
    }
    run("convert " + quoted(ppm) + " -define png:exclude-chunks=all PNG48:" + quoted(path));
}

// A 10-bit BT.2020 PQ HEIC of the codes, lossless in RGB, through libheif's encoder (heif-enc
// of Debian 12 garbles 16-bit PNGs in RGB).
void writePqHeic(const std::string& path, const std::vector<unsigned>& codes) {
    heif_image* made = nullptr;
    ASSERT_EQ(heif_image_create(width, height, heif_colorspace_RGB,
                                heif_chroma_interleaved_RRGGBB_LE, &made)
                  .code,
              heif_error_Ok);
    const Image image(made, &heif_image_release);
    ASSERT_EQ(heif_image_add_plane(made, heif_channel_interleaved, width, height, 10).code,
              heif_error_Ok);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(made, heif_channel_interleaved, &stride);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 3 * width; ++x) {
            const unsigned v = codes[static_cast<std::size_t>(y) * 3 * width + x] >> 6;
            plane[y * stride + 2 * x] = static_cast<std::uint8_t>(v & 0xff);
            plane[y * stride + 2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
        }
    }
    const Context context(heif_context_alloc(), &heif_context_free);
    addImage(context.get(), made, 9, 16);
    ASSERT_EQ(heif_context_write_to_file(context.get(), path.c_str()).code, heif_error_Ok);
}

void pqEncode(const double light[3], double signal[3]) {
    for (int k = 0; k < 3; ++k) {
        signal[k] = pqSignal(light[k] * white);
    }
}

// The inverse of HLG's OOTF on a display of hlgPeak (system gamma 1.2), then its OETF.
void hlgEncode(const double light[3], double signal[3]) {
    const double display = (0.2627 * light[0] + 0.6780 * light[1] + 0.0593 * light[2]) * white;
    const double ys = std::pow(std::min(display / hlgPeak, 1.0), 1.0 / 1.2);
    for (int k = 0; k < 3; ++k) {
        const double scene = ys > 0 ? light[k] * white / (hlgPeak * std::pow(ys, 0.2)) : 0.0;
        signal[k] = hlgSignal(std::min(scene, 1.0));
    }
}

// Little-endian float PFM, rows from the bottom.
void writePfm(const std::string& path, const std::vector<float>& rgb) {
    std::ofstream out(path, std::ios::binary);
    out << "PF\n" << width << " " << height << "\n-1.0\n";
    for (int y = height - 1; y >= 0; --y) {
        out.write(reinterpret_cast<const char*>(&rgb[3 * static_cast<std::size_t>(y) * width]),
                  static_cast<std::streamsize>(3 * width * sizeof(float)));
    }
}

// HLG's peak bounds what it holds: the scene as an HLG file gives it.
std::vector<float> clippedAtHlgPeak(std::vector<float> rgb) {
    for (float& v : rgb) {
        v = std::min(v, static_cast<float>(hlgPeak / white));
    }
    return rgb;
}

using HdrPhotoRender = RgbeFiles;

Bytes render(const RgbeFiles& files, const std::string& input, double fstop,
             const std::string& options = "") {
    const std::string out = files.path("view.ppm");
    run(std::string(MAROVEX_RENDER) + " --projection flat --size " + std::to_string(width) + "x" +
        std::to_string(height) + " --fstop " + std::to_string(fstop) + " " + options + " " +
        quoted(input) + " " + quoted(out));
    int w = 0;
    int h = 0;
    Bytes pixels = readPpm(out, w, h);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    return pixels;
}

// The f-stop that shows a RADIANCE file as pictures that start at their own white show at 0:
// its exposure comes from its statistics.
double ownWhiteFstop(const std::string& radiance) {
    const DiagnosticsSilenced quiet(true);
    const Picture picture = readPicture(radiance, SizeLimit());
    return std::log2(picture.scale.mean) + 2.0;
}

// The largest difference of two views' values, and where it is ("x 12 y 40 channel 1: 200
// against 190").
struct Difference {
    int worst = 0;
    std::string where;
};

Difference difference(const Bytes& view, const Bytes& expected) {
    Difference d;
    if (view.size() != expected.size()) {
        return {256, "sizes differ"};
    }
    for (std::size_t k = 0; k < view.size(); ++k) {
        const int diff = std::abs(view[k] - expected[k]);
        if (diff > d.worst) {
            const std::size_t pixel = k / 3;
            d = {diff, "x " + std::to_string(pixel % width) + " y " +
                           std::to_string(pixel / width) + " channel " + std::to_string(k % 3) +
                           ": " + std::to_string(view[k]) + " against " +
                           std::to_string(expected[k])};
        }
    }
    return d;
}

// Linear light of an sRGB display value.
double linear(unsigned char code) {
    const double s = code / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}

// The mean linear green of a patch's inner columns on the middle row of a view.
double patchLight(const Bytes& view, int firstColumn, int endColumn) {
    double sum = 0;
    int n = 0;
    for (int x = firstColumn + 4; x < endColumn - 4; ++x) {
        sum += linear(view[3 * (static_cast<std::size_t>(height / 2) * width + x) + 1]);
        ++n;
    }
    return sum / n;
}

} // namespace

TEST_F(HdrPhotoRender, EveryFormatRendersTheSameScene) {
    const std::vector<float> rgb = scene();
    const std::string radiance = path("scene.hdr");
    const std::string hlgRadiance = path("scene-hlg.hdr");
    writeRadiance(radiance, rgb);
    writeRadiance(hlgRadiance, clippedAtHlgPeak(rgb));

    const std::string pqPng = path("pq.png");
    const std::string hlgPng = path("hlg.png");
    const std::vector<unsigned> pq = signalCodes(rgb, pqEncode);
    writeSignalPng(pqPng, pq);
    writeSignalPng(hlgPng, signalCodes(rgb, hlgEncode));
    writePqHeic(path("pq.heic"), pq);
    const std::string pfm = path("scene.pfm");
    writePfm(pfm, rgb);

    struct Case {
        std::string name;
        std::string command;
        std::string reference;
        // Files of a scene-linear scale start from their statistics, as RADIANCE files do.
        bool ownWhite;
    };
    const std::string gainMap = path("gain-map.jpg");
    GainMapJpegOptions options;
    options.quality = 100;
    options.maxBoost = 8.0f;
    options.threeChannels = true;
    writeGainMapJpeg(gainMap, rgb, width, height, options);
    // The sensor's white is the highlight patch: a raw holds its scene up to there.
    std::vector<std::uint16_t> raw(rgb.size());
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        raw[i] = static_cast<std::uint16_t>(std::lround(std::min(rgb[i] / 8.0f, 1.0f) * 65535));
    }
    writeLinearDng(path("linear.dng"), width, height, raw, 65535);
    const std::string lossless10 = " -l -d 10 ";
    const std::vector<Case> cases = {
        {"gain-map.jpg", "true", radiance, true},
        {"linear.dng", "true", radiance, false},
        {"pq.avif", "avifenc -s 8" + lossless10 + "--cicp 9/16/0 " + quoted(pqPng), radiance, true},
        {"hlg.avif", "avifenc -s 8" + lossless10 + "--cicp 9/18/0 " + quoted(hlgPng), hlgRadiance,
         true},
        {"pq.heic", "true", radiance, true},
        // cjxl takes PFM for sRGB-curve values unless told.
        {"float.jxl", "cjxl -d 0 -x color_space=RGB_D65_SRG_Rel_Lin " + quoted(pfm), radiance,
         false},
    };
    for (const double fstop : {0.0, -3.0}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name + " at f-stop " + std::to_string(fstop));
            const std::string file = path(c.name);
            run(c.command + " " + quoted(file));
            const Bytes expected =
                render(*this, c.reference, c.ownWhite ? fstop + ownWhiteFstop(c.reference) : fstop);
            const Bytes view = render(*this, file, fstop);
            const Difference d = difference(view, expected);
            EXPECT_LE(d.worst, 3) << d.where;
        }
    }
}

// The gain map off gives the base picture, as SDR screens show it; at f-stop -3 the HDR
// rendition shows the highlights 3 stops above the base white, where the base has them at it.
TEST_F(HdrPhotoRender, GainMapOffGivesTheBaseRendition) {
    const std::string file = path("gain-map.jpg");
    const std::string base = path("base.jpg");
    const GainMapJpegParts parts = writeGainMapJpeg(file, scene(), width, height);
    std::ofstream(base, std::ios::binary)
        .write(reinterpret_cast<const char*>(parts.plainBase.data()),
               static_cast<std::streamsize>(parts.plainBase.size()));
    const Difference d =
        difference(render(*this, file, 0.0, "--gain-map off"), render(*this, base, 0.0));
    EXPECT_LE(d.worst, 2) << d.where;

    const int whiteFrom = width * 2 / 3;
    const int highlightFrom = width * 5 / 6;
    const Bytes hdr = render(*this, file, -3.0);
    const Bytes sdr = render(*this, file, -3.0, "--gain-map off");
    EXPECT_NEAR(std::log2(patchLight(hdr, highlightFrom, width) /
                          patchLight(hdr, whiteFrom, highlightFrom)),
                3.0, 0.1);
    EXPECT_NEAR(std::log2(patchLight(sdr, highlightFrom, width) /
                          patchLight(sdr, whiteFrom, highlightFrom)),
                0.0, 0.05);
    EXPECT_NEAR(
        std::log2(patchLight(hdr, highlightFrom, width) / patchLight(sdr, highlightFrom, width)),
        3.0, 0.1);
}
