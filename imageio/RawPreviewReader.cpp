#include "CFile.h"
#include "ChildProcess.h"
#include "ExeDir.h"
#include "PnmReader.h"
#include "Readers.h"

#include <fmt/printf.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace {

void spawn(ChildProcess& child, const std::vector<std::string>& argv, int in, int out,
           const std::string& path) {
    try {
        child.spawn(argv, in, out);
    } catch (const std::system_error& error) {
        throw std::runtime_error(fmt::sprintf("Failed to run '%s' for raw file '%s': %s", argv[0],
                                              path, std::strerror(error.code().value())));
    }
}

} // namespace

// dcraw -e -c <path> | djpeg -fast -ppm -scale 1/8, run without a shell.
Picture readRawPreview(const std::string& path, const SizeLimit& limit) {
    // A name starting with '-' would be taken for an option.
    const std::string argument = path.compare(0, 1, "-") == 0 ? "./" + path : path;
    ChildProcess dcraw;
    ChildProcess djpeg;
    FileDescriptor previewRead, previewWrite, ppmRead, ppmWrite;
    makePipe(previewRead, previewWrite);
    makePipe(ppmRead, ppmWrite);
    spawn(dcraw, {exeDir("dcraw"), "-e", "-c", argument}, -1, previewWrite.get(), path);
    spawn(djpeg, {exeDir("djpeg"), "-fast", "-ppm", "-scale", "1/8"}, previewRead.get(),
          ppmWrite.get(), path);
    previewRead.reset();
    previewWrite.reset();
    ppmWrite.reset();

    File stream(::fdopen(ppmRead.get(), "rb"), &std::fclose);
    if (!stream) {
        throw std::system_error(errno, std::generic_category(), "fdopen");
    }
    ppmRead.release();
    // Nothing at all on the pipe: a program missing or a raw file without a preview.
    const int first = std::getc(stream.get());
    if (first == EOF) {
        throw std::runtime_error(
            fmt::sprintf("No preview picture could be extracted from raw file '%s'", path));
    }
    std::ungetc(first, stream.get());
    Picture picture = readPnm(stream.get(), path, limit);
    stream.reset();
    dcraw.wait();
    djpeg.wait();
    return picture;
}
