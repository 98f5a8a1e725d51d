#include "Texture.h"
#include "TextureLoadSupport.h"

#include <CImg.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// x and y in red and green, so that flipped rows or columns show.
Bytes gradient(int width, int height) {
    Bytes rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            rgb.push_back(static_cast<unsigned char>(20 + x * 24));
            rgb.push_back(static_cast<unsigned char>(30 + y * 24));
            rgb.push_back(128);
        }
    }
    return rgb;
}

// What CImg's own JPEG reader makes of the file, interleaved.
Bytes cimgDecode(const std::string& path) {
    cimg_library::CImg<unsigned char> picture(path.c_str());
    picture.permute_axes("cxyz");
    return Bytes(picture.begin(), picture.end());
}

// Pictures go to the card whole, up to its own limit.
GLint textureLimit() {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    return max;
}

class TextureLoad : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(TextureLoad, RadianceUploadsRgbeBytesWithScalesAndPrintsTimings) {
    // Exponents -8, 2, 12, 0, 0 and one pixel without light.
    const Bytes pixels = {1, 2, 3, 120, 4,  5,  6,  130, 7,  8,  9,  140,
                          0, 0, 0, 0,   10, 11, 12, 128, 13, 14, 15, 128};
    const std::string path = dir.file("PANO.HDR");
    writeFile(path, encodeRgbe(3, 2, pixels));

    testing::internal::CaptureStderr();
    Texture texture(path);
    const std::vector<std::string> output = lines(testing::internal::GetCapturedStderr());

    EXPECT_EQ(texture.width, 3);
    EXPECT_EQ(texture.height, 2);
    EXPECT_EQ(texture.texWidth, 3);
    EXPECT_EQ(texture.numTextures, 1);
    EXPECT_TRUE(texture.hdr);
    EXPECT_DOUBLE_EQ(texture.scaleMean, std::pow(2.0, 1.2));
    EXPECT_DOUBLE_EQ(texture.scaleMin, std::pow(2.0, -8.0));
    EXPECT_DOUBLE_EQ(texture.scaleMax, 4096.0);
    EXPECT_EQ(readTexture(texture, 4), pixels);

    ASSERT_EQ(output.size(), 5u);
    const std::regex seconds(R"(\d+\.\d{3}s)");
    EXPECT_TRUE(
        std::regex_match(output[0], std::regex(R"(\[T\]                 read: \d+\.\d{3}s)")))
        << output[0];
    EXPECT_EQ(output[1], "M: 12, m: -8 -> 20 f-stops, mean: 1.2");
    EXPECT_TRUE(
        std::regex_match(output[2], std::regex(R"(\[T\]                stats: \d+\.\d{3}s)")))
        << output[2];
    EXPECT_TRUE(
        std::regex_match(output[3], std::regex(R"(\[T\]           cpu -> gpu: \d+\.\d{3}s)")))
        << output[3];
    EXPECT_EQ(output[4], "3 2");
}

TEST_F(TextureLoad, RadianceWithoutLightKeepsFiniteScales) {
    const std::string path = dir.file("black.hdr");
    writeFile(path, encodeRgbe(2, 1, Bytes(8, 0)));
    testing::internal::CaptureStderr();
    Texture texture(path);
    testing::internal::GetCapturedStderr();
    EXPECT_DOUBLE_EQ(texture.scaleMean, 1.0);
    EXPECT_DOUBLE_EQ(texture.scaleMin, 1.0);
    EXPECT_DOUBLE_EQ(texture.scaleMax, 1.0);
    EXPECT_EQ(readTexture(texture, 4), Bytes(8, 0));
}

TEST_F(TextureLoad, RadianceReaderErrorsPassThrough) {
    const std::string path = dir.file("bad.hdr");
    writeFile(path, Bytes{'P', '6', '\n'});
    EXPECT_EQ(loadError(path), "Not a RADIANCE file: '" + path + "' (P6)");
}

TEST_F(TextureLoad, JpegDecodesRgbSilentlyAndWithoutScales) {
    const std::string path = dir.file("photo.JPG");
    const Bytes original = gradient(8, 6);
    writeFile(path, encodeJpeg(8, 6, JCS_RGB, JCS_YCbCr, original));

    testing::internal::CaptureStderr();
    Texture texture(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(texture.width, 8);
    EXPECT_EQ(texture.height, 6);
    EXPECT_EQ(texture.numTextures, 1);
    EXPECT_FALSE(texture.hdr);
    EXPECT_EQ(texture.scaleMean, 0.0);
    EXPECT_EQ(texture.scaleMin, 0.0);
    EXPECT_EQ(texture.scaleMax, 0.0);
    const Bytes texels = readTexture(texture, 3);
    EXPECT_EQ(texels, cimgDecode(path));
    EXPECT_LE(maxDifference(texels, original), 4);
}

TEST_F(TextureLoad, GreyscaleJpegBecomesGreyRgb) {
    const std::string path = dir.file("grey.jpg");
    Bytes grey;
    for (int i = 0; i < 8 * 4; ++i) {
        grey.push_back(static_cast<unsigned char>(i * 7));
    }
    writeFile(path, encodeJpeg(8, 4, JCS_GRAYSCALE, JCS_GRAYSCALE, grey));
    Texture texture(path);
    ASSERT_EQ(texture.numTextures, 1);
    EXPECT_EQ(texture.width, 8);
    EXPECT_EQ(texture.height, 4);
    Bytes expected;
    for (unsigned char value : grey) {
        expected.insert(expected.end(), 3, value);
    }
    const Bytes texels = readTexture(texture, 3);
    EXPECT_LE(maxDifference(texels, expected), 2);
    for (std::size_t i = 0; i < texels.size(); i += 3) {
        EXPECT_EQ(texels[i], texels[i + 1]);
        EXPECT_EQ(texels[i], texels[i + 2]);
    }
}

TEST_F(TextureLoad, CmykAndYcckJpegsBecomeRgb) {
    // Inks stored inverted, as Adobe writes them: red, green, blue, half grey through black.
    const Bytes inks = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 128};
    const Bytes rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 128, 128, 128};
    // Each colour fills an 8 x 8 block, so that the blocks do not bleed into each other.
    Bytes pixels;
    for (int y = 0; y < 8; ++y) {
        for (int block = 0; block < 4; ++block) {
            for (int x = 0; x < 8; ++x) {
                pixels.insert(pixels.end(), inks.begin() + block * 4, inks.begin() + block * 4 + 4);
            }
        }
    }
    for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
        const std::string path = dir.file(stored == JCS_CMYK ? "cmyk.jpg" : "ycck.jpg");
        writeFile(path, encodeJpeg(32, 8, JCS_CMYK, stored, pixels));
        Texture texture(path);
        ASSERT_EQ(texture.width, 32) << path;
        const Bytes texels = readTexture(texture, 3);
        for (int block = 0; block < 4; ++block) {
            const std::size_t at = (3 * 32 + block * 8 + 3) * 3; // inside the block
            const Bytes got(texels.begin() + at, texels.begin() + at + 3);
            const Bytes want(rgb.begin() + block * 3, rgb.begin() + block * 3 + 3);
            EXPECT_LE(maxDifference(got, want), 3) << path << " block " << block;
        }
    }
}

TEST_F(TextureLoad, BrokenJpegsThrowLibjpegMessages) {
    const std::string corrupt = dir.file("corrupt.jpg");
    writeFile(corrupt, Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'});
    EXPECT_EQ(loadError(corrupt),
              "Failed to read file '" + corrupt + "': Not a JPEG file: starts with 0x6e 0x6f");

    const Bytes good = encodeJpeg(16, 16, JCS_RGB, JCS_YCbCr, gradient(16, 16));
    const std::string empty = dir.file("empty.jpg");
    writeFile(empty, Bytes());
    EXPECT_EQ(loadError(empty), "Failed to read file '" + empty + "': Empty input file");

    // Cut inside the header: no picture at all.
    const std::string header = dir.file("header.jpg");
    writeFile(header, Bytes(good.begin(), good.begin() + 30));
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadError(header),
              "Failed to read file '" + header + "': JPEG datastream contains no image");
    testing::internal::GetCapturedStderr();

    // Cut inside the pixel data: libjpeg warns and fills the rest.
    const std::string truncated = dir.file("truncated.jpg");
    writeFile(truncated, Bytes(good.begin(), good.end() - good.size() / 3));
    testing::internal::CaptureStderr();
    Texture texture(truncated);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Premature end of JPEG file"),
              std::string::npos);
    EXPECT_EQ(texture.width, 16);
    EXPECT_EQ(texture.height, 16);

    // The decoder still works after the failures.
    const std::string fine = dir.file("fine.jpg");
    writeFile(fine, good);
    EXPECT_EQ(Texture(fine).width, 16);
}

TEST_F(TextureLoad, UnopenableJpegNamesPathAndReason) {
    const std::string missing = dir.file("missing.jpg");
    EXPECT_EQ(loadError(missing),
              "Failed to open file '" + missing + "': No such file or directory");
}

TEST_F(TextureLoad, JpegTooLargeForTheCardFailsBeforeDecoding) {
    Bytes file = encodeJpeg(8, 8, JCS_RGB, JCS_YCbCr, gradient(8, 8));
    // Forge the frame header to 60000 x 50000.
    const unsigned char marker[] = {0xFF, 0xC0};
    const auto sof = std::search(file.begin(), file.end(), std::begin(marker), std::end(marker));
    ASSERT_NE(sof, file.end());
    sof[5] = 50000 >> 8;
    sof[6] = 50000 & 0xFF;
    sof[7] = 60000 >> 8;
    sof[8] = 60000 & 0xFF;
    const std::string path = dir.file("huge.jpg");
    writeFile(path, file);
    EXPECT_EQ(loadError(path), "Maximum texture size of GPU is too small (60000x50000 > " +
                                   std::to_string(textureLimit()) + ") for '" + path + "'");
}

} // namespace
