#include "MipLevel.h"
#include "TexelReadback.h"
#include "Texture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Every pixel says where it is, so misplaced columns or rows show in a comparison.
std::vector<std::uint8_t> positionPattern(int width, int height) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    std::uint8_t* p = pixels.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, p += 4) {
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(x >> 8);
            p[2] = static_cast<std::uint8_t>(y);
            p[3] = static_cast<std::uint8_t>(y >> 8);
        }
    }
    return pixels;
}

std::vector<std::uint8_t> readPiece(GLuint name, int width, int height) {
    std::vector<std::uint8_t> texels(static_cast<std::size_t>(width) * height * 4);
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
    return texels;
}

// Columns [x0, x0 + w) of every row of a width-wide RGBA picture.
std::vector<std::uint8_t> columns(const std::vector<std::uint8_t>& pixels, int width, int height,
                                  int x0, int w) {
    std::vector<std::uint8_t> part(static_cast<std::size_t>(w) * height * 4);
    for (int y = 0; y < height; ++y) {
        std::memcpy(&part[static_cast<std::size_t>(y) * w * 4],
                    &pixels[(static_cast<std::size_t>(y) * width + x0) * 4],
                    static_cast<std::size_t>(w) * 4);
    }
    return part;
}

std::string sizeError(int width, int height) {
    try {
        Texture texture(width, height, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8,
                        GL_RGBA);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

GLint activeUnit() {
    GLint unit = 0;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
    return unit;
}

GLuint boundOn(GLenum unit) {
    glActiveTexture(unit);
    GLint name = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &name);
    return static_cast<GLuint>(name);
}

} // namespace

TEST(Texture, CardLimitIsLargeEnoughForTheseTests) {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    ASSERT_GE(max, 16384) << "the split tests assume a limit above 8192";
}

TEST(Texture, WidePictureIsTwoPiecesHoldingTheTwoHalves) {
    const int width = 16384;
    const int height = 8192;
    const std::vector<std::uint8_t> pixels = positionPattern(width, height);
    Texture texture(width, height, pixels.data(), GL_RGBA8, GL_RGBA);
    ASSERT_EQ(texture.numTextures, 2);
    EXPECT_EQ(texture.width, width);
    EXPECT_EQ(texture.height, height);
    EXPECT_EQ(texture.texWidth, 8192);
    EXPECT_EQ(texture.texHeight, 8192);
    EXPECT_TRUE(readPiece(texture.glTextures[0], 8192, 8192) ==
                columns(pixels, width, height, 0, 8192));
    EXPECT_TRUE(readPiece(texture.glTextures[1], 8192, 8192) ==
                columns(pixels, width, height, 8192, 8192));
    // The caller's pixel-store state is as it was.
    GLint rowLength = -1;
    glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
    EXPECT_EQ(rowLength, 0);
}

TEST(Texture, OddWidthAboveTheLimitDropsTheLastColumn) {
    const int width = 8193;
    const int height = 3;
    const std::vector<std::uint8_t> pixels = positionPattern(width, height);
    Texture texture(width, height, pixels.data(), GL_RGBA8, GL_RGBA);
    ASSERT_EQ(texture.numTextures, 2);
    EXPECT_EQ(texture.texWidth, 4096);
    EXPECT_TRUE(readPiece(texture.glTextures[0], 4096, height) ==
                columns(pixels, width, height, 0, 4096));
    EXPECT_TRUE(readPiece(texture.glTextures[1], 4096, height) ==
                columns(pixels, width, height, 4096, 4096));
}

TEST(Texture, SplitOffsetCountsChannelsAndComponentSize) {
    const int width = 8200;
    std::vector<float> rgb(static_cast<std::size_t>(width) * 3);
    for (int x = 0; x < width; ++x) {
        rgb[x * 3] = static_cast<float>(x);
        rgb[x * 3 + 1] = 0.5f;
        rgb[x * 3 + 2] = -1.0f;
    }
    Texture texture(width, 1, rgb.data(), GL_RGB32F_ARB, GL_RGB);
    ASSERT_EQ(texture.numTextures, 2);
    std::vector<float> right(static_cast<std::size_t>(texture.texWidth) * 3);
    glBindTexture(GL_TEXTURE_2D, texture.glTextures[1]);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, right.data());
    EXPECT_EQ(right[0], 4100.0f);
    EXPECT_EQ(right[1], 0.5f);
    EXPECT_EQ(right.back(), -1.0f);
    EXPECT_EQ(right[right.size() - 3], 8199.0f);
}

TEST(Texture, NarrowPictureIsOnePiece) {
    const std::vector<std::uint8_t> pixels = positionPattern(8192, 2);
    Texture texture(8192, 2, pixels.data(), GL_RGBA8, GL_RGBA);
    EXPECT_EQ(texture.numTextures, 1);
    EXPECT_EQ(texture.texWidth, 8192);
    EXPECT_TRUE(readPiece(texture.glTextures[0], 8192, 2) == pixels);
}

TEST(Texture, TooLargePicturesThrowTheSizeError) {
    EXPECT_EQ(sizeError(16385, 8192),
              "Maximum texture size of GPU is too small (16385x8192 > 8192)");
    EXPECT_EQ(sizeError(100, 8193), "Maximum texture size of GPU is too small (100x8193 > 8192)");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(Texture, RowsArePackedAndTheCallersAlignmentIsKept) {
    // Three RGB pixels a row: 9 bytes, which a 4-byte alignment would misread.
    const std::uint8_t rgb[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    Texture texture(3, 2, rgb, GL_RGB8, GL_RGB);
    GLint alignment = 0;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    EXPECT_EQ(alignment, 4);
    std::uint8_t back[18] = {};
    glBindTexture(GL_TEXTURE_2D, texture.glTextures[0]);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, back);
    EXPECT_EQ(std::memcmp(back, rgb, sizeof rgb), 0);
}

TEST(Texture, HdrFollowsTheInternalFormat) {
    const auto hdrFor = [](GLint internalFormat) {
        return Texture(2, 2, static_cast<const std::uint8_t*>(nullptr), internalFormat, GL_RGBA)
            .hdr;
    };
    EXPECT_TRUE(hdrFor(GL_RGBA8));
    EXPECT_TRUE(hdrFor(GL_RGB16F_ARB));
    EXPECT_FALSE(hdrFor(GL_RGB8));
    EXPECT_FALSE(hdrFor(GL_RGBA16F_ARB));
    EXPECT_FALSE(hdrFor(GL_RGB32F_ARB));
}

TEST(Texture, GlTypeOfEachElementType) {
    Texture texture(1, 1, static_cast<const std::uint8_t*>(nullptr), GL_RGB8, GL_RGB);
    EXPECT_EQ(texture.glType(static_cast<const float*>(nullptr)), 0x1406u);
    EXPECT_EQ(texture.glType(static_cast<const unsigned short*>(nullptr)), 0x1403u);
    EXPECT_EQ(texture.glType(static_cast<const unsigned char*>(nullptr)), 0x1401u);
    EXPECT_EQ(texture.scaleMean, 0.0);
    EXPECT_EQ(texture.scaleMin, 0.0);
    EXPECT_EQ(texture.scaleMax, 0.0);
}

TEST(Texture, BindUsesConsecutiveUnitsAndLeavesTheFirstActive) {
    Texture split(8194, 1, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
    Texture single(4, 4, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
    EXPECT_EQ(split.bind(GL_TEXTURE0), static_cast<unsigned>(GL_TEXTURE0 + 2));
    EXPECT_EQ(activeUnit(), GL_TEXTURE0);
    EXPECT_EQ(single.bind(GL_TEXTURE2), static_cast<unsigned>(GL_TEXTURE3));
    EXPECT_EQ(activeUnit(), GL_TEXTURE2);
    EXPECT_EQ(boundOn(GL_TEXTURE0), split.glTextures[0]);
    EXPECT_EQ(boundOn(GL_TEXTURE1), split.glTextures[1]);
    EXPECT_EQ(boundOn(GL_TEXTURE2), single.glTextures[0]);
    glActiveTexture(GL_TEXTURE0);
}

TEST(Texture, FramebufferIsMadeOnceAndRendersIntoTheTexture) {
    Texture texture(8, 4, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
    EXPECT_EQ(texture.framebuffer, 0u);
    texture.bindFB();
    const GLuint first = texture.framebuffer;
    EXPECT_NE(first, 0u);
    glClearColor(1.0f, 0.0f, 1.0f, 1.0f);
    texture.clear();
    EXPECT_EQ(texture.framebuffer, first);
    GLint bound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), first);
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 8);
    EXPECT_EQ(viewport[3], 4);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    const std::vector<std::uint8_t> texels = readPiece(texture.glTextures[0], 8, 4);
    EXPECT_EQ(texels[0], 255);
    EXPECT_EQ(texels[1], 0);
    EXPECT_EQ(texels[2], 255);
}

TEST(Texture, DestructorReleasesPiecesAndFramebuffer) {
    GLuint pieces[2] = {};
    GLuint framebuffer = 0;
    {
        Texture texture(8193, 1, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
        texture.bindFB();
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        pieces[0] = texture.glTextures[0];
        pieces[1] = texture.glTextures[1];
        framebuffer = texture.framebuffer;
        ASSERT_TRUE(glIsTexture(pieces[0]) && glIsTexture(pieces[1]));
        ASSERT_TRUE(glIsFramebufferEXT(framebuffer));
    }
    EXPECT_FALSE(glIsTexture(pieces[0]));
    EXPECT_FALSE(glIsTexture(pieces[1]));
    EXPECT_FALSE(glIsFramebufferEXT(framebuffer));
}

TEST(Texture, FailedUploadReleasesWhatWasMadeAndRestoresPixelStore) {
    // Names come out in sequence here, so the ones a failed setup took can be predicted.
    GLuint probe[2] = {};
    glGenTextures(2, probe);
    ASSERT_EQ(probe[1], probe[0] + 1);
    glDeleteTextures(2, probe);
    GLuint before = 0;
    glGenTextures(1, &before);

    // GL refuses an unknown pixel format, so the first piece fails.
    std::vector<std::uint8_t> pixels(8200 * 4);
    EXPECT_THROW(Texture(8200, 1, pixels.data(), GL_RGBA8, 0x1234), std::runtime_error);
    EXPECT_FALSE(glIsTexture(before + 1));
    GLint depth = -1;
    glGetIntegerv(GL_CLIENT_ATTRIB_STACK_DEPTH, &depth);
    EXPECT_EQ(depth, 0);
    GLint rowLength = -1;
    glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
    EXPECT_EQ(rowLength, 0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    glDeleteTextures(1, &before);
}

namespace {

std::vector<std::uint8_t> readLevel(const Texture& texture, int level, int width, int height,
                                    GLenum format) {
    glBindTexture(GL_TEXTURE_2D, texture.glTextures[0]);
    GLint w = 0;
    GLint h = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &h);
    EXPECT_EQ(w, width) << "level " << level;
    EXPECT_EQ(h, height) << "level " << level;
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    std::vector<std::uint8_t> texels =
        readTexels(texture, GL_TEXTURE_2D, level, static_cast<std::size_t>(width) * height,
                   format == GL_RGBA ? 4 : 3);
    glPopClientAttrib();
    return texels;
}

Picture patternPicture(int width, int height, PixelEncoding encoding) {
    Picture picture;
    picture.allocate(width, height, encoding);
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        picture.pixels[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    }
    if (encoding == PixelEncoding::Rgbe) {
        for (std::size_t i = 3; i < picture.byteCount(); i += 4) {
            picture.pixels[i] = static_cast<std::uint8_t>(120 + i % 16);
        }
    }
    picture.scale = {0.5, 0.25, 4.0};
    return picture;
}

} // namespace

// Pictures go whole to the card, beyond the 8192 of render targets, with every smaller level
// made by halvePicture, and the moving form lets go of the picture's bytes.
TEST(Texture, PicturesCarryTheirWholeMipPyramid) {
    ASSERT_TRUE(Texture::mipmapped()) << "the test context is OpenGL 3 or later";
    for (const PixelEncoding encoding : {PixelEncoding::Rgbe, PixelEncoding::Rgb8}) {
        Picture picture = patternPicture(12000, 5, encoding);
        const GLenum format = encoding == PixelEncoding::Rgbe ? GL_RGBA : GL_RGB;
        const std::vector<std::uint8_t> original(picture.pixels.get(),
                                                 picture.pixels.get() + picture.byteCount());
        Picture level1 = halvePicture(picture);
        const Picture level2 = halvePicture(level1);

        testing::internal::CaptureStderr();
        const Texture texture(std::move(picture));
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(picture.pixels) << "released once level 1 was made";
        EXPECT_EQ(texture.numTextures, 1);
        EXPECT_EQ(texture.width, 12000);
        EXPECT_EQ(texture.texWidth, 12000);
        EXPECT_EQ(texture.levels, 14);
        EXPECT_EQ(texture.hdr, encoding == PixelEncoding::Rgbe);
        EXPECT_DOUBLE_EQ(texture.scaleMean, 0.5);
        EXPECT_TRUE(readLevel(texture, 0, 12000, 5, format) == original);
        EXPECT_TRUE(readLevel(texture, 2, 3000, 1, format) ==
                    std::vector<std::uint8_t>(level2.pixels.get(),
                                              level2.pixels.get() + level2.byteCount()));
        readLevel(texture, 13, 1, 1, format);
    }
}

TEST(Texture, PicturesBeyondTheCardFailBeforeAnyUpload) {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    EXPECT_EQ(Texture::sizeLimit().pieceLimit, max);
    Picture picture;
    picture.width = 2 * max + 1;
    picture.height = 1;
    picture.encoding = PixelEncoding::Rgb8;
    try {
        Texture texture(picture);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Maximum texture size of GPU is too small (" +
                                                 std::to_string(2 * max + 1) + "x1 > " +
                                                 std::to_string(max) + ")");
    }
}

// Wider than the card: level 0 in tiles, the layers of an array texture; level 1 on in one.
TEST(Texture, PicturesBeyondTheCardGoInTilesBelowOneSmallerTexture) {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    const int width = max + 3616;
    Picture picture = patternPicture(width, 3, PixelEncoding::Rgbe);
    const std::vector<std::uint8_t> original(picture.pixels.get(),
                                             picture.pixels.get() + picture.byteCount());
    const Picture level1 = halvePicture(picture);

    testing::internal::CaptureStderr();
    const Texture texture(picture);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(texture.tileLevels, 1);
    EXPECT_EQ(texture.numTextures, 2);
    EXPECT_EQ(texture.levels, mipLevelCount(width, 3));
    // Powers of two waste least here: five tiles of 4096 for max + 3616 = 20000.
    ASSERT_EQ(max, 16384) << "the tile sizes below assume this card";
    EXPECT_EQ(texture.texWidth, 4096);
    EXPECT_EQ(texture.texHeight, 3);
    EXPECT_EQ(texture.tileColumns, 5);
    EXPECT_EQ(texture.tileRows, 1);

    glBindTexture(GL_TEXTURE_2D_ARRAY, texture.glTextures[1]);
    const std::vector<std::uint8_t> layers =
        readTexels(texture, GL_TEXTURE_2D_ARRAY, 0, static_cast<std::size_t>(4096) * 3 * 5, 4);
    for (int tile = 0; tile < 5; ++tile) {
        const int w = std::min(4096, width - tile * 4096);
        const std::vector<std::uint8_t> layer(layers.begin() + tile * 4096 * 3 * 4,
                                              layers.begin() + (tile + 1) * 4096 * 3 * 4);
        EXPECT_TRUE(columns(layer, 4096, 3, 0, w) == columns(original, width, 3, tile * 4096, w))
            << "tile " << tile;
    }
    EXPECT_TRUE(
        readLevel(texture, 0, level1.width, 1, GL_RGBA) ==
        std::vector<std::uint8_t>(level1.pixels.get(), level1.pixels.get() + level1.byteCount()));

    // Twice the card's limit each way is the most a picture may be.
    EXPECT_NO_THROW(Texture::sizeLimit().check(2L * max, 2L * max));
    EXPECT_THROW(Texture::sizeLimit().check(2L * max + 1, 1), std::runtime_error);
}
