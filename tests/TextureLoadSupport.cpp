#include "TextureLoadSupport.h"

#include "TexelReadback.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>

TempDir::TempDir() {
    std::random_device random;
    path = std::filesystem::temp_directory_path() /
           ("marovex-load-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes readTexture(const Texture& texture, int channels) {
    glBindTexture(GL_TEXTURE_2D, texture.glTextures[0]);
    return readTexels(texture, GL_TEXTURE_2D, 0,
                      static_cast<std::size_t>(texture.texWidth) * texture.texHeight, channels);
}

Bytes encodeJpeg(int width, int height, J_COLOR_SPACE in, J_COLOR_SPACE stored,
                 const Bytes& pixels) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = in == JCS_GRAYSCALE ? 1 : in == JCS_CMYK ? 4 : 3;
    info.in_color_space = in;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, stored);
    for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    const std::size_t rowSize = static_cast<std::size_t>(width) * info.input_components;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(pixels.data()) + info.next_scanline * rowSize;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes result(buffer, buffer + size);
    std::free(buffer);
    return result;
}

Bytes encodeRgbe(int width, int height, const Bytes& pixels) {
    const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " +
                               std::to_string(height) + " +X " + std::to_string(width) + "\n";
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

namespace {

void put16(Bytes& out, unsigned value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(Bytes& out, unsigned value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

} // namespace

Bytes encodeCanonRaw(const Bytes& preview) {
    const std::string make("Canon\0", 6);
    const std::string model("Canon EOS 5D\0", 13);
    const unsigned entries = 4;
    const unsigned dataStart = 8 + 2 + entries * 12 + 4;
    const unsigned modelAt = dataStart + static_cast<unsigned>(make.size());
    const unsigned previewAt = modelAt + static_cast<unsigned>(model.size());

    Bytes out = {'I', 'I', 42, 0};
    put32(out, 8);
    put16(out, entries);
    const unsigned ascii = 2, longType = 4;
    const unsigned tags[entries][4] = {
        {271, ascii, static_cast<unsigned>(make.size()), dataStart}, // Make
        {272, ascii, static_cast<unsigned>(model.size()), modelAt},  // Model
        {513, longType, 1, previewAt},                               // JPEG offset
        {514, longType, 1, static_cast<unsigned>(preview.size())},   // JPEG length
    };
    for (const auto& tag : tags) {
        put16(out, tag[0]);
        put16(out, tag[1]);
        put32(out, tag[2]);
        put32(out, tag[3]);
    }
    put32(out, 0);
    out.insert(out.end(), make.begin(), make.end());
    out.insert(out.end(), model.begin(), model.end());
    out.insert(out.end(), preview.begin(), preview.end());
    return out;
}

Bytes encodePpm(int width, int height, const Bytes& rgb) {
    const std::string header =
        "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), rgb.begin(), rgb.end());
    return file;
}

int runChild(const std::string& program, const std::string& test, const std::string& mode,
             const std::string& reportPath, const std::string& stdinPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdinPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdinPath.c_str(), O_RDONLY, 0);
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    environment.push_back("MAROVEX_TEST_CHILD=" + mode);
    environment.push_back("MAROVEX_TEST_REPORT=" + reportPath);
    std::vector<char*> env;
    for (std::string& entry : environment) {
        env.push_back(entry.data());
    }
    env.push_back(nullptr);
    std::string filter = "--gtest_filter=" + test;
    std::string programCopy = program;
    char* argv[] = {programCopy.data(), filter.data(), nullptr};

    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot run " + program + ": " + std::strerror(error));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string childMode() {
    const char* mode = std::getenv("MAROVEX_TEST_CHILD");
    return mode == nullptr ? std::string() : std::string(mode);
}

void writeChildReport(const std::string& text) {
    const char* path = std::getenv("MAROVEX_TEST_REPORT");
    if (path == nullptr) {
        throw std::runtime_error("no report file");
    }
    writeFile(path, Bytes(text.begin(), text.end()));
}

int maxDifference(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) {
        throw std::runtime_error("sizes differ: " + std::to_string(a.size()) + " and " +
                                 std::to_string(b.size()));
    }
    int most = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        most = std::max(most, std::abs(int(a[i]) - int(b[i])));
    }
    return most;
}

std::string loadError(const std::string& path) {
    try {
        Texture texture(path);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}
