#include "Diagnostics.h"
#include "PictureReader.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

// FUZZ_SUFFIX, set by the build, picks the reader: ".exr", ".tif", ".pfm", ".jpg" or ".png".
// Without it the first byte picks one of the other suffixes; the rest is the file.
namespace {

#ifdef FUZZ_SUFFIX
const char* const suffixes[] = {FUZZ_SUFFIX};
#else
const char* const suffixes[] = {".bmp", ".gif", ".tga", ".webp", ".sgi", ".jpeg"};
#endif
constexpr std::size_t suffixCount = sizeof(suffixes) / sizeof(suffixes[0]);

void putFile(const std::string& path, const uint8_t* data, size_t size) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    // An empty input may come with a null pointer, which fwrite must not see.
    if (!file || (size != 0 && std::fwrite(data, 1, size, file.get()) != size)) {
        std::perror(path.c_str());
        std::abort();
    }
}

// The scratch files of this process, removed when it ends.
struct ScratchFiles {
    std::string names[suffixCount];
    ScratchFiles() {
        for (std::size_t i = 0; i < suffixCount; ++i) {
            names[i] = "/tmp/oiio-fuzz-" + std::to_string(getpid()) + "-in" + suffixes[i];
        }
    }
    ~ScratchFiles() {
        for (const std::string& name : names) {
            std::remove(name.c_str());
        }
    }
};

} // namespace

// Any bytes as a file of the suffix: readPicture either throws std::runtime_error or returns
// a picture of positive size within the limit whose every byte can be read. probePicture
// agrees with it: where the probe fails the read fails in the same words, and where the read
// gives a picture the probe told its size and encoding.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchFiles scratch;
    std::size_t choice = 0;
    if (suffixCount > 1) {
        if (size == 0) {
            return 0;
        }
        choice = data[0] % suffixCount;
        ++data;
        --size;
    }
    const std::string& input = scratch.names[choice];
    static const DiagnosticsSilenced quiet(true);
    // Small enough that a forged size is refused rather than allocated.
    SizeLimit limit;
    limit.pieceLimit = 2048;

    putFile(input, data, size);
    PictureInfo info;
    std::string probeError;
    try {
        info = probePicture(input, limit);
    } catch (const std::runtime_error& error) {
        probeError = error.what();
    }
    Picture picture;
    try {
        picture = readPicture(input, limit);
    } catch (const std::runtime_error& error) {
        if (!probeError.empty() && probeError != error.what()) {
            std::fprintf(stderr, "probe: %s\nread: %s\n", probeError.c_str(), error.what());
            std::abort();
        }
        return 0;
    }
    // A gain map its header announces but that turns out broken leaves the base alone, which
    // the probe counted at the 4 bytes a pixel of the HDR rendition.
    const bool gainMapDropped = info.encoding == PixelEncoding::Rgbe &&
                                picture.encoding == PixelEncoding::Rgb8 &&
                                picture.gainMap == GainMap::None;
    if (!probeError.empty() || info.width != picture.width || info.height != picture.height ||
        (info.encoding != picture.encoding && !gainMapDropped)) {
        std::fprintf(stderr, "probe %dx%d (%s) for a picture of %dx%d\n", info.width,
                     info.height, probeError.c_str(), picture.width, picture.height);
        std::abort();
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
