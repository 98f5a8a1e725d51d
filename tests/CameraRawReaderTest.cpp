// Camera raws through readPicture: DNGs written here develop to scene-linear radiance with the
// sensor's white at 1.0; broken and forged ones are refused naming the file.
#include "ChildRead.h"
#include "DngWriter.h"
#include "PictureReadUtil.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using CameraRaw = RgbeFiles;
using Rgb = std::array<double, 3>;
using Values = std::vector<std::uint16_t>;

Rgb radianceAt(const Picture& picture, int x, int y) {
    Rgb rgb{};
    rgbe::decode(picture.pixels.get() + (static_cast<std::size_t>(y) * picture.width + x) * 4,
                 rgb[0], rgb[1], rgb[2]);
    return rgb;
}

// width x height pixels in vertical bands, one colour each.
Values bands(int width, int height, const std::vector<std::array<std::uint16_t, 3>>& colours) {
    Values rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto& colour = colours[x * colours.size() / width];
            rgb.insert(rgb.end(), colour.begin(), colour.end());
        }
    }
    return rgb;
}

// The centre of band `i` of `count` across the picture's width, half way down.
Rgb bandCentre(const Picture& picture, std::size_t i, std::size_t count) {
    const int x = static_cast<int>((2 * i + 1) * picture.width / (2 * count));
    return radianceAt(picture, x, picture.height / 2);
}

// Within `relative` of the brightest channel: RGBE's mantissas share its exponent.
void expectNear(const Rgb& actual, const Rgb& expected, double relative, const std::string& what) {
    const double brightest = std::max({expected[0], expected[1], expected[2]});
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(actual[c], expected[c], relative * brightest) << what << " channel " << c;
    }
}

// Puts a 32-bit value into the little-endian TIFF's first-IFD entry of `tag`, as a LONG.
void patchTag(std::string& tiff, std::uint16_t tag, std::uint32_t value) {
    auto get32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, tiff.data() + at, 4);
        return v;
    };
    const std::uint32_t ifd = get32(4);
    std::uint16_t entries;
    std::memcpy(&entries, tiff.data() + ifd, 2);
    for (std::uint16_t i = 0; i < entries; ++i) {
        const std::size_t entry = ifd + 2 + i * 12u;
        std::uint16_t found;
        std::memcpy(&found, tiff.data() + entry, 2);
        if (found == tag) {
            const std::uint16_t longType = 4;
            std::memcpy(tiff.data() + entry + 2, &longType, 2);
            std::memcpy(tiff.data() + entry + 8, &value, 4);
            return;
        }
    }
    FAIL() << "no tag " << tag;
}

constexpr std::uint16_t white = 16000;

TEST_F(CameraRaw, LinearDngValuesComeOutLinearWithTheWhiteAtOne) {
    // From the white down five stops, and colours two and three stops below it.
    const std::vector<std::array<std::uint16_t, 3>> colours = {{white, white, white},
                                                               {white / 2, white / 2, white / 2},
                                                               {white / 4, white / 4, white / 4},
                                                               {white / 8, white / 8, white / 8},
                                                               {white / 32, white / 32, white / 32},
                                                               {white / 4, white / 8, white / 16},
                                                               {white / 16, white / 4, white / 32},
                                                               {white / 32, white / 16, white / 8}};
    const std::string file = path("linear.dng");
    writeLinearDng(file, 128, 48, bands(128, 48, colours), white);
    const Picture picture = quietRead(file);
    ASSERT_EQ(picture.encoding, PixelEncoding::Rgbe);
    ASSERT_EQ(picture.width, 128);
    ASSERT_EQ(picture.height, 48);
    EXPECT_EQ(picture.projectionHint, ProjectionHint::None);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const Rgb expected = {colours[i][0] / double(white), colours[i][1] / double(white),
                              colours[i][2] / double(white)};
        expectNear(bandCentre(picture, i, colours.size()), expected, 0.02,
                   "band " + std::to_string(i));
    }
}

// LibRaw leaves a monochrome sensor's picture in its first channel alone.
TEST_F(CameraRaw, MonochromeDngsAreGrey) {
    DngOptions options;
    options.whiteLevel = white;
    const std::string file = path("monochrome.dng");
    writeMonochromeDng(file, 64, 48, Values(64 * 48, white / 4), options);
    expectNear(radianceAt(quietRead(file), 32, 24), {0.25, 0.25, 0.25}, 0.02, "grey");
}

// Bayer fields develop to their colours under the camera's white balance, a neutral of (0.5, 1,
// 0.8) in the raw channels. Of LibRaw's highlight modes only rebuild passes every row: clip
// cuts the red the sensor held past the green's white, unclip leaves a highlight that
// saturated every photosite magenta, blend desaturates the bright colours.
TEST_F(CameraRaw, BayerFieldsDevelopWhiteBalancedKeepingWhatTheSensorHeld) {
    DngOptions options;
    options.whiteLevel = white;
    options.asShotNeutral = {0.5f, 1.0f, 0.8f};
    struct Case {
        const char* name;
        std::array<std::uint16_t, 3> raw;
        // The raw values white balanced; none for a highlight the sensor clipped.
        Rgb radiance;
    };
    const std::vector<Case> cases = {
        {"clipped", {white, white, white}, {}},
        {"red", {white * 7 / 10, white / 10, white / 20}, {1.4, 0.1, 0.0625}},
        {"orange", {white * 9 / 10, white * 9 / 10, white / 2}, {1.8, 0.9, 0.625}},
        {"grey", {white / 8, white / 4, white / 5}, {0.25, 0.25, 0.25}},
        {"brown", {white * 3 / 10, white * 3 / 10, white * 2 / 25}, {0.6, 0.3, 0.1}}};
    std::vector<std::array<std::uint16_t, 3>> colours;
    for (const Case& c : cases) {
        colours.push_back(c.raw);
    }
    const std::string file = path("highlights.dng");
    writeBayerDng(file, 160, 64, mosaicRggb(160, 64, bands(160, 64, colours)), options);
    const Picture picture = quietRead(file);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Rgb rgb = bandCentre(picture, i, cases.size());
        if (cases[i].radiance[0] == 0.0) {
            EXPECT_GE(rgb[1], 0.99) << cases[i].name;
            EXPECT_NEAR(rgb[0] / rgb[1], 1.0, 0.05) << cases[i].name;
            EXPECT_NEAR(rgb[2] / rgb[1], 1.0, 0.05) << cases[i].name;
        } else {
            expectNear(rgb, cases[i].radiance, 0.02, cases[i].name);
        }
    }
}

// The stored picture's first pixel is lit; LibRaw turns the picture once, and only once.
TEST_F(CameraRaw, TurnedCamerasGiveUprightPictures) {
    struct Case {
        std::uint16_t orientation;
        int width;
        int height;
        int litX;
        int litY;
    };
    const Case cases[] = {{1, 48, 32, 0, 0},
                          {3, 48, 32, 47, 31},
                          {6, 32, 48, 31, 0},
                          {8, 32, 48, 0, 47},
                          {2, 48, 32, 47, 0}};
    Values rgb(48 * 32 * 3, 100);
    std::fill(rgb.begin(), rgb.begin() + 3, white);
    for (const Case& c : cases) {
        DngOptions options;
        options.whiteLevel = white;
        options.orientation = c.orientation;
        const std::string file = path("turned-" + std::to_string(c.orientation) + ".dng");
        writeLinearDng(file, 48, 32, rgb, options);
        const Picture picture = quietRead(file);
        ASSERT_EQ(picture.width, c.width) << c.orientation;
        ASSERT_EQ(picture.height, c.height) << c.orientation;
        EXPECT_NEAR(radianceAt(picture, c.litX, c.litY)[1], 1.0, 0.02) << c.orientation;
        EXPECT_EQ(probePicture(file, SizeLimit()).width, c.width) << c.orientation;
    }
}

TEST_F(CameraRaw, PanoramasGetTheEquirectangularHint) {
    auto gpano = [](const std::string& attributes) {
        return "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
               "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
               "rdf:about='' xmlns:GPano='http://ns.google.com/photos/1.0/panorama/' "
               "GPano:ProjectionType='equirectangular' " +
               attributes + "/></rdf:RDF></x:xmpmeta>";
    };
    const std::string crop =
        "GPano:FullPanoWidthPixels='192' GPano:FullPanoHeightPixels='96' "
        "GPano:CroppedAreaImageWidthPixels='96' GPano:CroppedAreaImageHeightPixels='64' "
        "GPano:CroppedAreaLeftPixels='48' GPano:CroppedAreaTopPixels='16'";
    struct Case {
        const char* name;
        int width;
        int height;
        std::string xmp;
        ProjectionHint hint;
        // What read and probe give: a cropped panorama's canvas.
        int readWidth;
    };
    const Case cases[] = {{"2x1", 128, 64, "", ProjectionHint::Equirectangular, 128},
                          {"3x2", 96, 64, "", ProjectionHint::None, 96},
                          {"gpano", 96, 64, gpano(""), ProjectionHint::Equirectangular, 96},
                          {"cropped", 96, 64, gpano(crop), ProjectionHint::Equirectangular, 192}};
    for (const Case& c : cases) {
        DngOptions options;
        options.xmp = c.xmp;
        const std::string file = path(std::string(c.name) + ".dng");
        writeLinearDng(file, c.width, c.height, Values(c.width * c.height * 3, 1000), options);
        const Picture picture = quietRead(file);
        EXPECT_EQ(picture.projectionHint, c.hint) << c.name;
        EXPECT_EQ(picture.width, c.readWidth) << c.name;
        EXPECT_EQ(probePicture(file, SizeLimit()).width, c.readWidth) << c.name;
    }
}

TEST_F(CameraRaw, BrokenFilesAreRefusedNamingThem) {
    const std::string good = path("good.dng");
    writeLinearDng(good, 64, 64, Values(64 * 64 * 3, 3000), white);
    const Bytes b = contents(good);
    const std::string whole(b.begin(), b.end());
    std::string pastTheEnd = whole;
    patchTag(pastTheEnd, 273, static_cast<std::uint32_t>(whole.size() - 4096)); // StripOffsets
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {{"half.dng", whole.substr(0, whole.size() / 2)},
                          {"strip-past-end.dng", pastTheEnd},
                          {"empty.dng", ""},
                          {"text.dng", "not a camera raw at all, only words"}};
    for (const Case& c : cases) {
        const std::string file = put(c.name, c.bytes);
        const std::string error = pictureError(file);
        EXPECT_EQ(error.rfind("Failed to read file '" + file + "': ", 0), 0u)
            << c.name << ": " << error;
    }
}

// LibRaw refuses sides past 64000 itself; below that the size checks do, and with a card that
// takes the size, the memory check made for LibRaw's buffers, all before a pixel is allocated.
TEST_F(CameraRaw, ForgedSizesAreRefusedByReadAndProbeInLittleMemory) {
    const std::string small = path("small.dng");
    writeLinearDng(small, 64, 64, Values(64 * 64 * 3, 3000), white);
    const Bytes b = contents(small);
    const SizeLimit vastCard{1 << 20, 1, 1};
    struct Case {
        std::uint32_t side;
        SizeLimit limit;
        const char* error; // formatted with the file's name
    };
    const Case cases[] = {
        {100000, SizeLimit(), "Failed to read file '%s': Unsupported file format or not RAW file"},
        {100000, vastCard, "Failed to read file '%s': Unsupported file format or not RAW file"},
        {30000, SizeLimit(),
         "Maximum texture size of GPU is too small (30000x30000 > 8192) for '%s'"},
        {30000, vastCard, "Picture of '%s' too large for memory (30000x30000)"}};
    for (const Case& c : cases) {
        std::string forged(b.begin(), b.end());
        patchTag(forged, 256, c.side);
        patchTag(forged, 257, c.side);
        const std::string file = put("forged-" + std::to_string(c.side) + ".dng", forged);
        std::string expected = c.error;
        expected.replace(expected.find("%s"), 2, file);
        const std::vector<std::function<void()>> actions = {[&] { quietRead(file, c.limit); },
                                                            [&] { probePicture(file, c.limit); }};
        for (const auto& action : actions) {
            const ChildRead child = inChild([&] {
                action();
                return std::string("no error");
            });
            EXPECT_EQ(child.text, expected);
            EXPECT_LT(child.grownMiB, 32) << expected;
        }
    }
}

} // namespace
