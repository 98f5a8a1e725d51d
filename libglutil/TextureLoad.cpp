#include "Texture.h"

#include "CFile.h"
#include "ExeDir.h"
#include "JpegCodec.h"
#include "rgbe.h"

#include <CImg.h>
#include <boost/algorithm/string/predicate.hpp>
#include <fcntl.h>
#include <fmt/printf.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

using cimg_library::CImg;
using cimg_library::CImgException;

namespace {

double now() {
    timeval time{};
    if (gettimeofday(&time, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "gettimeofday");
    }
    return time.tv_sec + time.tv_usec / 1000000.0;
}

class Stopwatch {
public:
    Stopwatch() : start(now()) {}

    // glFinish first, so that GL work queued by the phase is counted in it.
    void lap(const char* label) {
        glFinish();
        const double elapsed = now() - start;
        start = now();
        std::fprintf(stderr, "%s %20s: %3.3fs\n", "[T]", label, elapsed);
        std::fflush(stderr);
    }

private:
    double start;
};

void loadRadiance(Texture& texture, const std::string& path) {
    Stopwatch stopwatch;
    rgbe::Image image;
    image.data = rgbe::read(path, image.width, image.height, nullptr);
    stopwatch.lap("read");

    const unsigned long count =
        static_cast<unsigned long>(image.width) * static_cast<unsigned long>(image.height);
    const rgbe::Stats stats = rgbe::stats(image.data, count, 1);
    // A picture without a lit pixel has no mean; exponent 0 keeps the exposure finite.
    const bool lit = !std::isnan(stats.mean);
    texture.scaleMean = std::pow(2.0, lit ? stats.mean : 0.0);
    texture.scaleMin = std::pow(2.0, lit ? static_cast<double>(stats.min) : 0.0);
    texture.scaleMax = std::pow(2.0, lit ? static_cast<double>(stats.max) : 0.0);
    stopwatch.lap("stats");

    texture.setup(image.width, image.height, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, image.data);
    stopwatch.lap("cpu -> gpu");
    std::cerr << image.width << " " << image.height << std::endl;
}

// Adobe CMYK files store inverted inks, which is what libjpeg hands out: 255 means no ink.
void cmykToRgb(const unsigned char* cmyk, unsigned char* rgb, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
        const unsigned k = cmyk[3];
        for (int c = 0; c < 3; ++c) {
            rgb[c] = static_cast<unsigned char>((cmyk[c] * k + 127) / 255);
        }
    }
}

void loadJpeg(Texture& texture, const std::string& path) {
    File file = openFile(path, "rb");
    JpegDecoder decoder;
    jpeg_decompress_struct& info = decoder.info;
    jpegCall(decoder, [&] {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file.get());
        jpeg_read_header(&info, TRUE);
    });
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpegCall(decoder, [&] { jpeg_calc_output_dimensions(&info); });
    Texture::checkSize(info.output_width, info.output_height);

    const std::size_t width = info.output_width;
    const std::size_t rowSize = width * info.output_components;
    std::vector<unsigned char> pixels(rowSize * info.output_height);
    jpegCall(decoder, [&] {
        jpeg_start_decompress(&info);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels.data() + info.output_scanline * rowSize;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
    });
    if (cmyk) {
        const std::size_t count = width * info.output_height;
        std::vector<unsigned char> rgb(count * 3);
        cmykToRgb(pixels.data(), rgb.data(), count);
        pixels.swap(rgb);
    }
    texture.setup(info.output_width, info.output_height, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE,
                  pixels.data());
}

// CImg's exceptions are not std::exceptions; they would escape the viewer's per-file report.
template <typename Load> CImg<unsigned short> cimgLoad(Load load) {
    try {
        return load();
    } catch (const CImgException& e) {
        throw std::runtime_error(e.what());
    }
}

// Any channel count and 8 or 16 bits become 8-bit RGB: grey is repeated, alpha and further
// channels dropped, 16-bit values scaled down.
CImg<unsigned char> toRgb8(const CImg<unsigned short>& picture, bool sixteenBits) {
    const bool grey = picture.spectrum() < 3;
    sixteenBits = sixteenBits || picture.max() > 255;
    CImg<unsigned char> rgb(picture.width(), picture.height(), 1, 3);
    cimg_forXYC(rgb, x, y, c) {
        const unsigned value = picture(x, y, 0, grey ? 0 : c);
        rgb(x, y, 0, c) =
            static_cast<unsigned char>(sixteenBits ? (value * 255u + 32767u) / 65535u : value);
    }
    return rgb;
}

void uploadCimg(Texture& texture, const CImg<unsigned short>& picture, bool sixteenBits,
                const std::string& path) {
    if (picture.is_empty()) {
        throw std::runtime_error(fmt::sprintf("No picture in '%s'", path));
    }
    Texture::checkSize(picture.width(), picture.height());
    CImg<unsigned char> rgb = toRgb8(picture, sixteenBits);
    rgb.permute_axes("cxyz");
    texture.setup(picture.width(), picture.height(), GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
}

// A file descriptor closed on every way out.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

void makePipe(Fd& readEnd, Fd& writeEnd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    readEnd.fd = ends[0];
    writeEnd.fd = ends[1];
}

// A child process, waited for on every way out.
class Child {
public:
    Child() = default;
    ~Child() { wait(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Runs argv[0] with `in` and `out` as its standard input and output (-1: inherited).
    // The arguments go to the program as they are; no shell sees them.
    void spawn(const std::vector<std::string>& argv, int in, int out, const std::string& path) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (in >= 0) {
            posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        }
        if (out >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        }
        // A reader that stops early must end the writer, whatever the viewer ignores.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            pid = -1;
            throw std::runtime_error(fmt::sprintf("Failed to run '%s' for raw file '%s': %s",
                                                  argv[0], path, std::strerror(error)));
        }
    }

    void wait() {
        if (pid <= 0) {
            return;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }

private:
    pid_t pid = -1;
};

// dcraw -e -c <path> | djpeg -fast -ppm -scale 1/8, run without a shell.
void loadRawPreview(Texture& texture, const std::string& path) {
    // A name starting with '-' would be taken for an option.
    const std::string argument = path.compare(0, 1, "-") == 0 ? "./" + path : path;
    Child dcraw;
    Child djpeg;
    Fd previewRead, previewWrite, ppmRead, ppmWrite;
    makePipe(previewRead, previewWrite);
    makePipe(ppmRead, ppmWrite);
    dcraw.spawn({exeDir("dcraw"), "-e", "-c", argument}, -1, previewWrite.fd, path);
    djpeg.spawn({exeDir("djpeg"), "-fast", "-ppm", "-scale", "1/8"}, previewRead.fd, ppmWrite.fd,
                path);
    previewRead.reset();
    previewWrite.reset();
    ppmWrite.reset();

    File stream(::fdopen(ppmRead.fd, "rb"), &std::fclose);
    if (!stream) {
        throw std::system_error(errno, std::generic_category(), "fdopen");
    }
    ppmRead.fd = -1;
    CImg<unsigned short> picture;
    try {
        picture.load_pnm(stream.get());
    } catch (const CImgException&) {
        picture.assign();
    }
    stream.reset();
    dcraw.wait();
    djpeg.wait();
    if (picture.is_empty()) {
        throw std::runtime_error(
            fmt::sprintf("No preview picture could be extracted from raw file '%s'", path));
    }
    uploadCimg(texture, picture, false, path);
}

void loadStandardInput(Texture& texture) {
    CImg<unsigned short> picture = cimgLoad([] { return CImg<unsigned short>().load_pnm(stdin); });
    uploadCimg(texture, picture, false, "-");
}

void loadGeneric(Texture& texture, const std::string& path) {
    // CImg's generic loader does not tell the bit depth of a PNG; ask its PNG reader.
    unsigned bits = 8;
    CImg<unsigned short> picture = cimgLoad([&] {
        return boost::algorithm::iends_with(path, ".png")
                   ? CImg<unsigned short>().load_png(path.c_str(), &bits)
                   : CImg<unsigned short>().load(path.c_str());
    });
    uploadCimg(texture, picture, bits > 8, path);
}

} // namespace

Texture::Texture(const std::string& path) {
    using boost::algorithm::iends_with;
    if (iends_with(path, ".hdr")) {
        loadRadiance(*this, path);
    } else if (iends_with(path, ".jpg")) {
        loadJpeg(*this, path);
    } else if (iends_with(path, ".cr2")) {
        loadRawPreview(*this, path);
    } else if (path == "-") {
        loadStandardInput(*this);
    } else {
        loadGeneric(*this, path);
    }
}
