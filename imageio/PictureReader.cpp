#include "PictureReader.h"

#include "CFile.h"

#include <fmt/printf.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

const PictureFormat* formatNamed(const char* name) {
    for (const PictureFormat& format : pictureFormats()) {
        if (std::strcmp(format.name, name) == 0) {
            return &format;
        }
    }
    throw std::logic_error(fmt::sprintf("no picture format '%s'", name));
}

// The table's format for the name; else, for a file without a suffix of ours, PNG or PNM by
// its first bytes: what no reader of ours takes is refused, never handed to a converter.
const PictureFormat& formatToRead(const std::string& path) {
    if (const PictureFormat* format = pictureFormatOf(path)) {
        return *format;
    }
    unsigned char magic[8] = {};
    {
        File file = openFile(path, "rb");
        if (std::fread(magic, 1, sizeof magic, file.get()) != sizeof magic) {
            std::memset(magic, 0, sizeof magic);
        }
    }
    if (std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0) {
        return *formatNamed("PNG");
    }
    if (magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '6') {
        return *formatNamed("PNM");
    }
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

} // namespace

void checkPictureFile(const std::string& path) {
    if (path == "-") {
        return;
    }
    const auto openFailure = [&path] {
        return std::runtime_error(
            fmt::sprintf("Failed to open file '%s': %s", path, std::strerror(errno)));
    };
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw openFailure();
    }
    // Opening a FIFO waits for a writer, however long, and a device may never end: only the
    // readers that bound their waits and reads take them.
    const PictureFormat* format = pictureFormatOf(path);
    const bool stream = S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode);
    if (!S_ISREG(status.st_mode) && !(stream && format != nullptr && format->takesStreams)) {
        throw std::runtime_error(
            fmt::sprintf("Failed to read file '%s': not a regular file", path));
    }
    // Asked, not opened: an open would take a FIFO's writer for its reader.
    if (::access(path.c_str(), R_OK) != 0) {
        throw openFailure();
    }
}

Picture readPicture(const std::string& path, const SizeLimit& limit) {
    checkPictureFile(path);
    Picture picture = formatToRead(path).read(path, limit);
    picture.fileName = path;
    startAtOwnWhite(picture);
    return picture;
}

void startAtOwnWhite(Picture& picture) {
    // The exposure offset is the f-stop minus log2(mean) minus 2: a mean of 1/4 puts 1.0 at
    // the display's white at f-stop 0.
    if (picture.isHdr() &&
        (picture.gainMap != GainMap::None || picture.candelaPerUnit != radianceCandela)) {
        picture.scale.mean = 0.25;
    }
}

PictureInfo probePicture(const std::string& path, const SizeLimit& limit) {
    checkPictureFile(path);
    const PictureFormat& format = formatToRead(path);
    return format.probe != nullptr ? format.probe(path, limit) : PictureInfo();
}
