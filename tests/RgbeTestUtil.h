#pragma once

#include "rgbe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A fresh folder per test, removed afterwards.
class RgbeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              (std::string("rgbe-") + info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

public:
    std::string path(const std::string& name) const { return (dir / name).string(); }

    std::string put(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }

    static Bytes contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path dir;
};

struct RgbePicture {
    int width = 0;
    int height = 0;
    Bytes pixels;
};

// Reads through rgbe::read, owning the result.
inline RgbePicture readRgbe(const std::string& file) {
    RgbePicture p;
    std::unique_ptr<unsigned char[]> data(rgbe::read(file, p.width, p.height));
    p.pixels.assign(data.get(), data.get() + 4 * size_t(p.width) * size_t(p.height));
    return p;
}

// Each component changes with its own chance per pixel: noise in R, long runs in E, so both
// packet kinds and every run length occur.
inline Bytes mixedPixels(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    const unsigned changeOneIn[4] = {1, 3, 20, 200};
    Bytes pixels(4 * size_t(width) * size_t(height));
    for (size_t k = 0; k < 4; ++k) {
        unsigned char value = 0;
        for (size_t i = k; i < pixels.size(); i += 4) {
            if (random() % changeOneIn[k] == 0) {
                value = static_cast<unsigned char>(random());
            }
            pixels[i] = value;
        }
    }
    return pixels;
}

inline std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

inline std::string readError(const std::string& file) {
    return errorOf([&] { readRgbe(file); });
}
