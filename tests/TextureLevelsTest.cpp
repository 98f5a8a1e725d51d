// Ready-made mip levels, as the viewer's loading thread makes them, go up like a picture
// whose levels the upload makes itself.
#include "MipLevel.h"
#include "Texture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
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
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height *
                                    (format == GL_RGBA ? 4 : 3));
    glBindTexture(GL_TEXTURE_2D, texture.glTextures[0]);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, level, format, GL_UNSIGNED_BYTE, bytes.data());
    return bytes;
}

} // namespace

TEST(TextureLevels, ReadyLevelsMatchLevelsMadeByTheUploadAndAreReleased) {
    ASSERT_TRUE(Texture::mipmapped()) << "the test context is OpenGL 3 or later";
    for (const PixelEncoding encoding : {PixelEncoding::Rgbe, PixelEncoding::Rgb8}) {
        const GLenum format = encoding == PixelEncoding::Rgbe ? GL_RGBA : GL_RGB;
        testing::internal::CaptureStderr();
        const Texture made(patternPicture(300, 70, encoding));
        std::vector<Picture> levels = mipLevels(patternPicture(300, 70, encoding));
        const Texture ready(std::move(levels));
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(levels.empty() || levels[0].pixels || levels[5].pixels)
            << "every level but the last is let go during the upload";
        EXPECT_EQ(ready.levels, made.levels);
        EXPECT_EQ(ready.width, 300);
        EXPECT_EQ(ready.height, 70);
        EXPECT_EQ(ready.hdr, made.hdr);
        EXPECT_EQ(ready.scaleMax, 4.0);
        EXPECT_EQ(ready.layer, "beauty");
        for (const auto& [level, w, h] : {std::tuple{0, 300, 70}, std::tuple{2, 75, 17},
                                          std::tuple{8, 1, 1}}) {
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
