// The readout under the pointer names the pixel the viewer program draws there, in every
// projection, and reads its value back from the card exactly as the file stores it; the
// exposure window the histogram marks is where the program's output reaches black and white.
#include "DrawView.h"
#include "MipLevel.h"
#include "PictureReader.h"
#include "PictureTexel.h"
#include "PixelReadout.h"
#include "Shader.h"
#include "StatisticsText.h"
#include "Texture.h"
#include "TextureRender.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

double toLinear(double display) {
    return display <= 0.04045 ? display / 12.92 : std::pow((display + 0.055) / 1.055, 2.4);
}

// A panorama whose every pixel holds its own column and row: radiance (column, row, 255), all
// with exponent byte 136, so that each is exact in RGBE.
constexpr int panoramaWidth = 256;
constexpr int panoramaHeight = 128;

std::string writePanorama() {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(panoramaWidth) * panoramaHeight * 4);
    for (int y = 0; y < panoramaHeight; ++y) {
        for (int x = 0; x < panoramaWidth; ++x) {
            unsigned char* p = &bytes[(static_cast<std::size_t>(y) * panoramaWidth + x) * 4];
            p[0] = static_cast<unsigned char>(x);
            p[1] = static_cast<unsigned char>(y);
            p[2] = 255;
            p[3] = 136;
        }
    }
    const std::string path = testing::TempDir() + "readout-panorama.hdr";
    testing::internal::CaptureStderr();
    rgbe::write(path, panoramaWidth, panoramaHeight, bytes.data(), true);
    testing::internal::GetCapturedStderr();
    return path;
}

// The file through the loader's steps: read, mip levels, upload.
std::unique_ptr<Texture> load(const std::string& path) {
    testing::internal::CaptureStderr();
    Picture picture = readPicture(path, Texture::sizeLimit());
    auto texture = std::make_unique<Texture>(mipLevels(std::move(picture)));
    testing::internal::GetCapturedStderr();
    return texture;
}

ViewState view(Projection projection, float zoom, float yaw, float pitch) {
    ViewState v;
    v.projection = projection;
    v.zoom = zoom;
    v.yaw = yaw;
    v.pitch = pitch;
    v.viewportWidth = 160;
    v.viewportHeight = 120;
    return v;
}

class PixelReadoutGl : public testing::Test {
protected:
    static void SetUpTestSuite() {
        shader = std::make_unique<Shader>("viewer", "");
        path = writePanorama();
    }
    static void TearDownTestSuite() {
        shader.reset();
        std::remove(path.c_str());
    }

    // One frame as the window draws it, row 0 at the top, RGBA floats.
    static std::vector<float> render(const Texture& picture, const ViewState& v) {
        Texture target(v.viewportWidth, v.viewportHeight, static_cast<const float*>(nullptr),
                       GL_RGBA32F, GL_RGBA);
        drawView(*shader, picture, v, target);
        std::vector<float> frame =
            readBack<float>(target, 0, 0, v.viewportWidth, v.viewportHeight, 4);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        shader->use(false);
        return frame;
    }

    static std::unique_ptr<Shader> shader;
    static std::string path;
};

std::unique_ptr<Shader> PixelReadoutGl::shader;
std::string PixelReadoutGl::path;

TEST_F(PixelReadoutGl, NamesThePixelDrawnUnderThePointerAndItsValueFromTheFile) {
    ASSERT_TRUE(GLEW_VERSION_4_5 || GLEW_ARB_get_texture_sub_image);
    const std::unique_ptr<Texture> picture = load(path);
    // An exposure offset of -8: every value below 256 is drawn unclipped.
    picture->scaleMean = 1.0;
    int width = 0;
    int height = 0;
    const std::unique_ptr<unsigned char[]> file(rgbe::read(path, width, height));
    ASSERT_EQ(width, panoramaWidth);

    struct Case {
        Projection projection;
        float zoom, yaw, pitch;
    };
    // Zoomed in, so that the program reads level 0 alone; away from the 360-degree seam and the
    // poles, where the coded positions jump or are clamped.
    for (const Case& c :
         {Case{Projection::Flat, 2.5f, 3.0f, -2.0f}, Case{Projection::Flat, 1.0f, 0.0f, 0.0f},
          Case{Projection::Sphere, 3.0f, 20.0f, 10.0f},
          Case{Projection::Sphere, 4.0f, -35.0f, -25.0f},
          Case{Projection::Planet, 3.0f, 40.0f, 15.0f},
          Case{Projection::Planet, 5.0f, -60.0f, -30.0f}}) {
        ViewState v = view(c.projection, c.zoom, c.yaw, c.pitch);
        v.fstop = -6.0f;
        const std::vector<float> frame = render(*picture, v);
        int checked = 0;
        for (int sy = 20; sy < v.viewportHeight - 20; sy += 13) {
            for (int sx = 25; sx < v.viewportWidth - 25; sx += 17) {
                const std::string where = "projection " +
                                          std::to_string(static_cast<int>(c.projection)) + " at " +
                                          std::to_string(sx) + ", " + std::to_string(sy);
                const std::optional<PixelPlace> place =
                    pixelPlaceAt(v, panoramaWidth, panoramaHeight, {sx + 0.5, sy + 0.5});
                ASSERT_TRUE(place) << where;
                EXPECT_EQ(place->angles.has_value(), c.projection != Projection::Flat) << where;
                // What was drawn there codes the picture position: radiance = position - 0.5.
                const float* drawn =
                    &frame[(static_cast<std::size_t>(sy) * v.viewportWidth + sx) * 4];
                const double drawnX = 256.0 * toLinear(drawn[0]) + 0.5;
                const double drawnY = 256.0 * toLinear(drawn[1]) + 0.5;
                EXPECT_LE(std::abs(drawnX - (place->column + 0.5)), 0.5 + 2e-3) << where;
                EXPECT_LE(std::abs(drawnY - (place->row + 0.5)), 0.5 + 2e-3) << where;

                PixelReadout readout;
                readout.place = *place;
                readout.bytes = readTexel(*picture, place->column, place->row);
                ASSERT_TRUE(readout.bytes) << where;
                double r = 0, g = 0, b = 0;
                rgbe::decode(
                    &file[(static_cast<std::size_t>(place->row) * width + place->column) * 4], r, g,
                    b);
                const Radiance c2 = readout.radiance();
                EXPECT_NEAR(c2.r, r, 1e-6 * std::abs(r)) << where;
                EXPECT_NEAR(c2.g, g, 1e-6 * std::abs(g)) << where;
                EXPECT_NEAR(c2.b, b, 1e-6 * std::abs(b)) << where;
                EXPECT_EQ(c2.r, place->column) << where;
                EXPECT_EQ(c2.g, place->row) << where;
                ++checked;
            }
        }
        EXPECT_GT(checked, 20);
    }
}

TEST_F(PixelReadoutGl, FlatViewHasNoPixelOffThePictureAndSphericalViewsWrapTheSeam) {
    // At zoom 0.5 the 256 x 128 picture takes 128 x 64 pixels from (16, 28).
    const ViewState flat = view(Projection::Flat, 0.5f, 0.0f, 0.0f);
    EXPECT_FALSE(pixelPlaceAt(flat, panoramaWidth, panoramaHeight, {80.5, 10.5}));
    EXPECT_FALSE(pixelPlaceAt(flat, panoramaWidth, panoramaHeight, {80.5, 100.5}));
    EXPECT_FALSE(pixelPlaceAt(flat, panoramaWidth, panoramaHeight, {15.5, 60.5}));
    const auto corner = pixelPlaceAt(flat, panoramaWidth, panoramaHeight, {16.5, 28.5});
    ASSERT_TRUE(corner);
    EXPECT_EQ(corner->column, 1);
    EXPECT_EQ(corner->row, 1);
    // Looking straight back (yaw 180), the centre of the screen is on the seam: column 0 or
    // the last, never the width; straight up is row 0.
    for (Projection projection : {Projection::Sphere, Projection::Planet}) {
        const auto back = pixelPlaceAt(view(projection, 2.0f, 180.0f, 0.0f), panoramaWidth,
                                       panoramaHeight, {80.0, 60.5});
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->column == 0 || back->column == panoramaWidth - 1) << back->column;
        EXPECT_NEAR(std::abs(back->angles->longitude), 3.14159265, 0.05);
        const auto up = pixelPlaceAt(view(projection, 2.0f, 0.0f, 90.0f), panoramaWidth,
                                     panoramaHeight, {80.0, 60.0});
        ASSERT_TRUE(up);
        EXPECT_EQ(up->row, 0);
        EXPECT_NEAR(up->angles->latitude, 3.14159265 / 2, 1e-6);
    }
}

TEST(PictureTexel, TilesOfAPictureBeyondTheCardAreReadFromTheirLayers) {
    // A 10 x 7 picture in tiles of 4 x 4, three to a row: the layout the upload makes for a
    // picture wider than the card, here in small. Each texel holds (column, row, layer, 200).
    const int columns = 3;
    const int rows = 2;
    std::vector<unsigned char> layers(static_cast<std::size_t>(4 * 4 * 4 * columns * rows), 0);
    for (int layer = 0; layer < columns * rows; ++layer) {
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 4; ++x) {
                unsigned char* p = &layers[((layer * 4 + y) * 4 + x) * 4];
                p[0] = static_cast<unsigned char>(layer % columns * 4 + x);
                p[1] = static_cast<unsigned char>(layer / columns * 4 + y);
                p[2] = static_cast<unsigned char>(layer);
                p[3] = 200;
            }
        }
    }
    const std::vector<unsigned char> level1(4 * 4 * 4, 0);
    Texture picture(4, 4, level1.data(), GL_RGBA8, GL_RGBA);
    GLuint array = 0;
    glGenTextures(1, &array);
    glBindTexture(GL_TEXTURE_2D_ARRAY, array);
    glTexImage3D(GL_TEXTURE_2D_ARRAY, 0, GL_RGBA8, 4, 4, columns * rows, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, layers.data());
    // The texture now owns the array too and deletes it.
    picture.glTextures[1] = array;
    picture.numTextures = 2;
    picture.tileLevels = 1;
    picture.tileColumns = columns;
    picture.tileRows = rows;
    picture.width = 10;
    picture.height = 7;
    ASSERT_TRUE(picture.hdr);
    for (int row = 0; row < 7; ++row) {
        for (int column = 0; column < 10; ++column) {
            const TexelPlace place = texelPlace(picture, column, row);
            EXPECT_EQ(place.piece, 1);
            EXPECT_EQ(place.layer, row / 4 * columns + column / 4);
            const auto bytes = readTexel(picture, column, row);
            ASSERT_TRUE(bytes);
            EXPECT_EQ((*bytes)[0], column);
            EXPECT_EQ((*bytes)[1], row);
            EXPECT_EQ((*bytes)[2], place.layer);
            EXPECT_EQ((*bytes)[3], 200);
        }
    }
    EXPECT_FALSE(readTexel(picture, 10, 0));
    EXPECT_FALSE(readTexel(picture, 0, 7));
    EXPECT_FALSE(readTexel(picture, -1, 0));
}

TEST(PictureTexel, EightBitTexelsOfAnOddWidthAndTheirReadoutLine) {
    // Rows of 5 x 3 bytes: no row starts on a 4-byte boundary.
    std::vector<unsigned char> bytes(5 * 3 * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(7 * i + 3);
    }
    Picture picture;
    picture.allocate(5, 3, PixelEncoding::Rgb8);
    std::copy(bytes.begin(), bytes.end(), picture.pixels.get());
    Texture texture(std::move(picture));
    ASSERT_FALSE(texture.hdr);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 5; ++column) {
            const auto texel = readTexel(texture, column, row);
            ASSERT_TRUE(texel);
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ((*texel)[c], bytes[(row * 5 + column) * 3 + c]) << column << row;
            }
        }
    }
    // While an upload in slices has only the smaller levels up, level 0 is not read.
    texture.firstLevel = 1;
    EXPECT_FALSE(readTexel(texture, 0, 0));
    texture.firstLevel = 0;

    PixelReadout readout;
    readout.place = {2, 1, std::nullopt};
    readout.encoding = PixelEncoding::Rgb8;
    readout.bytes = std::array<unsigned char, 4>{128, 255, 0, 0};
    const std::string line = readoutLine(readout);
    EXPECT_EQ(line.find("x 2  y 1  RGB 0.252 1 0 (128 255 0)  L "), 0u) << line;
    EXPECT_EQ(line.find("lon"), std::string::npos) << line;
    const double candela = 179.0 * (0.265 * 0.25198 + 0.670);
    EXPECT_NEAR(readout.candela(), candela, 1e-3);
}

TEST(PixelReadoutText, SphericalLineHasAnglesRadianceLuminanceAndEv) {
    PixelReadout readout;
    readout.place = {12, 34, LongitudeLatitude{-3.14159265358979 / 2, 3.14159265358979 / 6}};
    readout.encoding = PixelEncoding::Rgbe;
    // 1 in every channel: 179 cd/m2, over an EXPOSURE= of 2.
    readout.bytes = std::array<unsigned char, 4>{128, 128, 128, 129};
    readout.exposure = 2.0;
    EXPECT_NEAR(readout.candela(), 89.5, 1e-9);
    EXPECT_EQ(readoutLine(readout), "x 12  y 34  lon -90.00\u00b0  lat 30.00\u00b0  RGB 1 1 1  "
                                    "L 89.5 cd/m\u00b2  EV 9.48");
    readout.bytes = std::array<unsigned char, 4>{0, 0, 0, 0};
    EXPECT_NE(readoutLine(readout).find("L 0 cd/m\u00b2  EV -inf"), std::string::npos)
        << readoutLine(readout);
    readout.bytes.reset();
    EXPECT_EQ(readoutLine(readout), "x 12  y 34  lon -90.00\u00b0  lat 30.00\u00b0");
}

TEST(StatisticsText, LinesSayTheWeightingTheLuminanceInCandelaAndTheClippedShares) {
    // Four columns of grey: 1.5 times 2^-3, 2^0, 2^2 and 2^7.
    const double values[4] = {0.1875, 1.5, 6.0, 192.0};
    Picture picture;
    picture.allocate(4, 2, PixelEncoding::Rgbe);
    for (int i = 0; i < 8; ++i) {
        rgbe::encode(values[i % 4], values[i % 4], values[i % 4], picture.pixels.get() + 4 * i);
    }
    const auto statistics = LuminanceStatistics::of(picture, false);
    ASSERT_TRUE(statistics);
    const std::vector<std::string> lines = statisticsLines(*statistics, {1.0, 6.5});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Luminance, per pixel");
    // 179 cd/m2 for each unit of radiance.
    EXPECT_EQ(lines[1].find("min 33.56  max 3.437e+04  mean 8936  median "), 0u) << lines[1];
    EXPECT_EQ(lines[2], "dynamic range 10.0 f-stops  clipped 25.0% white, 25.0% black");
    EXPECT_EQ(shareText(0.00042), "0.042%");
    EXPECT_EQ(shareText(0.0), "0.0%");
    EXPECT_EQ(shareText(1.0), "100.0%");
    EXPECT_EQ(candelaText(0.0), "0");
}

TEST_F(PixelReadoutGl, ExposureWindowEndsAreWhereTheProgramReachesWhiteAndBlack) {
    for (float fstop : {0.0f, 3.5f, -4.0f}) {
        const double scaleMean = 4.0;
        const ExposureWindow window = exposureWindow(true, fstop, scaleMean);
        EXPECT_NEAR(std::log2(window.white / window.black), std::log2(255.0 * 2 * 12.92), 1e-9);
        // Four texels: just below and above white, and just below and above black.
        const double values[4] = {window.white * 0.97, window.white * 1.03, window.black * 0.9,
                                  window.black * 1.1};
        Picture picture;
        picture.allocate(4, 1, PixelEncoding::Rgbe);
        for (int i = 0; i < 4; ++i) {
            rgbe::encode(values[i], values[i], values[i], picture.pixels.get() + 4 * i);
        }
        testing::internal::CaptureStderr();
        Texture texture(std::move(picture));
        testing::internal::GetCapturedStderr();
        texture.scaleMean = scaleMean;
        ViewState v = view(Projection::Flat, 10.0f, 0.0f, 0.0f);
        v.viewportWidth = 40;
        v.viewportHeight = 10;
        v.fstop = fstop;
        const std::vector<float> frame = render(texture, v);
        const auto at = [&](int texel) { return frame[(5 * 40 + texel * 10 + 5) * 4]; };
        // White itself comes out as 1 to the last bit or two of the program's arithmetic.
        EXPECT_LT(at(0), 0.999f) << fstop;
        EXPECT_GT(at(1), 0.99999f) << fstop;
        EXPECT_LT(at(2), 0.5f / 255.0f) << fstop;
        EXPECT_GE(at(3), 0.5f / 255.0f) << fstop;
    }
    const ExposureWindow ldr = exposureWindow(false, 5.0f, 0.0);
    EXPECT_EQ(ldr.white, 1.0);
}

} // namespace
