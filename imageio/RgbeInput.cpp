#include "RgbeInput.h"

#include "RgbeScanlines.h"

#include <fmt/printf.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace rgbe {

namespace {

std::runtime_error openError(const std::string& path, int error) {
    return std::runtime_error(
        fmt::sprintf("Failed to open file '%s': %s", path, std::strerror(error)));
}

// Whether fd became readable (or hung up) within the header wait.
bool waitReadable(int fd) {
    pollfd wanted{fd, POLLIN, 0};
    for (;;) {
        const int n = poll(&wanted, 1, headerWaitMilliseconds);
        if (n >= 0 || errno != EINTR) {
            return n > 0;
        }
    }
}

bool isRegular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::runtime_error stalled(const std::string& path) {
    return std::runtime_error(
        fmt::sprintf("Not a RADIANCE file: '%s' (no header within %d seconds)", path,
                     headerWaitMilliseconds / 1000));
}

} // namespace

File openInput(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer, however long that takes.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw openError(path, errno);
    }
    const bool regular = isRegular(fd);
    if (!regular && !waitReadable(fd)) {
        ::close(fd);
        throw stalled(path);
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        throw openError(path, error);
    }
    File file(::fdopen(fd, "rb"), &std::fclose);
    if (!file) {
        const int error = errno;
        ::close(fd);
        throw openError(path, error);
    }
    if (!regular) {
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
    }
    return file;
}

HeaderLines::HeaderLines(std::FILE* file, const std::string& path)
    : file(file), path(path), waits(!isRegular(fileno(file))) {}

int HeaderLines::get() {
    // Unbuffered, so the poll sees every byte stdio has not taken yet.
    if (waits && !waitReadable(fileno(file))) {
        throw stalled(path);
    }
    return std::getc(file);
}

bool HeaderLines::next(std::string& line) {
    line.clear();
    overflow = false;
    int c = 0;
    while (used < headerLimit && (c = get()) != EOF) {
        ++used;
        if (c == '\n') {
            return true;
        }
        line.push_back(static_cast<char>(c));
    }
    if (c != EOF) {
        overflow = true;
        return true;
    }
    if (std::ferror(file)) {
        throw readError(path);
    }
    return !line.empty();
}

std::size_t readData(std::FILE* file, unsigned char* data, std::size_t size,
                     const std::string& path) {
    const int fd = fileno(file);
    if (isRegular(fd)) {
        const std::size_t got = std::fread(data, 1, size, file);
        if (got < size && std::ferror(file)) {
            throw readError(path);
        }
        return got;
    }
    // Such streams are unbuffered (openInput): stdio holds no byte of them, so they are read
    // directly, each wait bounded.
    return readUntil(size, path, [&](std::size_t got, std::size_t count) -> long {
        if (!waitReadable(fd)) {
            throw std::runtime_error(
                fmt::sprintf("Failed to read file '%s': no data within %d seconds", path,
                             headerWaitMilliseconds / 1000));
        }
        return ::read(fd, data + got, count);
    });
}

std::size_t readUntil(std::size_t size, const std::string& path,
                      const std::function<long(std::size_t got, std::size_t count)>& readSome) {
    std::size_t got = 0;
    while (got < size) {
        const long n = readSome(got, std::min<std::size_t>(size - got, 1 << 30));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw readError(path);
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::string shown(const std::string& line) {
    return line.size() <= 200 ? line : line.substr(0, 200) + "...";
}

} // namespace rgbe
