#pragma once

#include "ViewState.h"

class Shader;
class Texture;

// f-stop - log2(scaleMean) - 2; +infinity for a picture without statistics (scaleMean 0).
float exposureOffset(float fstop, double scaleMean);

// Draws one view of `picture` through the "viewer" program over the current framebuffer and
// viewport as a window shows it: the view's top row at the window's top, the last row GL reads
// back. Only the view's channels are written; the colour mask is whole again afterwards and
// the program stays in use.
void drawView(Shader& viewer, const Texture& picture, const ViewState& view);

// The same into `target` as renderTo draws: the view's top row is the target's row 0, the
// first one read back, and the target's size is the viewport. The target is cleared before
// the channel mask is set, so that the channels left out read 0; its framebuffer stays bound.
// Throws std::runtime_error on a GL failure.
void drawView(Shader& viewer, const Texture& picture, const ViewState& view, Texture& target);

// The one quad over the viewport whose texture coordinate is the window position in pixels,
// origin top-left; sets both fixed-function matrices for it.
void drawViewportQuad(int viewportWidth, int viewportHeight);
