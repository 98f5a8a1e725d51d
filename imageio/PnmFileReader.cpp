#include "Readers.h"

#include "CFile.h"
#include "PnmReader.h"

Picture readPnmFile(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    return readPnm(file.get(), path, limit);
}

PictureInfo probePnmFile(const std::string& path, const SizeLimit& limit) {
    File file = openFile(path, "rb");
    return probePnm(file.get(), path, limit);
}

Picture readStandardInput(const SizeLimit& limit) {
    return readPnm(stdin, "-", limit);
}
