#include "DrawView.h"

#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ViewMapping.h"

#include <GL/glu.h>
#include <fmt/printf.h>

#include <cmath>

namespace {

// Every uniform of the "viewer" program, which must be in use.
void setViewerUniforms(Shader& shader, const Texture& picture, const ViewState& view) {
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
    shader.setUniform1f("luminanceAverage", view.tonemap ? 0.18f : 0.0f);
    shader.setUniform1i("levels", picture.levels);
    shader.setUniform1i("tileLevels", picture.tileLevels);
    shader.setUniform1i("firstLevel", picture.firstLevel);
    shader.setUniform1f("tileColumns", static_cast<float>(picture.tileColumns));
    if (picture.sharedExponent) {
        shader.setUniform1f("radianceScale", std::ldexp(1.0f, picture.radianceShift));
    }
}

// Whether any pixel of the view may read level 0 of a picture whose level 0 is in tiles: only
// a pixel spanning less than two of its rows (with a margin for the program's estimate). The
// tiles' code costs every pixel otherwise, and the lowest zooms of a large panorama never
// read them.
bool readsTiles(const Texture& picture, const ViewState& view) {
    return picture.tileLevels > 0 &&
           ViewMapping(view, picture.width, picture.height).smallestFootprint() < 2.5;
}

// The program for the view's modes and the picture's texels: the modes are constants there,
// so that a software rasteriser runs only their branches. In use afterwards.
void selectProgram(Shader& shader, const Texture& picture, const ViewState& view) {
    shader.select(fmt::sprintf("#define PROJECTION %d\n#define LDR_INPUT %d\n"
                               "#define TONE_MAPPED %d\n#define TONE_OPERATOR %d\n"
                               "#define DISPLAY_MODE %d\n#define SHOW_CLIPPING %d\n%s%s",
                               static_cast<int>(view.projection), picture.hdr ? 0 : 1,
                               view.tonemap ? 1 : 0, static_cast<int>(view.toneOperator),
                               static_cast<int>(view.display), view.showClipping ? 1 : 0,
                               picture.sharedExponent ? "#define SHARED_EXPONENT\n" : "",
                               readsTiles(picture, view) ? "#define TILED\n" : ""));
    shader.use(true);
    if (picture.sharedExponent) {
        picture.wrapColumns(view.projection != Projection::Flat);
    }
}

void setChannelMask(const ViewState& view) {
    glColorMask(view.showRed, view.showGreen, view.showBlue, GL_TRUE);
}

void clearChannelMask() {
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
}

} // namespace

float exposureOffset(float fstop, double scaleMean) {
    return static_cast<float>(static_cast<double>(fstop) -
                              std::log(scaleMean) / 0.6931471805599453 - 2.0);
}

void drawView(Shader& viewer, const Texture& picture, const ViewState& view) {
    picture.bind(GL_TEXTURE0);
    setChannelMask(view);
    selectProgram(viewer, picture, view);
    setViewerUniforms(viewer, picture, view);
    drawViewportQuad(view.viewportWidth, view.viewportHeight);
    clearChannelMask();
}

void drawView(Shader& viewer, const Texture& picture, const ViewState& view, Texture& target) {
    ViewState sized = view;
    sized.viewportWidth = target.width;
    sized.viewportHeight = target.height;
    // glClear obeys the mask too.
    target.clear();
    setChannelMask(sized);
    selectProgram(viewer, picture, sized);
    setViewerUniforms(viewer, picture, sized);
    // The quad's texture coordinate is the framebuffer row and the program takes 0 as the
    // top: row 0 of the target is the view's top row, with no flip.
    renderTo(target, picture, false);
    clearChannelMask();
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
