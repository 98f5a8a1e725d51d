#include "CFile.h"

#include <fmt/printf.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

File openFile(const std::string& path, const char* mode) {
    File file(std::fopen(path.c_str(), mode), &std::fclose);
    if (!file) {
        throw std::runtime_error(
            fmt::sprintf("Failed to open file '%s': %s", path, std::strerror(errno)));
    }
    return file;
}

void closeWritten(File file, const std::string& path) {
    std::FILE* raw = file.release();
    const bool failed = std::ferror(raw) != 0;
    if (std::fclose(raw) != 0 || failed) {
        throw std::runtime_error(
            fmt::sprintf("Failed to write file '%s': %s", path, std::strerror(errno)));
    }
}
