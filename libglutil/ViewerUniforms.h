#pragma once

#include <glm/mat3x3.hpp>

class Shader;
class Texture;

// What the "viewer" program needs to draw one view of a picture.
struct ViewParameters {
    float yaw = 0.0f;
    float pitch = 0.0f;
    float zoom = 1.0f;
    float fstop = 0.0f;
    int projection = 1;
    bool tonemap = false;
    int viewportWidth = 0;
    int viewportHeight = 0;
};

// Ry(180 degrees - yaw) * Rx(-pitch), angles in degrees.
glm::mat3 yawPitchMatrix(float yaw, float pitch);

// f-stop - log2(scaleMean) - 2; +infinity for a picture without statistics (scaleMean 0).
float exposureOffset(float fstop, double scaleMean);

// Sets every uniform of the "viewer" program, which must be in use, in the render pass's order.
void setViewerUniforms(Shader& shader, const Texture& picture, const ViewParameters& view);

// Draws the one quad over the viewport whose texture coordinate is the window position in
// pixels, origin top-left; sets both fixed-function matrices for it.
void drawViewportQuad(int viewportWidth, int viewportHeight);
