#include "ExeDir.h"

#include <boost/filesystem/path.hpp>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#else
#include <unistd.h>
#endif

std::string exeDir(const std::string& name) {
    // Kept for the whole process: a failed lookup falls back on the last good path.
    static std::array<char, 4096> buffer{};
#ifdef __APPLE__
    uint32_t size = buffer.size();
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        std::printf("ERROR: _NSGetExecutablePath needs %d bytes buffer.", static_cast<int>(size));
    }
#else
    std::array<char, buffer.size()> path{};
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length < 0) {
        std::fprintf(stderr, "ERROR: cannot read /proc/self/exe: %s\n", std::strerror(errno));
    } else if (static_cast<std::size_t>(length) >= path.size() - 1) {
        std::fprintf(stderr, "ERROR: the executable's path needs more than %d bytes buffer.\n",
                     static_cast<int>(path.size()));
    } else {
        buffer = path;
    }
#endif
    return (boost::filesystem::path(buffer.data()).parent_path() / name).string();
}
