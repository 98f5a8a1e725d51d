#include "PictureReader.h"

#include "FileName.h"
#include "Readers.h"

#include <fmt/printf.h>

#include <sys/stat.h>

#include <array>
#include <stdexcept>

namespace {

struct Road {
    bool (*takes)(const std::string& path);
    Picture (*read)(const std::string& path, const SizeLimit& limit);
};

// Tried in order; the last takes every name.
const std::array<Road, 7> roads = {{
    {[](const std::string& path) { return hasSuffix(path, ".hdr"); }, readRadiance},
    {[](const std::string& path) { return hasSuffix(path, ".jpg"); }, readJpeg},
    {[](const std::string& path) { return hasSuffix(path, ".cr2"); }, readRawPreview},
    {[](const std::string& path) { return path == "-"; },
     [](const std::string&, const SizeLimit& limit) { return readStandardInput(limit); }},
    {[](const std::string& path) { return hasSuffix(path, ".png"); }, readPng},
    {[](const std::string& path) {
         return hasSuffix(path, ".ppm") || hasSuffix(path, ".pgm") || hasSuffix(path, ".pbm") ||
                hasSuffix(path, ".pnm");
     },
     readPnmFile},
    {[](const std::string&) { return true; }, readGeneric},
}};

} // namespace

Picture readPicture(const std::string& path, const SizeLimit& limit) {
    for (const Road& road : roads) {
        if (road.takes(path)) {
            // Only the RADIANCE reader and standard input wait for a pipe, and only so long;
            // the other readers open the name themselves and would block for ever on a FIFO
            // nobody writes, or read a device without end.
            struct stat status {};
            if (!hasSuffix(path, ".hdr") && path != "-" && ::stat(path.c_str(), &status) == 0 &&
                !S_ISREG(status.st_mode)) {
                throw std::runtime_error(
                    fmt::sprintf("Failed to read file '%s': not a regular file", path));
            }
            Picture picture = road.read(path, limit);
            picture.fileName = path;
            return picture;
        }
    }
    return Picture();
}
