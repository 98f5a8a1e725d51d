#include "ExeDir.h"

#include <boost/filesystem/operations.hpp>
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

namespace {

// The executable's own path, or empty when it cannot be found.
std::string executablePath() {
    std::array<char, 4096> buffer{};
#ifdef __APPLE__
    uint32_t size = buffer.size();
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        std::printf("ERROR: _NSGetExecutablePath needs %d bytes buffer.", static_cast<int>(size));
        return std::string();
    }
    return buffer.data();
#else
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length < 0) {
        std::fprintf(stderr, "ERROR: cannot read /proc/self/exe: %s\n", std::strerror(errno));
        return std::string();
    }
    if (static_cast<std::size_t>(length) >= buffer.size() - 1) {
        std::fprintf(stderr, "ERROR: the executable's path needs more than %d bytes buffer.\n",
                     static_cast<int>(buffer.size()));
        return std::string();
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
#endif
}

} // namespace

std::string besideExecutable(const std::string& name, const std::string& installed) {
    // Looked up once: the executable does not move while it runs, and a local static is
    // initialised safely from any thread.
    static const boost::filesystem::path folder =
        boost::filesystem::path(executablePath()).parent_path();
    const boost::filesystem::path beside = folder / name;
    // Relative to the executable, so a moved or unpacked prefix works as well as the one it
    // was installed to.
    const boost::filesystem::path other = folder / installed / name;
    boost::system::error_code ignored;
    if (!folder.empty() && !boost::filesystem::exists(beside, ignored) &&
        boost::filesystem::exists(other, ignored)) {
        return other.lexically_normal().string();
    }
    return beside.string();
}

std::string exeDir(const std::string& name) {
    // An installed tree keeps its data apart from bin/.
    return besideExecutable(name, "../share/marovex-viewer");
}
