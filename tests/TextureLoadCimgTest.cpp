#include "Texture.h"
#include "TextureLoadSupport.h"

#include <CImg.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

using cimg_library::CImg;

namespace {

// Interleaved bytes of a planar CImg picture.
template <typename T> Bytes interleaved(CImg<T> picture) {
    picture.permute_axes("cxyz");
    return Bytes(picture.begin(), picture.end());
}

template <typename T> CImg<T> pattern(int width, int height, int channels, int scale) {
    CImg<T> picture(width, height, 1, channels);
    cimg_forXYC(picture, x, y, c) {
        picture(x, y, 0, c) = T((x * 40 + y * 9 + c * 70) * scale);
    }
    return picture;
}

const std::string forgedHeader = "P6\n100000 100000\n255\n";
const Bytes forgedPpm(forgedHeader.begin(), forgedHeader.end());

// What a child process saw when it loaded "-" with `input` as standard input.
Bytes loadInChild(const TempDir& dir, const Bytes& input) {
    const std::string inputPath = dir.file("input.ppm");
    writeFile(inputPath, input);
    const std::string report = dir.file("report");
    const int status = runChild(std::filesystem::read_symlink("/proc/self/exe").string(),
                                "TextureLoadChild.StandardInput", "stdin", report, inputPath);
    Bytes seen = readFile(report);
    seen.push_back(static_cast<unsigned char>('0' + status));
    return seen;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class TextureLoadCimg : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(TextureLoadCimg, RgbPngArrivesByteForByteWithoutOutput) {
    const CImg<unsigned char> picture = pattern<unsigned char>(5, 3, 3, 1);
    const std::string path = dir.file("picture.png");
    picture.save_png(path.c_str());
    testing::internal::CaptureStderr();
    Texture texture(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(texture.width, 5);
    EXPECT_EQ(texture.height, 3);
    EXPECT_FALSE(texture.hdr);
    EXPECT_EQ(texture.scaleMean, 0.0);
    EXPECT_EQ(texture.scaleMin, 0.0);
    EXPECT_EQ(texture.scaleMax, 0.0);
    EXPECT_EQ(readTexture(texture, 3), interleaved(picture));
}

TEST_F(TextureLoadCimg, AlphaIsDroppedAndGreyExpanded) {
    const CImg<unsigned char> rgba = pattern<unsigned char>(4, 2, 4, 1);
    const std::string rgbaPath = dir.file("alpha.png");
    rgba.save_png(rgbaPath.c_str());
    EXPECT_EQ(readTexture(Texture(rgbaPath), 3), interleaved(rgba.get_channels(0, 2)));

    const CImg<unsigned char> grey = pattern<unsigned char>(4, 2, 1, 1);
    const CImg<unsigned char> greyRgb = grey.get_resize(4, 2, 1, 3);
    for (const char* name : {"grey.png", "grey.pgm"}) {
        const std::string path = dir.file(name);
        grey.save(path.c_str());
        EXPECT_EQ(readTexture(Texture(path), 3), interleaved(greyRgb)) << name;
    }
    const CImg<unsigned char> greyAlpha = pattern<unsigned char>(4, 2, 2, 1);
    const std::string greyAlphaPath = dir.file("greyalpha.png");
    greyAlpha.save_png(greyAlphaPath.c_str());
    EXPECT_EQ(readTexture(Texture(greyAlphaPath), 3),
              interleaved(greyAlpha.get_channel(0).resize(4, 2, 1, 3)));
}

TEST_F(TextureLoadCimg, SixteenBitValuesAreScaledNotWrapped) {
    CImg<unsigned short> picture(4, 1, 1, 3, 0);
    const unsigned short values[4] = {0, 256, 32896, 65535};
    const unsigned char scaled[4] = {0, 1, 128, 255};
    Bytes expected;
    for (int x = 0; x < 4; ++x) {
        picture(x, 0, 0, 0) = picture(x, 0, 0, 1) = picture(x, 0, 0, 2) = values[x];
        expected.insert(expected.end(), 3, scaled[x]);
    }
    const std::string png = dir.file("deep.png");
    picture.save_png(png.c_str(), 2);
    EXPECT_EQ(readTexture(Texture(png), 3), expected);
    const std::string tiff = dir.file("deep.tif");
    picture.save_tiff(tiff.c_str());
    EXPECT_EQ(readTexture(Texture(tiff), 3), expected);

    // A dark 16-bit PNG is still 16-bit: 255 of 65535 is nearly black.
    CImg<unsigned short> dark(2, 1, 1, 1, 255);
    const std::string darkPath = dir.file("dark.png");
    dark.save_png(darkPath.c_str(), 2);
    EXPECT_EQ(readTexture(Texture(darkPath), 3), Bytes(6, 1));
}

TEST_F(TextureLoadCimg, UnreadableFilesThrowStdExceptionsNamingTheFile) {
    const std::string garbage = dir.file("garbage.png");
    writeFile(garbage, Bytes{'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(loadError(garbage), "Not a PNG file: '" + garbage + "'");

    const std::string missing = dir.file("missing.png");
    EXPECT_NE(loadError(missing).find(missing), std::string::npos);

    // A forged size is refused from the header, before any other reader is tried.
    const std::string huge = dir.file("huge.ppm");
    writeFile(huge, forgedPpm);
    EXPECT_EQ(loadError(huge).find("Maximum texture size of GPU is too small (100000x100000 > "),
              0u);

    const std::string empty = dir.file("empty.ppm");
    const std::string emptyHeader = "P6\n0 0\n255\n";
    writeFile(empty, Bytes(emptyHeader.begin(), emptyHeader.end()));
    EXPECT_EQ(loadError(empty), "No picture in '" + empty + "'");

    // Formats no reader of ours takes are refused, not handed to an outside converter.
    const std::string drawing = dir.file("drawing.xcf");
    writeFile(drawing, Bytes{'g', 'i', 'm', 'p'});
    EXPECT_EQ(loadError(drawing), "Unsupported picture format: '" + drawing + "'");
}

TEST_F(TextureLoadCimg, DotSlashDashIsAFileNotStandardInput) {
    const Bytes rgb = {1, 2, 3, 4, 5, 6};
    writeFile(dir.file("-"), encodePpm(2, 1, rgb));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    std::string error;
    Bytes texels;
    try {
        Texture texture("./-");
        texels = readTexture(texture, 3);
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    std::filesystem::current_path(previous);
    EXPECT_EQ(error, "");
    EXPECT_EQ(texels, rgb);
}

TEST_F(TextureLoadCimg, DashReadsPnmFromStandardInput) {
    const Bytes rgb = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    Bytes expected = text("2 2 0\n");
    expected.insert(expected.end(), rgb.begin(), rgb.end());
    expected.push_back('0');
    EXPECT_EQ(loadInChild(dir, encodePpm(2, 2, rgb)), expected);

    // The stream's size is refused before anything is allocated for it.
    const std::string seen = [&] {
        const Bytes bytes = loadInChild(dir, forgedPpm);
        return std::string(bytes.begin(), bytes.end());
    }();
    EXPECT_EQ(seen.find("Maximum texture size of GPU is too small (100000x100000 > "), 0u) << seen;
    EXPECT_EQ(seen.back(), '0');

    // A stream shorter than its header says is an error, not unset memory shown.
    const Bytes whole = encodePpm(2, 2, rgb);
    const Bytes cut(whole.begin(), whole.end() - 4);
    const Bytes shortSeen = loadInChild(dir, cut);
    EXPECT_EQ(std::string(shortSeen.begin(), shortSeen.end()),
              "Truncated PNM file '-': row 1 is incomplete0");
}

// Runs only as the child of DashReadsPnmFromStandardInput.
TEST(TextureLoadChild, StandardInput) {
    if (childMode() != "stdin") {
        GTEST_SKIP() << "runs as a child process only";
    }
    std::string report;
    try {
        Texture texture("-");
        const Bytes texels = readTexture(texture, 3);
        report = std::to_string(texture.width) + " " + std::to_string(texture.height) + " " +
                 std::to_string(texture.hdr) + "\n";
        report.append(texels.begin(), texels.end());
    } catch (const std::runtime_error& error) {
        report = error.what();
    }
    writeChildReport(report);
}

} // namespace
