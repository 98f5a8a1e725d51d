// Times rgbe::read, rgbe::readPicture (one thread; all cores with the exponent counts),
// rgbe::write and rgbe::stats against stbi_loadf and copies into a fresh buffer and into one
// advised for huge pages, repetitions interleaved, and prints medians and ratios. Run by
// run-rgbe-bench.sh.
//
//   rgbe-bench FOLDER [REPETITIONS]   (FOLDER holds im-2048.hdr and im-8192.hdr)

#include "PixelMemory.h"
#include "rgbe.h"

#include <stb/stb_image.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

double seconds(const std::function<void()>& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Size {
    std::string name;
    std::string imageMagick;
    std::string ours;
    std::string scratch;
    int width = 0;
    int height = 0;
    std::unique_ptr<unsigned char[]> pixels;
    std::map<std::string, std::vector<double>> times;
};

volatile unsigned char sink;

void readOnce(const std::string& file) {
    int w = 0;
    int h = 0;
    std::unique_ptr<unsigned char[]> p(rgbe::read(file, w, h));
    sink = p[size_t(w) * size_t(h) * 2];
}

// The pixels of one decode; threads 0 takes every core and gathers the exponent counts.
Picture decodeOnce(const std::string& file, unsigned threads) {
    rgbe::ExponentCounts counts{};
    rgbe::ReadOptions options;
    options.threads = threads;
    if (threads == 0) {
        options.counts = &counts;
        options.statsStride = 1;
    }
    Picture picture = rgbe::readPicture(file, options);
    if (threads == 0) {
        sink = static_cast<unsigned char>(rgbe::stats(counts).max);
    }
    sink = picture.pixels[picture.byteCount() / 2];
    return picture;
}

bool samePixels(const Picture& a, const Picture& b) {
    return a.width == b.width && a.height == b.height &&
           std::memcmp(a.pixels.get(), b.pixels.get(), a.byteCount()) == 0;
}

void stbOnce(const std::string& file) {
    int w = 0;
    int h = 0;
    int n = 0;
    std::unique_ptr<float, decltype(&stbi_image_free)> p(stbi_loadf(file.c_str(), &w, &h, &n, 3),
                                                         &stbi_image_free);
    if (!p) {
        throw std::runtime_error("stbi_loadf failed on " + file);
    }
    sink = static_cast<unsigned char>(p.get()[size_t(w) * size_t(h)]);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [REPETITIONS]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const int repetitions = argc > 2 ? std::max(5, std::atoi(argv[2])) : 7;
    // A fixed threshold keeps glibc from recycling freed buffers of these sizes, so that every
    // buffer, the reader's and the copy's, is fresh memory.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // The statistics lines of every call would swamp the table.
    std::streambuf* cerrBuffer = std::cerr.rdbuf(nullptr);
    try {
        std::vector<Size> sizes;
        for (const std::string name : {"2048", "8192"}) {
            Size s;
            s.name = name;
            s.imageMagick = folder + "/im-" + name + ".hdr";
            s.ours = folder + "/ours-" + name + ".hdr";
            s.scratch = folder + "/scratch-" + name + ".hdr";
            s.pixels.reset(rgbe::read(s.imageMagick, s.width, s.height));
            rgbe::write(s.ours, s.width, s.height, s.pixels.get(), true);
            const Picture one = decodeOnce(s.imageMagick, 1);
            const Picture all = decodeOnce(s.imageMagick, 0);
            if (!samePixels(one, all) ||
                std::memcmp(one.pixels.get(), s.pixels.get(), one.byteCount()) != 0) {
                throw std::runtime_error("decodes of " + s.imageMagick + " differ");
            }
            sizes.push_back(std::move(s));
        }
        for (int r = 0; r < repetitions; ++r) {
            for (Size& s : sizes) {
                const size_t bytes = 4 * size_t(s.width) * size_t(s.height);
                s.times["memcpy"].push_back(seconds([&] {
                    std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes]);
                    std::memcpy(copy.get(), s.pixels.get(), bytes);
                    sink = copy[bytes / 2];
                }));
                s.times["memcpy huge"].push_back(seconds([&] {
                    const PixelBuffer copy = allocatePixels(bytes);
                    std::memcpy(copy.get(), s.pixels.get(), bytes);
                    sink = copy[bytes / 2];
                }));
                s.times["decode 1"].push_back(seconds([&] { decodeOnce(s.imageMagick, 1); }));
                s.times["decode all"].push_back(seconds([&] { decodeOnce(s.imageMagick, 0); }));
                s.times["read im"].push_back(seconds([&] { readOnce(s.imageMagick); }));
                s.times["read ours"].push_back(seconds([&] { readOnce(s.ours); }));
                s.times["stbi im"].push_back(seconds([&] { stbOnce(s.imageMagick); }));
                s.times["stbi ours"].push_back(seconds([&] { stbOnce(s.ours); }));
                s.times["stats"].push_back(seconds([&] {
                    sink = static_cast<unsigned char>(
                        rgbe::stats(s.pixels.get(), size_t(s.width) * size_t(s.height), 1).max);
                }));
                s.times["write rle"].push_back(seconds(
                    [&] { rgbe::write(s.scratch, s.width, s.height, s.pixels.get(), true); }));
                s.times["write flat"].push_back(seconds(
                    [&] { rgbe::write(s.scratch, s.width, s.height, s.pixels.get(), false); }));
            }
        }
        std::cerr.rdbuf(cerrBuffer);
        std::printf("%d interleaved repetitions, medians\n", repetitions);
        std::printf("%-6s %-28s %10s %12s %10s\n", "size", "operation", "ms", "x memcpy", "MB/s");
        for (const Size& s : sizes) {
            const double mb = 4.0 * s.width * s.height / 1e6;
            const double copy = median(s.times.at("memcpy"));
            const char* order[] = {"memcpy",  "memcpy huge", "decode 1",  "decode all",
                                   "read im", "read ours",   "stbi im",   "stbi ours",
                                   "stats",   "write rle",   "write flat"};
            const char* label[] = {
                "memcpy into fresh buffer", "memcpy into huge pages",   "readPicture, 1 thread",
                "readPicture, all + stats", "rgbe::read (ImageMagick)", "rgbe::read (ours)",
                "stbi_loadf (ImageMagick)", "stbi_loadf (ours)",        "rgbe::stats",
                "rgbe::write rle",          "rgbe::write flat"};
            for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
                const double t = median(s.times.at(order[i]));
                std::printf("%-6s %-28s %10.2f %12.2f %10.0f\n",
                            (std::to_string(s.width) + "x" + std::to_string(s.height)).c_str(),
                            label[i], t * 1e3, t / copy, mb / t);
            }
            const double read = median(s.times.at("read im"));
            std::printf("%-6s stbi_loadf / rgbe::read (ImageMagick file): %.1f\n", s.name.c_str(),
                        median(s.times.at("stbi im")) / read);
            std::printf("%-6s readPicture all cores + stats, bytes as 1 thread and rgbe::read: "
                        "identical\n",
                        s.name.c_str());
        }
        std::remove(sizes[0].scratch.c_str());
        std::remove(sizes[1].scratch.c_str());
    } catch (const std::exception& e) {
        std::cerr.rdbuf(cerrBuffer);
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
