// PNG files of every colour type and depth, with and without tRNS, interlaced or not, written
// with libpng here and read back through readPicture as 8-bit RGB.
#include "PictureReadUtil.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>
#include <png.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using PngReader = RgbeFiles;

constexpr int width = 7;
constexpr int height = 5;

// The colour type and depth of a file, with the samples it holds.
struct Layout {
    const char* name;
    int colour;
    int depth;
    bool transparency;
};

int channelsOf(int colour) {
    switch (colour) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
        return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    default:
        return 4;
    }
}

// Sample c of pixel (x, y), below 2^depth, different in each place and channel.
unsigned sampleAt(int x, int y, int c, int depth) {
    return static_cast<unsigned>(x * 5 + y * 11 + c * 3 + (x * y) % 7) % (1u << depth);
}

// 16-bit samples are multiples of 257 so that they scale to 8 bits exactly.
unsigned storedAt(int x, int y, int c, int depth) {
    return depth == 16 ? sampleAt(x, y, c, 8) * 257u : sampleAt(x, y, c, depth);
}

Bytes paletteColour(unsigned index) {
    return {static_cast<unsigned char>(index * 13 + 7), static_cast<unsigned char>(255 - index),
            static_cast<unsigned char>(index * 97 % 256)};
}

// The 8-bit RGB the viewer should show: greys widened to 8 bits, palette entries' colours,
// 16 bits scaled; alpha and tRNS dropped.
Bytes expectedPixel(const Layout& layout, int x, int y) {
    if (layout.colour == PNG_COLOR_TYPE_PALETTE) {
        return paletteColour(sampleAt(x, y, 0, layout.depth));
    }
    const int depth = layout.depth;
    const auto eight = [&](int c) {
        const unsigned value = sampleAt(x, y, c, depth == 16 ? 8 : depth);
        return static_cast<unsigned char>(depth >= 8 ? value : value * 255u / ((1u << depth) - 1));
    };
    if ((layout.colour & PNG_COLOR_MASK_COLOR) == 0) {
        return Bytes(3, eight(0));
    }
    return {eight(0), eight(1), eight(2)};
}

void writePng(const std::string& path, const Layout& layout, bool interlaced) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"),
                                                            &std::fclose);
    ASSERT_TRUE(file);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, layout.depth, layout.colour,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (unsigned i = 0; i < (1u << layout.depth) && layout.colour == PNG_COLOR_TYPE_PALETTE; ++i) {
        const Bytes colour = paletteColour(i);
        palette.push_back({colour[0], colour[1], colour[2]});
    }
    if (!palette.empty()) {
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    }
    if (layout.transparency) {
        // Entries 0 and 1 clear and half clear; for the others one grey or colour is clear.
        const png_byte alphas[2] = {0, 128};
        png_color_16 key{};
        key.gray = static_cast<png_uint_16>(storedAt(1, 1, 0, layout.depth));
        key.red = static_cast<png_uint_16>(storedAt(1, 1, 0, layout.depth));
        key.green = static_cast<png_uint_16>(storedAt(1, 1, 1, layout.depth));
        key.blue = static_cast<png_uint_16>(storedAt(1, 1, 2, layout.depth));
        png_set_tRNS(png, info, alphas, 2, &key);
    }
    png_write_info(png, info);

    // Rows packed as the file holds them: samples of under 8 bits from the high bit down,
    // 16-bit ones big-endian.
    const int channels = channelsOf(layout.colour);
    const std::size_t rowBytes =
        (static_cast<std::size_t>(width) * channels * layout.depth + 7) / 8;
    std::vector<Bytes> rows(height, Bytes(rowBytes, 0));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const unsigned value = storedAt(x, y, c, layout.depth);
                const std::size_t bit = static_cast<std::size_t>(x * channels + c) * layout.depth;
                if (layout.depth == 16) {
                    rows[y][bit / 8] = static_cast<unsigned char>(value >> 8);
                    rows[y][bit / 8 + 1] = static_cast<unsigned char>(value);
                } else {
                    rows[y][bit / 8] |=
                        static_cast<unsigned char>(value << (8 - layout.depth - bit % 8));
                }
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (Bytes& row : rows) {
        pointers.push_back(row.data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
}

// A palette PNG with tRNS was refused ("256 bytes a row, not 192"): expanding the palette made
// alpha of it, which was not stripped.
TEST_F(PngReader, EveryColourTypeAndDepthGivesItsPixels) {
    const std::vector<Layout> layouts = {
        {"grey1", PNG_COLOR_TYPE_GRAY, 1, false},
        {"grey2", PNG_COLOR_TYPE_GRAY, 2, false},
        {"grey4", PNG_COLOR_TYPE_GRAY, 4, false},
        {"grey8", PNG_COLOR_TYPE_GRAY, 8, false},
        {"grey16", PNG_COLOR_TYPE_GRAY, 16, false},
        {"grey1-trns", PNG_COLOR_TYPE_GRAY, 1, true},
        {"grey2-trns", PNG_COLOR_TYPE_GRAY, 2, true},
        {"grey4-trns", PNG_COLOR_TYPE_GRAY, 4, true},
        {"grey8-trns", PNG_COLOR_TYPE_GRAY, 8, true},
        {"grey16-trns", PNG_COLOR_TYPE_GRAY, 16, true},
        {"grey-alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
        {"grey-alpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, false},
        {"palette1", PNG_COLOR_TYPE_PALETTE, 1, false},
        {"palette2", PNG_COLOR_TYPE_PALETTE, 2, false},
        {"palette4", PNG_COLOR_TYPE_PALETTE, 4, false},
        {"palette8", PNG_COLOR_TYPE_PALETTE, 8, false},
        {"palette1-trns", PNG_COLOR_TYPE_PALETTE, 1, true},
        {"palette2-trns", PNG_COLOR_TYPE_PALETTE, 2, true},
        {"palette4-trns", PNG_COLOR_TYPE_PALETTE, 4, true},
        {"palette8-trns", PNG_COLOR_TYPE_PALETTE, 8, true},
        {"rgb8", PNG_COLOR_TYPE_RGB, 8, false},
        {"rgb16", PNG_COLOR_TYPE_RGB, 16, false},
        {"rgb8-trns", PNG_COLOR_TYPE_RGB, 8, true},
        {"rgb16-trns", PNG_COLOR_TYPE_RGB, 16, true},
        {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false},
        {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false},
    };
    for (const Layout& layout : layouts) {
        for (const bool interlaced : {false, true}) {
            const std::string file =
                path(std::string(layout.name) + (interlaced ? "-adam7" : "") + ".png");
            writePng(file, layout, interlaced);
            Picture picture;
            try {
                picture = quietRead(file);
            } catch (const std::runtime_error& error) {
                ADD_FAILURE() << error.what();
                continue;
            }
            ASSERT_EQ(picture.encoding, PixelEncoding::Rgb8) << file;
            ASSERT_EQ(picture.width, width) << file;
            ASSERT_EQ(picture.height, height) << file;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const unsigned char* p =
                        picture.pixels.get() + (static_cast<std::size_t>(y) * width + x) * 3;
                    EXPECT_EQ(Bytes(p, p + 3), expectedPixel(layout, x, y))
                        << file << " at " << x << "," << y;
                }
            }
        }
    }
}

} // namespace
