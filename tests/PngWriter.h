#pragma once

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// An RGB PNG of 8 or 16 bits without colour chunks, for the encoders the reader tests run:
// pixelAt gives each pixel's codes in that depth.
using PngPixelAt = std::function<std::array<std::uint16_t, 3>(int x, int y)>;

inline void writeRgbPng(const std::string& path, int width, int height, int depth,
                        const PngPixelAt& pixelAt) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"),
                                                            &std::fclose);
    ASSERT_TRUE(file);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, depth, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row;
    for (int y = 0; y < height; ++y) {
        row.clear();
        for (int x = 0; x < width; ++x) {
            for (std::uint16_t c : pixelAt(x, y)) {
                if (depth == 16) {
                    row.push_back(static_cast<png_byte>(c >> 8));
                }
                row.push_back(static_cast<png_byte>(c & 0xff));
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}
