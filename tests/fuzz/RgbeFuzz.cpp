#include "MipLevel.h"
#include "rgbe.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

std::string scratch(const char* name) {
    return "/tmp/rgbe-fuzz-" + std::to_string(getpid()) + "-" + name + ".hdr";
}

void putFile(const std::string& path, const uint8_t* data, size_t size) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    // An empty input may come with a null pointer, which fwrite must not see.
    if (!file || (size != 0 && std::fwrite(data, 1, size, file.get()) != size)) {
        std::perror(path.c_str());
        std::abort();
    }
}

} // namespace

// Any bytes as a file: rgbe::read either throws std::runtime_error or returns a picture that
// the writer stores and the reader gives back unchanged, flat and run-length encoded; its
// level 1 made from the decoder's bands, as the viewer's loader makes it, is halvePicture's.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = scratch("in");
    static const std::string copy = scratch("copy");
    // The writer's statistics lines would drown the fuzzer's own output.
    static const bool quiet = (std::cerr.rdbuf(nullptr), true);
    (void)quiet;

    putFile(input, data, size);
    int width = 0;
    int height = 0;
    std::unique_ptr<unsigned char[]> pixels;
    try {
        pixels.reset(rgbe::read(input, width, height));
    } catch (const std::runtime_error&) {
        return 0;
    }
    const size_t bytes = 4 * size_t(width) * size_t(height);
    if (bytes > (1u << 22)) {
        return 0;
    }
    HalvingInBands halving(width, height, PixelEncoding::Rgbe);
    const rgbe::BandCallback bands = [&halving](const unsigned char* rows, int first, int count) {
        halving.band(rows, first, count);
    };
    rgbe::ReadOptions options;
    options.bands = &bands;
    options.bandRows = 2;
    const Picture picture = rgbe::readPicture(input, options);
    const Picture halved = halvePicture(picture);
    const Picture levelOne = halving.finish(picture);
    if (std::memcmp(levelOne.pixels.get(), halved.pixels.get(), halved.byteCount()) != 0) {
        std::fprintf(stderr, "level 1 from bands differs\n");
        std::abort();
    }
    for (const bool rle : {true, false}) {
        rgbe::write(copy, width, height, pixels.get(), rle);
        int w = 0;
        int h = 0;
        std::unique_ptr<unsigned char[]> back(rgbe::read(copy, w, h));
        if (w != width || h != height || std::memcmp(back.get(), pixels.get(), bytes) != 0) {
            std::fprintf(stderr, "round trip differs (rle %d)\n", int(rle));
            std::abort();
        }
    }
    return 0;
}
