#pragma once

#include "rgbe.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// A run-length RADIANCE picture, 8 pixels wide and 12 bytes a row, that reaches its reader
// through a FIFO only as far as the test feeds it, so that a reader waits on the test and never
// on the machine. Heights up to 8192 keep the whole within two pipefuls.
class FifoPicture {
public:
    FifoPicture(const std::string& path, int height) : path(path) {
        const std::string flat = path + ".source";
        const std::vector<unsigned char> pixels(static_cast<std::size_t>(8) * height * 4, 128);
        rgbe::write(flat, 8, height, pixels.data(), true);
        std::ifstream in(flat, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::remove(flat.c_str());
        // Equal pixels make equal rows: the bytes after the size line split evenly.
        const std::size_t sizeLine = bytes.find("\n-Y ");
        headerSize = bytes.find('\n', sizeLine + 1) + 1;
        rowSize = (bytes.size() - headerSize) / height;
        if (sizeLine == std::string::npos || rowSize * height + headerSize != bytes.size() ||
            mkfifo(path.c_str(), 0600) != 0) {
            throw std::runtime_error("cannot make the FIFO " + path);
        }
        // Read and write: the open does not wait for a reader, and the reader's open finds a
        // writer.
        fd = ::open(path.c_str(), O_RDWR);
        if (fd < 0) {
            throw std::runtime_error("cannot open the FIFO " + path);
        }
        // The reader takes pipes in windows of 64 KiB: the first one is fed short of full, so
        // that the reader is left waiting and the pipe empty.
        sent = std::min(bytes.size(), headerSize + (60000 / rowSize) * rowSize);
        send(bytes.data(), sent);
    }
    ~FifoPicture() {
        close();
        ::unlink(path.c_str());
    }
    FifoPicture(const FifoPicture&) = delete;
    FifoPicture& operator=(const FifoPicture&) = delete;

    void feedRows(int count) {
        if (fd < 0) {
            return;
        }
        const std::size_t size = std::min(rowSize * count, bytes.size() - sent);
        send(bytes.data() + sent, size);
        sent += size;
    }
    // The rest of the picture; only once drained(), as the pipe holds no more than 64 KiB.
    void feedAll() { feedRows(static_cast<int>((bytes.size() - sent) / rowSize)); }
    // Whether the reader has taken every byte fed so far (so it has the FIFO open).
    bool drained() const {
        int pending = -1;
        return ::ioctl(fd, FIONREAD, &pending) == 0 && pending == 0;
    }
    // The reader then meets the end of the stream, the file cut short; a reader still waiting
    // to open the FIFO gets a writer that leaves at once.
    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
            const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                ::close(writer);
            }
        }
    }

    const std::string path;

private:
    void send(const char* data, std::size_t size) {
        if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
            throw std::runtime_error("cannot write the FIFO " + path);
        }
    }

    std::string bytes;
    std::size_t headerSize = 0;
    std::size_t rowSize = 0;
    std::size_t sent = 0;
    int fd = -1;
};
