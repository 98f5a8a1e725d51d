#include "PendingFile.h"

#include <fmt/printf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

PendingFile::PendingFile(const std::string& target, const std::string& forcedExtension)
    : target(target) {
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    // The extension stays last: the writers choose the format by it.
    const std::string extension = !forcedExtension.empty()   ? forcedExtension
                                  : dot == std::string::npos ? ""
                                                             : name.substr(dot);
    const std::string pattern = folder + "." + name.substr(0, dot) + "-XXXXXX" + extension;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemps(buffer.data(), static_cast<int>(extension.size()));
    if (fd < 0) {
        throw std::runtime_error(
            fmt::sprintf("Failed to open file '%s': %s", target, std::strerror(errno)));
    }
    temporary = buffer.data();
    // mkstemps makes it private; the result should get the permissions of any new file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
}

PendingFile::~PendingFile() {
    if (!committed) {
        std::remove(temporary.c_str());
    }
}

void PendingFile::commit() {
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        throw std::runtime_error(fmt::sprintf("Failed to rename '%s' to '%s': %s", temporary,
                                              target, std::strerror(errno)));
    }
    committed = true;
}
