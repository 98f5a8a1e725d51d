// Writes the seed corpus of the gain-map fuzz target: small JPEGs with gain maps in each
// layout, a cut copy and one whose primary image claims 100000 x 100000 pixels.
//
//   make-gainmap-corpus FOLDER

#include "GainMapJpegWriter.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const std::string& file, const std::vector<unsigned char>& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-gainmap-corpus FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int width = 24;
    const int height = 16;
    std::vector<float> hdr(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float light = std::exp2(-2.0f + 6.0f * x / width);
            float* p = &hdr[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = light;
            p[1] = light * (1.0f - 0.02f * y);
            p[2] = light * 0.7f;
        }
    }
    struct Seed {
        const char* name;
        GainMapLayout layout;
        bool threeChannels;
        int mapScale;
        bool mpf;
        int orientation;
    };
    const Seed seeds[] = {
        {"ultrahdr-grey", GainMapLayout::Xmp, false, 1, true, 1},
        {"ultrahdr-container", GainMapLayout::Xmp, true, 2, false, 1},
        {"iso-rgb", GainMapLayout::Iso, true, 2, true, 1},
        {"both-turned", GainMapLayout::Both, false, 4, true, 6},
    };
    for (const Seed& seed : seeds) {
        GainMapJpegOptions options;
        options.layout = seed.layout;
        options.threeChannels = seed.threeChannels;
        options.mapScale = seed.mapScale;
        options.mpf = seed.mpf;
        options.orientation = seed.orientation;
        options.gamma = seed.threeChannels ? 2.0f : 1.0f;
        options.quality = 80;
        const std::string file = folder + "/" + seed.name + ".jpg";
        const GainMapJpegParts parts = writeGainMapJpeg(file, hdr, width, height, options);
        if (std::string(seed.name) == "iso-rgb") {
            std::vector<unsigned char> bytes = contents(file);
            bytes.resize(parts.mapOffset + parts.mapLength / 2);
            put(folder + "/iso-rgb-cut.jpg", bytes);
        }
        if (std::string(seed.name) == "ultrahdr-grey") {
            // The primary's SOF0 follows libjpeg's tables; its height and width 5 bytes on.
            std::vector<unsigned char> bytes = contents(file);
            for (std::size_t i = 2; i + 9 < parts.primaryLength; ++i) {
                if (bytes[i] == 0xff && bytes[i + 1] == 0xc0) {
                    bytes[i + 5] = 0x86;
                    bytes[i + 6] = 0xa0;
                    bytes[i + 7] = 0x86;
                    bytes[i + 8] = 0xa0;
                    break;
                }
            }
            put(folder + "/ultrahdr-forged-size.jpg", bytes);
        }
    }
    return 0;
}
