#include "TextureRender.h"

#include "FileName.h"
#include "GlError.h"
#include "PictureWriter.h"
#include "Texture.h"
#include "rgbe.h"

#include <GL/glu.h>
#include <fmt/printf.h>

#include <initializer_list>
#include <stdexcept>
#include <vector>

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
std::vector<T> readBack(const Texture& texture, int x, int y, int w, int h, int components) {
    // Checked before the buffer is sized by them.
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || w > texture.width - x || h > texture.height - y) {
        throw std::runtime_error(
            fmt::sprintf("Rectangle %dx%d at (%d, %d) is outside the %dx%d texture", w, h, x, y,
                         texture.width, texture.height));
    }
    std::vector<T> values(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) *
                          static_cast<std::size_t>(components));
    PackAlignmentScope alignment;
    texture.bindFB();
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    glReadPixels(x, y, w, h, components == 4 ? GL_RGBA : GL_RGB, texture.glType(values.data()),
                 values.data());
    throwIfGlFailed(glError(__FILE__, __LINE__));
    return values;
}

template std::vector<float> readBack<float>(const Texture&, int, int, int, int, int);
template std::vector<unsigned short> readBack<unsigned short>(const Texture&, int, int, int, int,
                                                              int);
template std::vector<unsigned char> readBack<unsigned char>(const Texture&, int, int, int, int,
                                                            int);

template <typename T>
void Texture::save(const std::string& path, int x, int y, int w, int h) const {
    if (w == 0) {
        w = width - x;
    }
    if (h == 0) {
        h = height - y;
    }
    if (hasSuffix(path, ".hdr")) {
        const std::vector<unsigned char> bytes = readBack<unsigned char>(*this, x, y, w, h, 4);
        rgbe::write(path, w, h, bytes.data(), true);
        return;
    }
    const std::vector<T> values = readBack<T>(*this, x, y, w, h, 3);
    saveRgb(path, w, h, values.data());
}

template void Texture::save<float>(const std::string&, int, int, int, int) const;
template void Texture::save<unsigned short>(const std::string&, int, int, int, int) const;
template void Texture::save<unsigned char>(const std::string&, int, int, int, int) const;
