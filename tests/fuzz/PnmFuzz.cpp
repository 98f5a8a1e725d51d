#include "Diagnostics.h"
#include "PnmReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

// Any bytes as the PNM stream of standard input: a stream, so no length is known before the
// picture is allocated. readPnm either throws std::runtime_error or returns a picture of
// positive size within the limit whose every byte can be read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const DiagnosticsSilenced quiet(true);
    // Small enough that a forged size is refused rather than allocated.
    SizeLimit limit;
    limit.pieceLimit = 2048;
    // fmemopen takes no empty buffer.
    static const char nothing = 0;
    std::unique_ptr<FILE, int (*)(FILE*)> stream(
        size == 0 ? fmemopen(const_cast<char*>(&nothing), 1, "rb")
                  : fmemopen(const_cast<uint8_t*>(data), size, "rb"),
        &std::fclose);
    if (!stream) {
        std::abort();
    }
    if (size == 0) {
        std::fgetc(stream.get());
    }
    Picture picture;
    try {
        picture = readPnm(stream.get(), "-", limit);
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
