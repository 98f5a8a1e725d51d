// Ready-made mip levels, as the viewer's loading thread makes them, go up like a picture
// whose levels the upload makes itself.
#include "MipLevel.h"
#include "TexelReadback.h"
#include "Texture.h"
#include "TextureUpload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace {

Picture patternPicture(int width, int height, PixelEncoding encoding) {
    Picture picture;
    picture.allocate(width, height, encoding);
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        picture.pixels[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    }
    picture.scale = {0.5, 0.25, 4.0};
    picture.layer = "beauty";
    return picture;
}

std::vector<std::uint8_t> readLevel(const Texture& texture, int level, int width, int height,
                                    GLenum format) {
    glBindTexture(GL_TEXTURE_2D, texture.glTextures[0]);
    return readTexels(texture, GL_TEXTURE_2D, level, static_cast<std::size_t>(width) * height,
                      format == GL_RGBA ? 4 : 3);
}

} // namespace

TEST(TextureLevels, ReadyLevelsMatchLevelsMadeByTheUploadAndAreReleased) {
    ASSERT_TRUE(Texture::mipmapped()) << "the test context is OpenGL 3 or later";
    for (const PixelEncoding encoding : {PixelEncoding::Rgbe, PixelEncoding::Rgb8}) {
        const GLenum format = encoding == PixelEncoding::Rgbe ? GL_RGBA : GL_RGB;
        testing::internal::CaptureStderr();
        const Texture made(patternPicture(300, 70, encoding));
        std::vector<Picture> levels = mipLevels(patternPicture(300, 70, encoding));
        // The layer is the picture's metadata, not the texture's.
        EXPECT_EQ(pictureMetadata(levels.front()).layer, "beauty");
        const Texture ready(std::move(levels));
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(levels.empty() || levels[0].pixels || levels[5].pixels)
            << "every level but the last is let go during the upload";
        EXPECT_EQ(ready.levels, made.levels);
        EXPECT_EQ(ready.width, 300);
        EXPECT_EQ(ready.height, 70);
        EXPECT_EQ(ready.hdr, made.hdr);
        EXPECT_EQ(ready.scaleMax, 4.0);
        for (const auto& [level, w, h] :
             {std::tuple{0, 300, 70}, std::tuple{2, 75, 17}, std::tuple{8, 1, 1}}) {
            EXPECT_TRUE(readLevel(ready, level, w, h, format) ==
                        readLevel(made, level, w, h, format))
                << "level " << level;
        }
    }
}

TEST(TextureLevels, WrongLevelCountsAndFloatPixelsAreRefused) {
    std::vector<Picture> none;
    EXPECT_THROW(Texture{std::move(none)}, std::runtime_error);

    std::vector<Picture> one;
    one.push_back(patternPicture(8, 4, PixelEncoding::Rgb8));
    try {
        Texture texture(std::move(one));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "A 8x4 picture has 4 mip levels, not 1");
    }

    std::vector<Picture> floats;
    floats.push_back(Picture());
    floats[0].allocate(2, 2, PixelEncoding::RgbFloat);
    floats[0].fileName = "f.exr";
    try {
        Texture texture(std::move(floats));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Floating-point pixels of 'f.exr' cannot be shown");
    }
}

namespace {

// Layer `layer` of a tiled level 0, the columns the picture covers only: the rest is padding.
std::vector<std::uint8_t> readTile(const Texture& texture, int layer, GLenum format) {
    const std::size_t pixel = format == GL_RGBA ? 4 : 3;
    const std::size_t layerBytes =
        static_cast<std::size_t>(texture.texWidth) * texture.texHeight * pixel;
    glBindTexture(GL_TEXTURE_2D_ARRAY, texture.glTextures[1]);
    const std::vector<std::uint8_t> all = readTexels(
        texture, GL_TEXTURE_2D_ARRAY, 0,
        layerBytes / pixel * texture.tileColumns * texture.tileRows, static_cast<int>(pixel));
    const int x = layer % texture.tileColumns * texture.texWidth;
    const int y = layer / texture.tileColumns * texture.texHeight;
    const std::size_t width = std::min(texture.texWidth, texture.width - x);
    const int rows = std::min(texture.texHeight, texture.height - y);
    std::vector<std::uint8_t> tile;
    for (int r = 0; r < rows; ++r) {
        const auto* first = all.data() + layerBytes * layer + r * texture.texWidth * pixel;
        tile.insert(tile.end(), first, first + width * pixel);
    }
    return tile;
}

// Whether every level (and tile) of the two textures holds the same texels.
void expectSameTexels(const Texture& sliced, const Texture& whole, GLenum format) {
    ASSERT_EQ(sliced.levels, whole.levels);
    ASSERT_EQ(sliced.tileLevels, whole.tileLevels);
    for (int l = sliced.tileLevels; l < sliced.levels; ++l) {
        const int w = std::max(1, sliced.width >> l);
        const int h = std::max(1, sliced.height >> l);
        EXPECT_TRUE(readLevel(sliced, l - sliced.tileLevels, w, h, format) ==
                    readLevel(whole, l - whole.tileLevels, w, h, format))
            << "level " << l;
    }
    for (int layer = 0; sliced.tileLevels > 0 && layer < sliced.tileColumns * sliced.tileRows;
         ++layer) {
        EXPECT_TRUE(readTile(sliced, layer, format) == readTile(whole, layer, format))
            << "tile " << layer;
    }
}

} // namespace

// Slices of a few hundred bytes, smallest level first: firstLevel only falls, and reaches 0
// with the last slice; the texels end as an upload at once leaves them, tiles included.
TEST(TextureLevels, SlicesEndAsTheUploadAtOnce) {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    for (const auto& [width, height, encoding] :
         {std::tuple{300, 70, PixelEncoding::Rgbe}, std::tuple{300, 70, PixelEncoding::Rgb8},
          std::tuple{static_cast<int>(max) + 6, 4, PixelEncoding::Rgb8}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        const GLenum format = encoding == PixelEncoding::Rgbe ? GL_RGBA : GL_RGB;
        testing::internal::CaptureStderr();
        const Texture whole(mipLevels(patternPicture(width, height, encoding)));
        testing::internal::GetCapturedStderr();
        std::vector<Picture> levels = mipLevels(patternPicture(width, height, encoding));
        Texture sliced(levels, Texture::Texels::Later);
        EXPECT_EQ(sliced.firstLevel, sliced.levels);
        EXPECT_EQ(pictureMetadata(levels.front()).layer, "beauty");
        EXPECT_EQ(sliced.scaleMax, 4.0);
        EXPECT_EQ(sliced.tileLevels, width > max ? 1 : 0);
        TextureUpload upload(sliced, std::move(levels));
        int steps = 0;
        int previous = sliced.firstLevel;
        std::size_t sent = 0;
        while (!upload.step(700)) {
            ++steps;
            ASSERT_LE(sliced.firstLevel, previous);
            ASSERT_GT(sliced.firstLevel, 0) << "whole only once done";
            ASSERT_GT(upload.bytesSent(), sent) << "every step sends a row at least";
            ASSERT_LE(upload.bytesSent() - sent, std::max<std::size_t>(700, width * 4));
            sent = upload.bytesSent();
            previous = sliced.firstLevel;
        }
        EXPECT_EQ(sliced.firstLevel, 0);
        EXPECT_TRUE(upload.done());
        EXPECT_TRUE(upload.step(700)) << "a whole texture stays whole";
        EXPECT_GT(steps, 10);
        expectSameTexels(sliced, whole, format);
    }
}

// A budget of exactly the smaller levels' bytes sends them and stops before level 0.
TEST(TextureLevels, ASliceSendsTheSmallestLevelsFirstAndLetsThemGo) {
    std::vector<Picture> levels = mipLevels(patternPicture(256, 128, PixelEncoding::Rgbe));
    Texture sliced(levels, Texture::Texels::Later);
    TextureUpload upload(sliced, std::move(levels));
    // Levels 8 down to 1 hold 43692 bytes; level 0 holds 131072.
    EXPECT_FALSE(upload.step(43692));
    EXPECT_EQ(sliced.firstLevel, 1);
    EXPECT_EQ(upload.bytesSent(), 43692u);
    // One byte still sends one row.
    EXPECT_FALSE(upload.step(1));
    EXPECT_EQ(upload.bytesSent(), 43692u + 1024);
    EXPECT_EQ(sliced.firstLevel, 1);
    EXPECT_TRUE(upload.step(1 << 20));
    EXPECT_EQ(upload.bytesSent(), 43692u + 131072);
    EXPECT_EQ(sliced.firstLevel, 0);
    const Texture whole(mipLevels(patternPicture(256, 128, PixelEncoding::Rgbe)));
    expectSameTexels(sliced, whole, GL_RGBA);
}

TEST(TextureLevels, SlicesRefuseLevelsThatAreNotTheTexturesOwn) {
    std::vector<Picture> levels = mipLevels(patternPicture(16, 8, PixelEncoding::Rgb8));
    std::vector<Picture> others = mipLevels(patternPicture(8, 16, PixelEncoding::Rgb8));
    Texture sliced(levels, Texture::Texels::Later);
    EXPECT_THROW(TextureUpload(sliced, std::move(others)), std::runtime_error);

    levels[2] = patternPicture(3, 2, PixelEncoding::Rgb8);
    try {
        Texture texture(levels, Texture::Texels::Later);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Mip level 2 of a 16x8 picture is 3x2");
    }
    std::vector<Picture> none;
    EXPECT_THROW(Texture(none, Texture::Texels::Later), std::runtime_error);
}

// Radiance goes up as shared-exponent texels: the card must read back, as floats, the radiance
// of the RGBE bytes (exact for the 32 exponents up to the brightest, within the lost bits
// below), and the bytes must come back from the texels.
TEST(TextureLevels, RadianceTexelsHoldTheRgbeRadianceAndGiveTheBytesBack) {
    for (const int brightest : {136, 144, 200, 250}) {
        Picture picture;
        picture.allocate(256, 4, PixelEncoding::Rgbe);
        for (int x = 0; x < 256; ++x) {
            for (int y = 0; y < 4; ++y) {
                unsigned char* p = picture.pixels.get() + (y * 256 + x) * 4;
                // Every exponent up to the brightest, canonical and not, black at 0.
                const int exponent = x == 255 ? brightest : x * brightest / 255;
                p[0] = static_cast<unsigned char>(128 + (x * 37 + y * 11) % 128);
                p[1] = static_cast<unsigned char>((x * 13 + y) % 256);
                p[2] = static_cast<unsigned char>(y == 3 ? 0 : (x * 7) % 120);
                p[3] = static_cast<unsigned char>(exponent);
            }
        }
        const std::vector<std::uint8_t> rgbe(picture.pixels.get(),
                                             picture.pixels.get() + picture.byteCount());
        testing::internal::CaptureStderr();
        const Texture texture(std::move(picture));
        testing::internal::GetCapturedStderr();
        ASSERT_TRUE(texture.sharedExponent);
        EXPECT_EQ(texture.radianceShift, brightest - 144) << brightest;

        glBindTexture(GL_TEXTURE_2D, texture.glTextures[0]);
        std::vector<float> values(256 * 4 * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, values.data());
        const std::vector<std::uint8_t> back = readTexels(texture, GL_TEXTURE_2D, 0, 256 * 4, 4);
        for (std::size_t i = 0; i < 256 * 4; ++i) {
            const std::uint8_t* in = &rgbe[i * 4];
            const std::uint8_t* out = &back[i * 4];
            const int e = in[3];
            for (int c = 0; c < 3; ++c) {
                const double radiance = e == 0 ? 0.0 : std::ldexp(in[c], e - 136);
                const double card = std::ldexp(values[i * 3 + c], texture.radianceShift);
                const double decoded = out[3] == 0 ? 0.0 : std::ldexp(out[c], out[3] - 136);
                if (e >= brightest - 31) {
                    ASSERT_EQ(card, radiance) << brightest << " texel " << i;
                    ASSERT_EQ(out[c], e == 0 ? 0 : in[c]) << brightest << " texel " << i;
                } else {
                    // Rounded to the 9-bit steps of the faintest texels.
                    const double step = std::ldexp(1.0, brightest - 144 - 24);
                    ASSERT_LE(std::abs(card - radiance), 0.5 * step) << brightest << " " << i;
                    ASSERT_EQ(decoded, card) << brightest << " texel " << i;
                }
            }
        }
    }
}

TEST(TextureLevels, RadianceAboveTheShiftSaturates) {
    const unsigned char bright[4] = {200, 100, 50, 160};
    std::uint32_t texel = 0;
    packSharedExponent(bright, &texel, 1, 0);
    EXPECT_EQ(texel >> 27, 31u);
    EXPECT_EQ(sharedExponentShift(bright, 1), 160 - 144);
    const unsigned char black[4] = {0, 0, 0, 0};
    EXPECT_EQ(sharedExponentShift(black, 1), 0);
    // A picture's worth of pixels, scanned in blocks on several threads: the brightest counts
    // wherever it is, in the last and partial block too.
    std::vector<unsigned char> many((3 * 262144 + 5) * 4, 0);
    many[4 * 262144 + 3] = 150;
    many.back() = 170;
    EXPECT_EQ(sharedExponentShift(many.data(), many.size() / 4), 170 - 144);
    many.back() = 0;
    EXPECT_EQ(sharedExponentShift(many.data(), many.size() / 4), 150 - 144);
    // The faintest pictures' shift: exponent byte 0 stays black whatever its mantissas (its
    // exponent would fall in the texels' range), and the brightest pixel stays exact. Nine
    // pixels, so that a vector loop and its remainder both see them.
    std::vector<unsigned char> faint;
    for (int i = 0; i < 9; ++i) {
        faint.insert(faint.end(), {255, 9, 3, 0, 128, 64, 2, 24});
    }
    std::vector<std::uint32_t> texels(18, 1u);
    packSharedExponent(faint.data(), texels.data(), 18, -120);
    for (int i = 0; i < 18; i += 2) {
        EXPECT_EQ(texels[i], 0u) << i;
        EXPECT_EQ(unpackSharedExponent(texels[i + 1], -120),
                  (std::array<unsigned char, 4>{128, 64, 2, 24}))
            << i;
    }
}

// A buffer made ahead (on another thread in the viewer) carries the same slices; it is as
// large as the levels, or UploadBuffer::largest for larger pictures, which no step then
// exceeds.
TEST(TextureLevels, UploadsThroughABufferMadeAheadAndBoundedSteps) {
    std::vector<Picture> levels = mipLevels(patternPicture(300, 70, PixelEncoding::Rgbe));
    Texture sliced(levels, Texture::Texels::Later);
    std::size_t all = 0;
    for (const Picture& level : levels) {
        all += level.byteCount();
    }
    EXPECT_EQ(UploadBuffer::bytesFor(sliced), all);
    auto buffer = std::make_unique<UploadBuffer>(UploadBuffer::bytesFor(sliced));
    TextureUpload upload(sliced, std::move(levels), std::move(buffer));
    while (!upload.step(20000)) {
    }
    const Texture whole(mipLevels(patternPicture(300, 70, PixelEncoding::Rgbe)));
    expectSameTexels(sliced, whole, GL_RGBA);

    std::vector<Picture> large = mipLevels(patternPicture(2400, 2300, PixelEncoding::Rgbe));
    ASSERT_GT(large.front().byteCount(), UploadBuffer::largest);
    Texture big(large, Texture::Texels::Later);
    EXPECT_EQ(UploadBuffer::bytesFor(big), UploadBuffer::largest);
    TextureUpload bounded(big, std::move(large));
    while (!bounded.done()) {
        const std::size_t before = bounded.bytesSent();
        bounded.step(std::size_t{1} << 30);
        EXPECT_LE(bounded.bytesSent() - before, UploadBuffer::largest);
    }
}
