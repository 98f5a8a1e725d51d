#pragma once

#include "CFile.h"

#include <cstddef>
#include <functional>
#include <string>

// The opening and the header lines of a RADIANCE file, bounded so that no file can make the
// reader grow or wait without end: /dev/zero, a FIFO without a writer, a stream without line
// feeds. Used by rgbe.cpp.
namespace rgbe {

// Header lines together are at most this long.
constexpr std::size_t headerLimit = 64 * 1024;
// How long a pipe, FIFO or device may keep the reader waiting for a byte of the header.
constexpr int headerWaitMilliseconds = 10000;

// fopen for reading, except that a FIFO without a writer is waited for at most the header
// wait; such streams are unbuffered, so that every header byte can be waited for. Failure
// throws "Failed to open file '%s': %s".
File openInput(const std::string& path);

class HeaderLines {
public:
    HeaderLines(std::FILE* file, const std::string& path);

    // A line without its line feed, cut where the header reaches its limit; false when the
    // file ends before any byte of it.
    bool next(std::string& line);
    // Whether the last line was cut.
    bool cut() const { return overflow; }

private:
    int get();

    std::FILE* file;
    const std::string& path;
    bool waits;
    std::size_t used = 0;
    bool overflow = false;
};

// fread of the pixel data after the header: a short count means the file ended. A pipe, FIFO
// or device that sends no byte for the header wait throws "Failed to read file '%s': no data
// within %d seconds"; a read error throws "Failed to read file '%s'".
std::size_t readData(std::FILE* file, unsigned char* data, std::size_t size,
                     const std::string& path);

// Calls `readSome(got, count)` (a read or pread of at most `count` bytes at `got`: what it
// read, 0 at the end, -1 with errno) until `size` bytes are in or the input ends, again after
// an interruption; -1 otherwise is the read error naming `path`. Returns the bytes read.
std::size_t readUntil(std::size_t size, const std::string& path,
                      const std::function<long(std::size_t got, std::size_t count)>& readSome);

// A line as an error message shows it: long ones end in "...".
std::string shown(const std::string& line);

} // namespace rgbe
