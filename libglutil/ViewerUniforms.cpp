#include "ViewerUniforms.h"

#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"

#include <GL/glu.h>

#include <cmath>

glm::mat3 yawPitchMatrix(float yaw, float pitch) {
    const float a = static_cast<float>((-yaw + 180.0) * 0.017453292519943295);
    const float p = pitch * 0.017453292f;
    const float ca = static_cast<float>(std::cos(static_cast<double>(a)));
    const float sa = static_cast<float>(std::sin(static_cast<double>(a)));
    const float cp = static_cast<float>(std::cos(static_cast<double>(p)));
    const float sp = static_cast<float>(std::sin(static_cast<double>(p)));
    // glm is column-major: each group of three is one column.
    return glm::mat3(ca, 0.0f, -sa, -sp * sa, cp, -sp * ca, cp * sa, sp, cp * ca);
}

float exposureOffset(float fstop, double scaleMean) {
    return static_cast<float>(static_cast<double>(fstop) -
                              std::log(scaleMean) / 0.6931471805599453 - 2.0);
}

void setViewerUniforms(Shader& shader, const Texture& picture, const ViewParameters& view) {
    shader.setUniform2f("texSize0", static_cast<float>(picture.texWidth),
                        static_cast<float>(picture.texHeight));
    shader.setUniform2f("inSize", static_cast<float>(picture.width),
                        static_cast<float>(picture.height));
    shader.setUniform2f("outSize", static_cast<float>(view.viewportWidth),
                        static_cast<float>(view.viewportHeight));
    shader.setUniform1f("yaw", view.yaw);
    shader.setUniform1f("pitch", view.pitch);
    shader.setUniformMatrix3fv("yaw_pitch_mat", yawPitchMatrix(view.yaw, view.pitch));
    shader.setUniform1f("zoom", view.zoom);
    shader.setUniform1f("exposureOffset", exposureOffset(view.fstop, picture.scaleMean));
    shader.setUniform1i("projection", view.projection);
    shader.setUniform1f("luminanceAverage", view.tonemap ? 0.18f : 0.0f);
    shader.setUniform1i("ldrInput", picture.hdr ? 0 : 1);
}

void drawViewportQuad(int viewportWidth, int viewportHeight) {
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0, viewportWidth, 0, viewportHeight);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    // Window pixels with the origin at the top-left corner, y downwards.
    glTranslatef(0.0f, static_cast<float>(viewportHeight), 0.0f);
    glScalef(1.0f, -1.0f, 1.0f);
    drawPixelQuad(viewportWidth, viewportHeight);
}
