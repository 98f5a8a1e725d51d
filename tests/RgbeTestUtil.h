#pragma once

#include "rgbe.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
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

// What a read comes to: the picture, or the error's text.
struct RgbeOutcome {
    int width = 0;
    int height = 0;
    Bytes pixels;
    std::string error;

    bool operator==(const RgbeOutcome& other) const {
        return width == other.width && height == other.height && pixels == other.pixels &&
               error == other.error;
    }
};

inline RgbeOutcome readOutcome(const std::string& file, unsigned threads) {
    RgbeOutcome outcome;
    try {
        rgbe::ReadOptions options;
        options.threads = threads;
        const Picture p = rgbe::readPicture(file, options);
        outcome.width = p.width;
        outcome.height = p.height;
        outcome.pixels.assign(p.pixels.get(), p.pixels.get() + p.byteCount());
    } catch (const std::runtime_error& e) {
        outcome.error = e.what();
    }
    return outcome;
}

// The same through a FIFO, which takes the streaming decoder; the error names the FIFO.
inline RgbeOutcome readOutcomeFromFifo(const std::string& file, const std::string& fifo) {
    const Bytes bytes = RgbeFiles::contents(file);
    std::filesystem::remove(fifo);
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        ADD_FAILURE() << "mkfifo " << fifo;
        return {};
    }
    // A reader that gives up early must not kill the writer.
    std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    });
    RgbeOutcome outcome = readOutcome(fifo, 0);
    writer.join();
    return outcome;
}

// Every thread count gives what one thread gives; so does the streaming decoder, unless the
// file is too short, which only a regular file shows before decoding.
inline void expectSameOnEveryRoad(const std::string& file, const std::string& fifo) {
    const RgbeOutcome one = readOutcome(file, 1);
    for (const unsigned threads : {0u, 2u, 3u, 8u}) {
        EXPECT_TRUE(readOutcome(file, threads) == one) << file << ", " << threads << " threads";
    }
    RgbeOutcome streamed = readOutcomeFromFifo(file, fifo);
    const size_t named = streamed.error.find(fifo);
    if (named != std::string::npos) {
        streamed.error.replace(named, fifo.size(), file);
    }
    if (one.error.rfind("Truncated", 0) != 0) {
        EXPECT_TRUE(streamed == one) << file << " through a FIFO: " << streamed.error;
    } else {
        EXPECT_EQ(streamed.error.rfind("Truncated", 0), 0u) << streamed.error;
    }
}

// Our PPM: "P6", the creator line, the size, 255, then the bytes.
inline Bytes readPpm(const std::string& file, int& width, int& height) {
    const Bytes bytes = RgbeFiles::contents(file);
    std::istringstream header(std::string(bytes.begin(), bytes.end()));
    std::string magic, creator;
    int max = 0;
    std::getline(header, magic);
    std::getline(header, creator);
    header >> width >> height >> max;
    header.get();
    const std::size_t start = static_cast<std::size_t>(header.tellg());
    if (magic != "P6" || max != 255 ||
        bytes.size() != start + 3 * static_cast<std::size_t>(width) * height) {
        ADD_FAILURE() << "not our PPM: " << file;
        return {};
    }
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
}
