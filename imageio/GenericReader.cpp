#include "Readers.h"

#include "CFile.h"

#include <cstring>

// A name without a suffix of ours is judged by its first bytes, PNG and PNM only: what no
// reader of ours takes is refused, never handed to a converter.
Picture readGeneric(const std::string& path, const SizeLimit& limit) {
    if (oiioTakes(path)) {
        return readOiio(path, limit);
    }
    unsigned char magic[8] = {};
    {
        File file = openFile(path, "rb");
        if (std::fread(magic, 1, sizeof magic, file.get()) != sizeof magic) {
            std::memset(magic, 0, sizeof magic);
        }
    }
    if (std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0) {
        return readPng(path, limit);
    }
    if (magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '6') {
        return readPnmFile(path, limit);
    }
    return readOiio(path, limit);
}
