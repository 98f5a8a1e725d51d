// Listing and ordering a folder of 10,000 files as the viewer does when it steps through the
// pictures beside the shown one: the median of several runs, and its sort alone.
#include "FileName.h"
#include "NaturalOrder.h"
#include "PictureFolder.h"
#include "Stopwatch.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool takesPictures(const std::string& name) {
    for (const char* suffix : {".jpg", ".png", ".hdr", ".exr", ".tif", ".webp"}) {
        if (hasSuffix(name, suffix)) {
            return true;
        }
    }
    return false;
}

// Names as cameras, phones, scanners and people make them, a tenth of them not pictures.
std::string mixedName(int i, std::mt19937& random) {
    static const char* const suffixes[] = {".jpg", ".JPG",  ".png", ".hdr", ".exr",
                                           ".tif", ".webp", ".txt", ".xmp", ""};
    const char* suffix = suffixes[random() % 10];
    switch (i % 6) {
    case 0:
        return "IMG_" + std::to_string(1000 + i) + suffix;
    case 1:
        return "img" + std::to_string(i) + suffix;
    case 2:
        return "Panorama " + std::to_string(i % 97) + " (" + std::to_string(i) + ")" + suffix;
    case 3:
        return "scan-" + std::to_string(i / 100) + "-page" + std::to_string(i % 100) + suffix;
    case 4:
        return "20240" + std::to_string(1 + i % 9) + std::to_string(10 + i % 18) + "_" +
               std::to_string(123456 + i) + suffix;
    default:
        return "\xc3\xa9t\xc3\xa9 " + std::to_string(i) + suffix;
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (count < 1 || count > 1000000) {
        std::fprintf(stderr, "usage: folder-bench [files, 1..1000000]\n");
        return 2;
    }
    const fs::path folder =
        fs::temp_directory_path() / ("folder-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::mt19937 random(1);
    for (int i = 0; i < count; ++i) {
        std::ofstream(folder / mixedName(i, random)) << 'x';
    }
    fs::create_directories(folder / "sub folder.jpg");
    std::ofstream(folder / ".hidden.jpg") << 'x';

    constexpr int runs = 9;
    std::vector<double> listed;
    std::vector<double> sorted;
    std::size_t pictures = 0;
    for (int run = 0; run < runs; ++run) {
        const double start = monotonicSeconds();
        const std::vector<std::string> paths = picturesInFolder(folder.string(), takesPictures);
        listed.push_back(monotonicSeconds() - start);
        pictures = paths.size();

        std::vector<std::string> names;
        for (const std::string& path : paths) {
            names.push_back(fs::path(path).filename().string());
        }
        std::shuffle(names.begin(), names.end(), random);
        const double sortStart = monotonicSeconds();
        std::sort(names.begin(), names.end(), naturalLess);
        sorted.push_back(monotonicSeconds() - sortStart);
    }
    fs::remove_all(folder);
    std::printf("%d files, %zu pictures: listed and ordered in %.4f s (median of %d, %.4f-%.4f s); "
                "the sort alone %.4f s\n",
                count, pictures, median(listed), runs,
                *std::min_element(listed.begin(), listed.end()),
                *std::max_element(listed.begin(), listed.end()), median(sorted));
    return 0;
}
