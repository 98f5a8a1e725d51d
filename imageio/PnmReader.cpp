#include "PnmReader.h"

#include <fmt/printf.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// Far beyond any real header, short of what a stream of zeros or a forged comment would make.
constexpr std::size_t headerLimit = 64 * 1024;
// Numbers saturate here: beyond every limit, short of overflow in any product of two.
constexpr long saturated = 1L << 31;

std::runtime_error invalid(const std::string& name, const std::string& why) {
    return std::runtime_error(fmt::sprintf("Invalid PNM header in '%s': %s", name, why));
}

std::runtime_error truncated(const std::string& name, long row) {
    return std::runtime_error(
        fmt::sprintf("Truncated PNM file '%s': row %d is incomplete", name, row));
}

bool isSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Characters of a plain-text part of the file, with its white space and comments skipped.
class Tokens {
public:
    Tokens(std::FILE* file, const std::string& name, std::size_t limit)
        : file(file), name(name), limit(limit) {}

    int get() {
        if (limit != 0 && ++used > limit) {
            throw invalid(name, "header longer than 64 KiB");
        }
        const int c = std::getc(file);
        if (c == EOF && std::ferror(file)) {
            throw std::runtime_error(fmt::sprintf("Failed to read file '%s'", name));
        }
        return c;
    }

    // The first character after white space and comments; EOF at the end.
    int skip() {
        int c = get();
        for (;;) {
            if (c == '#') {
                while (c != '\n' && c != '\r' && c != EOF) {
                    c = get();
                }
            } else if (isSpace(c)) {
                c = get();
            } else {
                return c;
            }
        }
    }

    // A decimal number; false at the end of the file. `next` receives the character after it.
    bool number(long& value, int& next) {
        int c = skip();
        if (c == EOF) {
            return false;
        }
        if (c < '0' || c > '9') {
            throw invalid(name, fmt::sprintf("'%c' where a number belongs", static_cast<char>(c)));
        }
        value = 0;
        for (; c >= '0' && c <= '9'; c = get()) {
            value = std::min(value * 10 + (c - '0'), saturated);
        }
        next = c;
        return true;
    }

private:
    std::FILE* file;
    const std::string& name;
    std::size_t limit;
    std::size_t used = 0;
};

struct Header {
    int kind = 0; // 1 to 6, as in the magic number
    long width = 0;
    long height = 0;
    long maxValue = 1;

    bool bitmap() const { return kind == 1 || kind == 4; }
    bool plain() const { return kind <= 3; }
    int channels() const { return kind == 3 || kind == 6 ? 3 : 1; }
    std::size_t valueBytes() const { return maxValue > 255 ? 2 : 1; }
    // Bytes of one binary row; packed bits for P4.
    std::size_t rowBytes() const {
        const std::size_t w = static_cast<std::size_t>(width);
        return bitmap() ? (w + 7) / 8 : w * static_cast<std::size_t>(channels()) * valueBytes();
    }
};

Header readHeader(std::FILE* file, const std::string& name) {
    Tokens tokens(file, name, headerLimit);
    Header header;
    const int p = tokens.get();
    const int digit = tokens.get();
    if (p != 'P' || digit < '1' || digit > '6') {
        throw std::runtime_error(fmt::sprintf("Not a PNM file: '%s'", name));
    }
    header.kind = digit - '0';
    long* const fields[3] = {&header.width, &header.height, &header.maxValue};
    const int count = header.bitmap() ? 2 : 3;
    int next = EOF;
    for (int i = 0; i < count; ++i) {
        if (!tokens.number(*fields[i], next)) {
            throw invalid(name, "the file ends inside it");
        }
        if (i + 1 < count && next != EOF) {
            std::ungetc(next, file);
        }
    }
    // Binary rasters start after exactly one white space byte.
    if (!header.plain() && !isSpace(next)) {
        throw invalid(name, "no white space before the pixels");
    }
    if (header.plain() && next != EOF) {
        std::ungetc(next, file);
    }
    if (header.maxValue < 1 || header.maxValue > 65535) {
        throw invalid(name, fmt::sprintf("maximum value %d out of range", header.maxValue));
    }
    return header;
}

// The fewest bytes the raster can take, for a regular file's length check.
long long leastRasterBytes(const Header& header) {
    const long long values =
        static_cast<long long>(header.width) * header.height * header.channels();
    if (!header.plain()) {
        return static_cast<long long>(header.rowBytes()) * header.height;
    }
    // Bitmap digits may touch; other numbers need a separator between them.
    return header.bitmap() ? values : 2 * values - 1;
}

long long bytesLeft(std::FILE* file) {
    struct stat st;
    const long position = std::ftell(file);
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || position < 0) {
        return -1;
    }
    return std::max(0LL, static_cast<long long>(st.st_size) - position);
}

// 0 .. maxValue to 0 .. 255, rounded; larger values count as the maximum.
class Scale {
public:
    explicit Scale(long maxValue) : maxValue(static_cast<unsigned>(maxValue)) {
        if (maxValue <= 255) {
            for (unsigned v = 0; v < table.size(); ++v) {
                table[v] = to8(v);
            }
        }
    }
    unsigned char operator()(unsigned value) const {
        return maxValue <= 255 && value < 256 ? table[value] : to8(value);
    }

private:
    unsigned char to8(unsigned value) const {
        value = std::min(value, maxValue);
        return static_cast<unsigned char>((value * 255u + maxValue / 2) / maxValue);
    }

    unsigned maxValue;
    std::array<unsigned char, 256> table{};
};

void readBinary(std::FILE* file, const Header& header, Picture& picture, const std::string& name) {
    const std::size_t width = static_cast<std::size_t>(header.width);
    const std::size_t rowBytes = header.rowBytes();
    // RGB bytes of maximum 255 are the picture's own: read in place.
    const bool direct = header.kind == 6 && header.maxValue == 255;
    std::vector<unsigned char> row(direct ? 0 : rowBytes);
    const Scale scale(header.maxValue);
    const std::size_t channels = static_cast<std::size_t>(header.channels());
    for (long y = 0; y < header.height; ++y) {
        unsigned char* out = picture.pixels.get() + static_cast<std::size_t>(y) * width * 3;
        unsigned char* in = direct ? out : row.data();
        if (std::fread(in, 1, rowBytes, file) != rowBytes) {
            throw truncated(name, y);
        }
        if (direct) {
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, out += 3) {
            if (header.bitmap()) {
                std::memset(out, (in[x / 8] >> (7 - x % 8) & 1) != 0 ? 0 : 255, 3);
                continue;
            }
            for (std::size_t c = 0; c < 3; ++c) {
                const std::size_t k = x * channels + (channels == 3 ? c : 0);
                const unsigned value =
                    header.valueBytes() == 2 ? unsigned(in[2 * k]) << 8 | in[2 * k + 1] : in[k];
                out[c] = scale(value);
            }
        }
    }
}

void readPlain(std::FILE* file, const Header& header, Picture& picture, const std::string& name) {
    Tokens tokens(file, name, 0);
    const Scale scale(header.maxValue);
    const std::size_t width = static_cast<std::size_t>(header.width);
    const int channels = header.channels();
    for (long y = 0; y < header.height; ++y) {
        unsigned char* out = picture.pixels.get() + static_cast<std::size_t>(y) * width * 3;
        for (std::size_t x = 0; x < width; ++x, out += 3) {
            for (int c = 0; c < channels; ++c) {
                long value = 0;
                if (header.bitmap()) {
                    // One digit a pixel, with or without white space between.
                    const int digit = tokens.skip();
                    if (digit == EOF) {
                        throw truncated(name, y);
                    }
                    if (digit != '0' && digit != '1') {
                        throw std::runtime_error(
                            fmt::sprintf("Bad pixel data in row %d of PNM file '%s'", y, name));
                    }
                    std::memset(out, digit == '1' ? 0 : 255, 3);
                    continue;
                }
                int next = EOF;
                if (!tokens.number(value, next)) {
                    throw truncated(name, y);
                }
                if (next != EOF) {
                    std::ungetc(next, file);
                }
                const unsigned char v = scale(static_cast<unsigned>(value));
                if (channels == 1) {
                    std::memset(out, v, 3);
                } else {
                    out[c] = v;
                }
            }
        }
    }
}

// The header and every check the raster's allocation waits for.
Header checkedHeader(std::FILE* file, const std::string& name, const SizeLimit& limit) {
    const Header header = readHeader(file, name);
    if (header.width == 0 || header.height == 0) {
        throw std::runtime_error(fmt::sprintf("No picture in '%s'", name));
    }
    checkPictureSize(limit, header.width, header.height, PixelEncoding::Rgb8, name);
    const long long left = bytesLeft(file);
    if (left >= 0 && left < leastRasterBytes(header)) {
        const long long row = header.plain() ? 0 : left / static_cast<long long>(header.rowBytes());
        throw truncated(name, static_cast<long>(row));
    }
    return header;
}

} // namespace

Picture readPnm(std::FILE* file, const std::string& name, const SizeLimit& limit) {
    const Header header = checkedHeader(file, name, limit);
    Picture picture;
    picture.allocate(static_cast<int>(header.width), static_cast<int>(header.height),
                     PixelEncoding::Rgb8);
    if (header.plain()) {
        readPlain(file, header, picture, name);
    } else {
        readBinary(file, header, picture, name);
    }
    return picture;
}

PictureInfo probePnm(std::FILE* file, const std::string& name, const SizeLimit& limit) {
    const Header header = checkedHeader(file, name, limit);
    PictureInfo info;
    info.width = static_cast<int>(header.width);
    info.height = static_cast<int>(header.height);
    return info;
}
