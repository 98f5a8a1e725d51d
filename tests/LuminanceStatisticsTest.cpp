// Luminance statistics of whole pictures against sums done here, the solid-angle weighting of
// panoramas, and the EXPOSURE= lines of RADIANCE headers.
#include "LuminanceStatistics.h"
#include "PictureReader.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;

Picture rgbePicture(int width, int height, const std::function<double(int x, int y)>& grey) {
    Picture picture;
    picture.allocate(width, height, PixelEncoding::Rgbe);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = grey(x, y);
            rgbe::encode(v, v, v,
                         picture.pixels.get() + (static_cast<std::size_t>(y) * width + x) * 4);
        }
    }
    return picture;
}

std::string tempPath(const std::string& name) {
    return testing::TempDir() + name;
}

TEST(LuminanceStatistics, SolidAngleWeightingCountsThePolesForTheirShareOfTheSphere) {
    // 1 above 60 degrees of latitude, 0 elsewhere: the cap is (1 - sin 60) / 2 of the sphere.
    const int width = 720;
    const int height = 360;
    const Picture cap = rgbePicture(width, height, [&](int, int y) {
        return 90.0 - (y + 0.5) * 180.0 / height > 60.0 ? 1.0 : 0.0;
    });
    const auto weighted = LuminanceStatistics::of(cap, true);
    const auto plain = LuminanceStatistics::of(cap, false);
    ASSERT_TRUE(weighted && plain);
    EXPECT_NEAR(weighted->mean, (1.0 - std::sin(pi / 3)) / 2, 1e-3);
    EXPECT_NEAR(weighted->mean, 0.0670, 1e-3);
    EXPECT_NEAR(plain->mean, 1.0 / 6.0, 1e-9);
    EXPECT_TRUE(weighted->solidAngle);
    EXPECT_NEAR(weighted->blackShare, 1.0 - weighted->mean, 1e-9);
    EXPECT_NEAR(plain->blackShare, 5.0 / 6.0, 1e-9);
    // Most of the sphere is black, so its median is too; the pixels alone say the same.
    EXPECT_EQ(weighted->median, 0.0);
    EXPECT_DOUBLE_EQ(weighted->min, 1.0);
    EXPECT_DOUBLE_EQ(weighted->max, 1.0);
}

TEST(LuminanceStatistics, LeastLargestMedianRangeAndHistogramOfKnownValues) {
    // Four columns of grey, each in the middle of a stop: 1.5 times 2^-3, 2^0, 2^2 and 2^7.
    const double values[4] = {0.1875, 1.5, 6.0, 192.0};
    const Picture picture = rgbePicture(4, 8, [&](int x, int) { return values[x]; });
    const auto s = LuminanceStatistics::of(picture, false);
    ASSERT_TRUE(s);
    const double grey = luminanceOf({1.0, 1.0, 1.0});
    EXPECT_NEAR(grey, 1.0, 1e-12);
    EXPECT_DOUBLE_EQ(s->min, luminanceOf({0.1875, 0.1875, 0.1875}));
    EXPECT_DOUBLE_EQ(s->max, luminanceOf({192.0, 192.0, 192.0}));
    EXPECT_NEAR(s->dynamicRange(), 10.0, 1e-9);
    EXPECT_NEAR(s->mean, (0.1875 + 1.5 + 6.0 + 192.0) / 4 * grey, 1e-12);
    EXPECT_GE(s->median, 1.5 * grey);
    EXPECT_LE(s->median, 6.0 * grey);
    EXPECT_EQ(s->blackShare, 0.0);
    // One stop to a bin from -4: each value alone in its bin.
    const std::vector<double> bins = s->histogram(-4.0, 8.0, 12);
    ASSERT_EQ(bins.size(), 12u);
    double sum = 0.0;
    for (double b : bins) {
        sum += b;
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    EXPECT_NEAR(bins[1], 0.25, 1e-12);  // 1.5 * 2^-3
    EXPECT_NEAR(bins[4], 0.25, 1e-12);  // 1.5
    EXPECT_NEAR(bins[6], 0.25, 1e-12);  // 6
    EXPECT_NEAR(bins[11], 0.25, 1e-12); // 192
    // What lies beyond the range falls into the end bins.
    const std::vector<double> narrow = s->histogram(0.0, 2.0, 2);
    EXPECT_NEAR(narrow[0], 0.5, 1e-12);
    EXPECT_NEAR(narrow[1], 0.5, 1e-12);
    // Clipping by the brightest channel: from 4 up, half; from 6.5, a quarter; below 1, a
    // quarter.
    EXPECT_NEAR(s->shareAtLeast(4.0), 0.5, 1e-12);
    EXPECT_NEAR(s->shareAtLeast(6.5), 0.25, 1e-12);
    EXPECT_NEAR(s->shareBelow(1.0), 0.25, 1e-12);
    EXPECT_NEAR(s->shareAtLeast(1000.0), 0.0, 1e-12);
    for (double level : {1e-6, 0.19, 1.0, 7.0, 500.0}) {
        EXPECT_GE(s->shareBelow(level), 0.0) << level;
        EXPECT_NEAR(s->shareBelow(level) + s->shareAtLeast(level), 1.0, 1e-12) << level;
    }
    EXPECT_EQ(s->shareBelow(1e-6), 0.0);
}

TEST(LuminanceStatistics, MedianOfOneValueIsThatValueAndWeightsMoveIt) {
    const auto one =
        LuminanceStatistics::of(rgbePicture(16, 8, [](int, int) { return 3.0; }), true);
    ASSERT_TRUE(one);
    EXPECT_NEAR(one->median, 3.0, 1e-12);
    // The top quarter of the rows bright: a quarter of the pixels, far less of the sphere.
    const Picture top = rgbePicture(64, 32, [](int, int y) { return y < 8 ? 100.0 : 1.0; });
    const auto weighted = LuminanceStatistics::of(top, true);
    const auto plain = LuminanceStatistics::of(top, false);
    EXPECT_NEAR(plain->mean, 0.25 * 100.0 + 0.75, 1e-9);
    // Rows 0-7 of 32 span 90 to 45 degrees: (1 - sin 45) / 2 of the sphere.
    const double share = (1.0 - std::sin(pi / 4)) / 2;
    EXPECT_NEAR(weighted->mean, share * 100.0 + (1.0 - share), 0.05);
    EXPECT_NEAR(weighted->shareAtLeast(50.0), share, 2e-3);
    EXPECT_NEAR(weighted->median, 1.0, 0.02);
}

TEST(LuminanceStatistics, EightBitPixelsAreDecodedAsTheProgramDoesAndWhiteIsExact) {
    Picture picture;
    picture.allocate(2, 1, PixelEncoding::Rgb8);
    const unsigned char bytes[6] = {255, 255, 255, 128, 64, 0};
    std::copy(bytes, bytes + 6, picture.pixels.get());
    const Radiance c = decodePixel(PixelEncoding::Rgb8, bytes + 3);
    EXPECT_DOUBLE_EQ(c.r, (128 / 255.0) * (128 / 255.0));
    EXPECT_DOUBLE_EQ(c.g, (64 / 255.0) * (64 / 255.0));
    EXPECT_DOUBLE_EQ(c.b, 0.0);
    const auto s = LuminanceStatistics::of(picture, false);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->hdr);
    EXPECT_DOUBLE_EQ(s->max, 1.0);
    EXPECT_DOUBLE_EQ(s->min, luminanceOf(c));
    EXPECT_NEAR(s->shareAtLeast(1.0), 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(s->candela(1.0), 179.0);
}

TEST(LuminanceStatistics, RgbeDecodingIsTheReadersAndLuminanceTheRadianceRule) {
    const unsigned char bytes[4] = {200, 100, 50, 140};
    double r = 0, g = 0, b = 0;
    rgbe::decode(bytes, r, g, b);
    const Radiance c = decodePixel(PixelEncoding::Rgbe, bytes);
    EXPECT_EQ(c.r, r);
    EXPECT_EQ(c.g, g);
    EXPECT_EQ(c.b, b);
    EXPECT_DOUBLE_EQ(c.r, 200.0 * 16); // 2^(140 - 136)
    EXPECT_DOUBLE_EQ(luminanceOf({1.0, 0.0, 0.0}), 0.265);
    EXPECT_DOUBLE_EQ(luminanceOf({0.0, 1.0, 0.0}), 0.670);
    EXPECT_DOUBLE_EQ(luminanceOf({0.0, 0.0, 1.0}), 0.065);
    // EV 0 at ISO 100 is 0.125 cd/m2; each stop doubles.
    EXPECT_NEAR(exposureValue(0.125), 0.0, 1e-12);
    EXPECT_NEAR(exposureValue(4096.0 * 0.125), 12.0, 1e-12);
    Picture half;
    half.allocate(1, 1, PixelEncoding::RgbHalf);
    EXPECT_FALSE(LuminanceStatistics::of(half, false));
    EXPECT_THROW(decodePixel(PixelEncoding::RgbFloat, bytes), std::runtime_error);
}

TEST(LuminanceStatistics, AStopRequestLeavesNoStatistics) {
    const Picture picture = rgbePicture(64, 256, [](int x, int y) { return x + y + 1.0; });
    std::atomic<int> asked{0};
    EXPECT_FALSE(LuminanceStatistics::of(picture, true, [&] { return ++asked > 1; }));
    EXPECT_GT(asked.load(), 1);
    EXPECT_TRUE(LuminanceStatistics::of(picture, true, [] { return false; }));
}

TEST(LuminanceStatistics, EmptyAndBlackPicturesHaveNoLight) {
    const auto black =
        LuminanceStatistics::of(rgbePicture(8, 4, [](int, int) { return 0.0; }), true);
    ASSERT_TRUE(black);
    EXPECT_EQ(black->min, 0.0);
    EXPECT_EQ(black->max, 0.0);
    EXPECT_EQ(black->mean, 0.0);
    EXPECT_EQ(black->median, 0.0);
    EXPECT_EQ(black->dynamicRange(), 0.0);
    EXPECT_DOUBLE_EQ(black->blackShare, 1.0);
    EXPECT_DOUBLE_EQ(black->shareBelow(1e-30), 1.0);
    Picture empty;
    empty.allocate(0, 0, PixelEncoding::Rgbe);
    const auto none = LuminanceStatistics::of(empty, false);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->mean, 0.0);
    EXPECT_EQ(none->histogram(0, 1, 4), std::vector<double>(4, 0.0));
}

// A flat RADIANCE file with the given header lines before the empty line.
std::string radianceFile(const std::string& name, const std::string& lines) {
    const std::string path = tempPath(name);
    std::ofstream out(path, std::ios::binary);
    out << "#?RADIANCE\n" << lines << "FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n";
    const unsigned char pixels[8] = {128, 128, 128, 129, 0, 0, 0, 0};
    out.write(reinterpret_cast<const char*>(pixels), sizeof pixels);
    return path;
}

TEST(RadianceExposure, LinesMultiplyAndMalformedOnesCountAsOne) {
    struct Case {
        std::string lines;
        double exposure;
    };
    for (const Case& c :
         {Case{"", 1.0}, Case{"EXPOSURE=2.5\n", 2.5},
          Case{"EXPOSURE= 0.5\nSOFTWARE=x\nEXPOSURE=4\n", 2.0}, Case{"EXPOSURE=1e-2\r\n", 0.01},
          Case{"EXPOSURE=abc\n", 1.0}, Case{"EXPOSURE=-3\n", 1.0}, Case{"EXPOSURE=0\n", 1.0},
          Case{"EXPOSURE=inf\n", 1.0}, Case{"EXPOSURE=2x\n", 1.0}, Case{"#EXPOSURE=8\n", 1.0}}) {
        const std::string path = radianceFile("exposure.hdr", c.lines);
        const Picture picture = readPicture(path, SizeLimit{});
        EXPECT_DOUBLE_EQ(picture.exposure, c.exposure) << c.lines;
        // Luminance in cd/m2 is the scene's: the file's radiance over its exposure.
        const auto s = LuminanceStatistics::of(picture, false);
        ASSERT_TRUE(s);
        EXPECT_DOUBLE_EQ(s->exposure, c.exposure);
        EXPECT_NEAR(s->candela(s->max), 179.0 * luminanceOf({1.0, 1.0, 1.0}) / c.exposure, 1e-9)
            << c.lines;
        std::remove(path.c_str());
    }
}

} // namespace
