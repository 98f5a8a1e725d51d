// One panorama as RADIANCE, float TIFF and PFM from ImageMagick and OpenEXR from oiiotool,
// each rendered by marovex-render: the views agree with the RADIANCE one. Needs an X display.
#include "Diagnostics.h"
#include "PictureReader.h"
#include "PictureWriter.h"
#include "RgbeTestUtil.h"

#include <OpenEXR/ImfEnvmapAttribute.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStandardAttributes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << command;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// Radiance from 1/64 to 16 in smooth bands over longitude and latitude, each channel its own.
Bytes scene(int width, int height) {
    Bytes pixels(4 * static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = 2 * M_PI * x / width;
            const double v = M_PI * y / height;
            const double r = std::exp2(4 * std::sin(u) * std::sin(v));
            const double g = std::exp2(-6 + 8 * (0.5 + 0.5 * std::cos(2 * u)));
            const double b = std::exp2(-3 + 3 * std::cos(v));
            rgbe::encode(r, g, b, &pixels[4 * (static_cast<std::size_t>(y) * width + x)]);
        }
    }
    return pixels;
}

using PanoramaFormatsRender = RgbeFiles;

TEST_F(PanoramaFormatsRender, EveryFormatRendersTheSameView) {
    const std::string source = path("source.hdr");
    {
        const DiagnosticsSilenced quiet(true);
        rgbe::write(source, 256, 128, scene(256, 128).data(), true);
    }
    const std::string imageMagick = "convert-im6.q16hdri " + quoted(source);
    const std::string radiance = path("pano.hdr");
    const std::string tiff = path("pano.tif");
    const std::string pfm = path("pano.pfm");
    const std::string exr = path("pano.exr");
    run(imageMagick + " " + quoted(radiance));
    // Uncompressed float TIFF makes this ImageMagick fail on the predictor tag.
    run(imageMagick + " -define quantum:format=floating-point -depth 32 -compress zip " +
        quoted(tiff));
    run(imageMagick + " " + quoted(pfm));
    run("oiiotool " + quoted(source) + " -d half -o " + quoted(exr));

    for (const bool tonemap : {false, true}) {
        std::vector<Bytes> views;
        for (const std::string& input : {radiance, tiff, pfm, exr}) {
            const std::string out = input + (tonemap ? "-tonemapped.ppm" : ".ppm");
            run(std::string(MAROVEX_RENDER) + " --size 160x90 --yaw 30 --pitch 20 --fstop 0 " +
                (tonemap ? "--tonemap " : "") + quoted(input) + " " + quoted(out));
            int width = 0;
            int height = 0;
            views.push_back(readPpm(out, width, height));
            ASSERT_EQ(width, 160) << input;
            ASSERT_EQ(height, 90) << input;
        }
        // The panorama is not black, and differs from one place to another.
        const auto [low, high] = std::minmax_element(views[0].begin(), views[0].end());
        EXPECT_GT(*high - *low, 100) << tonemap;
        for (std::size_t i = 1; i < views.size(); ++i) {
            ASSERT_EQ(views[i].size(), views[0].size());
            int worst = 0;
            for (std::size_t k = 0; k < views[0].size(); ++k) {
                worst = std::max(worst, std::abs(views[i][k] - views[0][k]));
            }
            EXPECT_LE(worst, 2) << "view " << i << (tonemap ? " tone mapped" : "");
        }
    }
}

// The view marovex-render draws of `input` with the extra options, as 8-bit RGB.
Bytes renderView(const RgbeFiles& files, const std::string& input, const std::string& options) {
    const std::string out = files.path("view.ppm");
    run(std::string(MAROVEX_RENDER) + " --size 64x48 --yaw 40 " + options + " " + quoted(input) +
        " " + quoted(out));
    int width = 0;
    int height = 0;
    return readPpm(out, width, height);
}

TEST_F(PanoramaFormatsRender, EquirectangularMarksChooseTheSphere) {
    // 3:2 pictures, which are no panoramas by their size alone; distinct columns and rows.
    const int width = 48;
    const int height = 32;
    std::vector<Imf::Rgba> pixels;
    Bytes rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels.emplace_back(x / 48.0f, y / 32.0f, (x * y % 7) / 7.0f, 1.0f);
            rgb.insert(rgb.end(),
                       {static_cast<unsigned char>(x * 5), static_cast<unsigned char>(y * 7), 90});
        }
    }
    const auto writeExr = [&](const std::string& name, const Imf::Envmap* envmap) {
        const std::string file = path(name);
        Imf::Header header(width, height);
        if (envmap != nullptr) {
            Imf::addEnvmap(header, *envmap);
        }
        Imf::RgbaOutputFile out(file.c_str(), header, Imf::WRITE_RGB);
        out.setFrameBuffer(pixels.data(), 1, width);
        out.writePixels(height);
        return file;
    };
    const Imf::Envmap latlong = Imf::ENVMAP_LATLONG;
    const std::string marked = writeExr("latlong.exr", &latlong);
    const std::string plain = writeExr("plain.exr", nullptr);
    const std::string jpeg = path("typed.jpg");
    saveImage(jpeg, width, height, 3, rgb.data());
    run("exiftool -q -overwrite_original -XMP-GPano:ProjectionType=equirectangular " +
        quoted(jpeg));

    for (const std::string& file : {marked, jpeg}) {
        const Bytes chosen = renderView(*this, file, "");
        EXPECT_EQ(chosen, renderView(*this, file, "--projection sphere")) << file;
        EXPECT_NE(chosen, renderView(*this, file, "--projection flat")) << file;
    }
    const Bytes chosen = renderView(*this, plain, "");
    EXPECT_EQ(chosen, renderView(*this, plain, "--projection flat"));
    EXPECT_NE(chosen, renderView(*this, plain, "--projection sphere"));
}

TEST_F(PanoramaFormatsRender, ExrOutputHoldsTheLinearViewOfHdrOutput) {
    const std::string source = path("source.hdr");
    {
        const DiagnosticsSilenced quiet(true);
        rgbe::write(source, 256, 128, scene(256, 128).data(), true);
    }
    const std::string hdr = path("view.hdr");
    const std::string exr = path("view.exr");
    for (const std::string& out : {hdr, exr}) {
        run(std::string(MAROVEX_RENDER) + " --size 120x80 --yaw 70 --fstop -1 " + quoted(source) +
            " " + quoted(out));
    }
    const DiagnosticsSilenced quiet(true);
    const Picture fromHdr = readPicture(hdr, SizeLimit());
    const Picture fromExr = readPicture(exr, SizeLimit());
    ASSERT_EQ(fromExr.width, 120);
    ASSERT_EQ(fromExr.height, 80);
    ASSERT_EQ(fromExr.encoding, PixelEncoding::Rgbe);
    double brightest = 0;
    for (std::size_t i = 0; i < 120 * 80; ++i) {
        double a[3];
        double b[3];
        rgbe::decode(fromHdr.pixels.get() + 4 * i, a[0], a[1], a[2]);
        rgbe::decode(fromExr.pixels.get() + 4 * i, b[0], b[1], b[2]);
        const double scale = std::max({a[0], a[1], a[2], b[0], b[1], b[2]});
        brightest = std::max(brightest, scale);
        for (int k = 0; k < 3; ++k) {
            // Within the 8-bit mantissa of RGBE and the 11 bits of a half float.
            ASSERT_NEAR(b[k], a[k], scale / 64 + 1e-4) << i << " " << k;
        }
    }
    EXPECT_GT(brightest, 0.5);
}

} // namespace
