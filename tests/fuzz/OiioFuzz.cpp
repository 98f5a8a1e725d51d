#include "Diagnostics.h"
#include "PictureReader.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

// FUZZ_SUFFIX, set by the build, picks the road: ".exr", ".tif" or ".pfm".
namespace {

void putFile(const std::string& path, const uint8_t* data, size_t size) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    // An empty input may come with a null pointer, which fwrite must not see.
    if (!file || (size != 0 && std::fwrite(data, 1, size, file.get()) != size)) {
        std::perror(path.c_str());
        std::abort();
    }
}

} // namespace

// Any bytes as a file of the suffix: readPicture either throws std::runtime_error or returns
// a picture of positive size within the limit whose every byte can be read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input =
        "/tmp/oiio-fuzz-" + std::to_string(getpid()) + "-in" + FUZZ_SUFFIX;
    static const DiagnosticsSilenced quiet(true);
    // Small enough that a forged size is refused rather than allocated.
    SizeLimit limit;
    limit.pieceLimit = 2048;

    putFile(input, data, size);
    Picture picture;
    try {
        picture = readPicture(input, limit);
    } catch (const std::runtime_error&) {
        return 0;
    }
    if (picture.width <= 0 || picture.height <= 0 || !limit.allows(picture.width, picture.height) ||
        !picture.pixels) {
        std::fprintf(stderr, "bad picture %dx%d\n", picture.width, picture.height);
        std::abort();
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        sum += picture.pixels[i];
    }
    return sum == 0xffffffffu ? 1 : 0;
}
