#pragma once

#include <optional>
#include <string>
#include <vector>

// What one run of the offscreen renderer draws and where it saves it.
struct RenderOptions {
    std::string input;
    std::string output;
    int width = 1280;
    int height = 720;
    float yaw = 0.0f;
    float pitch = 0.0f;
    float fstop = 0.0f;
    std::optional<float> zoom;
    // Horizontal, in degrees; turned into a zoom once the picture's size is known.
    std::optional<float> fov;
    // Unset: as the viewer decides from the picture's shape.
    std::optional<int> projection;
    bool tonemap = false;
    bool red = true;
    bool green = true;
    bool blue = true;
    bool timing = false;
    bool help = false;
};

// The arguments after the program name. Throws std::runtime_error with a one-line reason.
RenderOptions parseRenderOptions(const std::vector<std::string>& args);

// The zoom that shows `fov` degrees across `viewportWidth` in the given projection, for a
// picture `pictureWidth` wide. Throws std::runtime_error for flat pictures and for angles
// the projection cannot show.
float zoomForFov(float fov, int projection, int pictureWidth, int viewportWidth);

extern const char* const renderHelp;
