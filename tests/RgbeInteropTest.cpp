#include "RgbeTestUtil.h"

#include <stb/stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// Files exchanged with ImageMagick (its HDRI build keeps values above 1), pfstools and stb.
namespace {

using Floats = std::vector<float>;

const std::string imageMagick = "convert-im6.q16hdri";

// Linear RGB as every decoder of the format computes it: mantissa * 2^(E - 136).
Floats toFloats(const Bytes& pixels) {
    Floats out;
    for (size_t i = 0; i < pixels.size(); i += 4) {
        for (size_t k = 0; k < 3; ++k) {
            out.push_back(
                pixels[i + 3] == 0 ? 0.0f : std::ldexp(float(pixels[i + k]), pixels[i + 3] - 136));
        }
    }
    return out;
}

Floats stbLoad(const std::string& file, int width, int height) {
    int w = 0;
    int h = 0;
    int channels = 0;
    std::unique_ptr<float, decltype(&stbi_image_free)> data(
        stbi_loadf(file.c_str(), &w, &h, &channels, 3), &stbi_image_free);
    if (!data || w != width || h != height) {
        ADD_FAILURE() << "stb cannot read " << file;
        return {};
    }
    return Floats(data.get(), data.get() + 3 * size_t(w) * size_t(h));
}

void run(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// ImageMagick's decode as 32-bit floats, rows from the top; declaring the pixels sRGB keeps
// it from converting the linear values on output.
Floats imageMagickLoad(const RgbeFiles& files, const std::string& file) {
    const std::string raw = files.path("im.raw");
    run(imageMagick + " '" + file +
        "' -set colorspace sRGB -depth 32 -define quantum:format=floating-point -endian LSB RGB:'" +
        raw + "'");
    const Bytes bytes = RgbeFiles::contents(raw);
    Floats out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

void expectClose(const Floats& actual, const Floats& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        if (std::fabs(actual[i] - expected[i]) > 1e-6f * std::fabs(expected[i]) + 1e-30f) {
            ++mismatches;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

// Valid RGBE pixels over 40 f-stops, with some black ones.
Bytes hdrPixels(int width, int height) {
    std::mt19937 random(11);
    Bytes pixels(4 * size_t(width) * size_t(height));
    for (size_t i = 0; i < pixels.size(); i += 4) {
        const bool black = random() % 17 == 0;
        pixels[i] = static_cast<unsigned char>(128 + random() % 128);
        pixels[i + 1] = static_cast<unsigned char>(random());
        pixels[i + 2] = static_cast<unsigned char>(random() % 64);
        pixels[i + 3] = black ? 0 : static_cast<unsigned char>(110 + random() % 40);
        if (black) {
            pixels[i] = pixels[i + 1] = pixels[i + 2] = 0;
        }
    }
    return pixels;
}

using RgbeInterop = RgbeFiles;

TEST_F(RgbeInterop, ReadsImageMagickFiles) {
    const std::string file = path("im.hdr");
    run(imageMagick + " -size 300x40 gradient:black-'rgb(255,200,100)' -seed 5 -attenuate 0.5" +
        " +noise Gaussian -evaluate multiply 60 '" + file + "'");
    const RgbePicture p = readRgbe(file);
    ASSERT_EQ(p.width, 300);
    ASSERT_EQ(p.height, 40);
    const Floats ours = toFloats(p.pixels);
    EXPECT_TRUE(ours == stbLoad(file, 300, 40));
    expectClose(ours, imageMagickLoad(*this, file));
    EXPECT_GT(*std::max_element(ours.begin(), ours.end()), 30.0f);
    expectSameOnEveryRoad(file, path("fifo"));
}

TEST_F(RgbeInterop, ReadsPfstoolsFiles) {
    // A PFM picture (rows from the bottom) with values from 1e-3 to 1e4.
    const int width = 64;
    const int height = 16;
    Floats source(3 * width * height);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = std::pow(10.0f, -3.0f + 7.0f * float((i * 7919) % source.size()) /
                                                float(source.size()));
    }
    const std::string pfm = path("in.pfm");
    {
        std::ofstream out(pfm, std::ios::binary);
        out << "PF\n" << width << " " << height << "\n-1.0\n";
        out.write(reinterpret_cast<const char*>(source.data()), std::streamsize(source.size() * 4));
    }
    const std::string file = path("pfs.hdr");
    run("pfsinpfm '" + pfm + "' | pfsoutrgbe '" + file + "'");

    const RgbePicture p = readRgbe(file);
    ASSERT_EQ(p.width, width);
    expectSameOnEveryRoad(file, path("fifo"));
    const Floats ours = toFloats(p.pixels);
    EXPECT_TRUE(ours == stbLoad(file, width, height));
    // Within the 8-bit mantissa of the pixel's brightest channel.
    const int y = 5;
    const int x = 9;
    for (int k = 0; k < 3; ++k) {
        const float expected = source[3 * size_t((height - 1 - y) * width + x) + size_t(k)];
        const float max = *std::max_element(&ours[3 * size_t(y * width + x)],
                                            &ours[3 * size_t(y * width + x) + 3]);
        EXPECT_NEAR(ours[3 * size_t(y * width + x) + size_t(k)], expected, max / 64) << k;
    }
}

TEST_F(RgbeInterop, ReadsFlatFilesOfOtherWriters) {
    // Flat scanlines that only the first pixel, no marker line, tells apart from run-length.
    const int width = 16;
    const int height = 5;
    const Bytes pixels = hdrPixels(width, height);
    const std::string header =
        "#?RADIANCE\n# Made by hand\nFORMAT=32-bit_rle_rgbe\n\n-Y 5 +X 16\n";
    const std::string file =
        put("flat16.hdr", header + std::string(pixels.begin(), pixels.end()));
    const RgbePicture p = readRgbe(file);
    ASSERT_EQ(p.width, width);
    ASSERT_EQ(p.height, height);
    EXPECT_EQ(p.pixels, pixels);
    expectClose(toFloats(p.pixels), imageMagickLoad(*this, file));
    expectSameOnEveryRoad(file, path("fifo"));
}

TEST_F(RgbeInterop, OurFilesReadElsewhere) {
    const int width = 40;
    const int height = 10;
    const Bytes pixels = hdrPixels(width, height);
    for (const bool rle : {true, false}) {
        const std::string file = path(rle ? "rle.hdr" : "flat.hdr");
        rgbe::write(file, width, height, pixels.data(), rle);
        const Floats expected = toFloats(pixels);
        EXPECT_TRUE(stbLoad(file, width, height) == expected) << rle;
        expectClose(imageMagickLoad(*this, file), expected);
    }
}

} // namespace
