// Writes the desktop entry from its template, with the MIME types of the readers' format table
// in place of @MIME_TYPES@: run by the build, so that the entry offers what the viewer reads.
#include "PictureFormats.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TEMPLATE OUTPUT\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "%s: cannot read '%s'\n", argv[0], argv[1]);
        return 1;
    }
    const std::string marker = "@MIME_TYPES@";
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) {
        std::fprintf(stderr, "%s: no %s in '%s'\n", argv[0], marker.c_str(), argv[1]);
        return 1;
    }
    text.replace(at, marker.size(), desktopMimeTypes());
    // Written aside and renamed, so that an interrupted build leaves no half entry.
    const std::string output = argv[2];
    const std::string partial = output + ".part";
    {
        std::ofstream out(partial, std::ios::binary);
        out << text;
        out.close();
        if (!out) {
            std::fprintf(stderr, "%s: cannot write '%s'\n", argv[0], partial.c_str());
            return 1;
        }
    }
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        std::perror(output.c_str());
        return 1;
    }
    return 0;
}
