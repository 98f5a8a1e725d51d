#include "TextureRender.h"

#include "CFile.h"
#include "GlError.h"
#include "JpegCodec.h"
#include "Texture.h"
#include "rgbe.h"

#include <CImg.h>
#include <boost/algorithm/string/predicate.hpp>
#include <GL/glu.h>
#include <fmt/printf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <vector>

using cimg_library::CImg;
using cimg_library::CImgException;

namespace {

void renderQuad(const Texture& target, bool clear) {
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0, target.width, 0, target.height);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glViewport(0, 0, target.width, target.height);
    if (clear) {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    drawPixelQuad(target.width, target.height);
}

void renderInputs(Texture& output, std::initializer_list<const Texture*> inputs, bool clear) {
    unsigned unit = GL_TEXTURE0;
    for (const Texture* input : inputs) {
        unit = input->bind(unit);
    }
    output.bindFB();
    renderQuad(output, clear);
}

struct Framebuffer {
    GLuint name = 0;
    Framebuffer() { glGenFramebuffersEXT(1, &name); }
    ~Framebuffer() { glDeleteFramebuffersEXT(1, &name); }
    Framebuffer(const Framebuffer&) = delete;
    Framebuffer& operator=(const Framebuffer&) = delete;
};

struct PackAlignmentScope {
    PackAlignmentScope() {
        glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
    }
    ~PackAlignmentScope() { glPopClientAttrib(); }
    PackAlignmentScope(const PackAlignmentScope&) = delete;
    PackAlignmentScope& operator=(const PackAlignmentScope&) = delete;
};

template <typename Save> void cimgCall(Save save) {
    try {
        save();
    } catch (const CImgException& e) {
        throw std::runtime_error(e.what());
    }
}

void writePpm(const std::string& path, int w, int h, const unsigned char* pixels) {
    const std::string header =
        fmt::sprintf("P6\n# CREATOR: Marovex Stitcher\n%u %u\n%u\n", w, h, 255);
    const std::size_t size = static_cast<std::size_t>(w) * h * 3;
    if (path == "-") {
        std::fwrite(header.data(), 1, header.size(), stdout);
        std::fwrite(pixels, 1, size, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            throw std::runtime_error(
                fmt::sprintf("Failed to write file '%s': %s", path, std::strerror(errno)));
        }
        return;
    }
    File file = openFile(path, "wb");
    std::fwrite(header.data(), 1, header.size(), file.get());
    std::fwrite(pixels, 1, size, file.get());
    closeWritten(std::move(file), path);
}

void writeJpeg(const std::string& path, int w, int h, const unsigned char* pixels) {
    File file = openFile(path, "wb");
    JpegEncoder encoder;
    jpeg_compress_struct& info = encoder.info;
    jpegCall(encoder, [&] {
        jpeg_create_compress(&info);
        jpeg_stdio_dest(&info, file.get());
        info.image_width = static_cast<JDIMENSION>(w);
        info.image_height = static_cast<JDIMENSION>(h);
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 95, TRUE);
        jpeg_start_compress(&info, TRUE);
    });
    const std::size_t stride = static_cast<std::size_t>(w) * 3;
    for (int r = 0; r < h; ++r) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + r * stride);
        jpegCall(encoder, [&] { jpeg_write_scanlines(&info, &row, 1); });
    }
    jpegCall(encoder, [&] { jpeg_finish_compress(&info); });
    closeWritten(std::move(file), path);
}

} // namespace

void drawPixelQuad(int width, int height) {
    const auto w = static_cast<float>(width);
    const auto h = static_cast<float>(height);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(0.0f, 0.0f);
    glTexCoord2f(w, 0.0f);
    glVertex2f(w, 0.0f);
    glTexCoord2f(w, h);
    glVertex2f(w, h);
    glTexCoord2f(0.0f, h);
    glVertex2f(0.0f, h);
    glEnd();
}

void renderTo(Texture& output, const Texture& input0, bool clear) {
    renderInputs(output, {&input0}, clear);
}

void renderTo(Texture& output, const Texture& input0, const Texture& input1, bool clear) {
    renderInputs(output, {&input0, &input1}, clear);
}

void renderTo(Texture& output, const Texture& input0, const Texture& input1, const Texture& input2,
              bool clear) {
    renderInputs(output, {&input0, &input1, &input2}, clear);
}

void renderTo(Texture& output, const Texture& input0, const Texture& input1, const Texture& input2,
              const Texture& input3, bool clear) {
    renderInputs(output, {&input0, &input1, &input2, &input3}, clear);
}

void renderTo(Texture& output, const Texture& input0, const Texture& input1, const Texture& input2,
              const Texture& input3, const Texture& input4, bool clear) {
    renderInputs(output, {&input0, &input1, &input2, &input3, &input4}, clear);
}

void renderTo2(Texture& output1, Texture& output2, const Texture& input, bool clear) {
    input.bind(GL_TEXTURE0);
    Framebuffer framebuffer;
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer.name);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D,
                              output1.glTextures[0], 0);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT1_EXT, GL_TEXTURE_2D,
                              output2.glTextures[0], 0);
    const GLenum buffers[2] = {GL_COLOR_ATTACHMENT0_EXT, GL_COLOR_ATTACHMENT1_EXT};
    glDrawBuffersARB(2, buffers);
    throwIfGlFailed(framebufferStatus(__FILE__, __LINE__));
    throwIfGlFailed(glError(__FILE__, __LINE__));
    renderQuad(output1, clear);
}

template <typename T>
void Texture::save(const std::string& path, int x, int y, int w, int h) const {
    if (w == 0) {
        w = width - x;
    }
    if (h == 0) {
        h = height - y;
    }
    // Checked before the buffer is sized by them.
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || w > width - x || h > height - y) {
        throw std::runtime_error(fmt::sprintf(
            "Rectangle %dx%d at (%d, %d) is outside the %dx%d texture", w, h, x, y, width, height));
    }
    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    PackAlignmentScope alignment;
    bindFB();
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    if (boost::algorithm::iends_with(path, ".hdr")) {
        std::vector<unsigned char> bytes(4 * pixels);
        glReadPixels(x, y, w, h, GL_RGBA, GL_UNSIGNED_BYTE, bytes.data());
        throwIfGlFailed(glError(__FILE__, __LINE__));
        rgbe::write(path, w, h, bytes.data(), true);
        return;
    }
    std::vector<T> values(3 * pixels);
    glReadPixels(x, y, w, h, GL_RGB, glType(values.data()), values.data());
    throwIfGlFailed(glError(__FILE__, __LINE__));
    cimgCall([&] {
        CImg<T> picture(values.data(), 3, static_cast<unsigned>(w), static_cast<unsigned>(h), 1,
                        true);
        picture.get_permute_axes("yzcx").save(path.c_str());
    });
}

template void Texture::save<float>(const std::string&, int, int, int, int) const;
template void Texture::save<unsigned short>(const std::string&, int, int, int, int) const;
template void Texture::save<unsigned char>(const std::string&, int, int, int, int) const;

void saveImage(const std::string& path, int w, int h, int channels, const unsigned char* pixels) {
    if (boost::algorithm::iends_with(path, ".hdr")) {
        rgbe::write(path, w, h, pixels, true);
        return;
    }
    if (channels == 3 && (path == "-" || boost::algorithm::iends_with(path, ".ppm"))) {
        writePpm(path, w, h, pixels);
        return;
    }
    if (channels == 3 && boost::algorithm::iends_with(path, ".jpg")) {
        writeJpeg(path, w, h, pixels);
        return;
    }
    cimgCall([&] {
        const CImg<unsigned char> interleaved(pixels, static_cast<unsigned>(channels),
                                              static_cast<unsigned>(w), static_cast<unsigned>(h), 1,
                                              true);
        const CImg<unsigned char> picture = interleaved.get_permute_axes("yzcx");
        if (path == "-") {
            picture.save_pnm("-");
        } else {
            picture.save(path.c_str());
        }
    });
}
