#pragma once

#include "Projection.h"
#include "ViewState.h"

#include <optional>
#include <string>
#include <vector>

// What one run of the offscreen renderer draws and where it saves it.
struct RenderOptions {
    // The view at 1280 x 720.
    RenderOptions();

    std::string input;
    std::string output;
    // Size, direction, exposure, tone mapping and channels; its zoom and projection are
    // decided from the fields below once the picture's size is known.
    ViewState view;
    std::optional<float> zoom;
    // Horizontal, in degrees; turned into a zoom once the picture's size is known.
    std::optional<float> fov;
    // Unset: as the viewer decides from the picture's shape.
    std::optional<Projection> projection;
    bool timing = false;
    bool help = false;
    // The view's f-stop metered from its own pixels, as the viewer's e key does.
    bool autoExposure = false;
    // Gain-map photos as their HDR rendition; false: as their base picture.
    bool gainMaps = true;
    // Set: the output fits this square, the picture's shape kept, flat unless --projection.
    std::optional<int> thumbnail;
    // "jpg", "png", "ppm", "hdr" or "exr"; empty: chosen by the output's extension.
    std::string format;
    // A batch: every input is saved in this folder under its own name with the format's
    // extension. Empty: the one input and output above.
    std::string outputDir;
    std::vector<std::string> inputs;
};

// The arguments after the program name. Throws std::runtime_error with a one-line reason.
RenderOptions parseRenderOptions(const std::vector<std::string>& args);

// The output's type as an extension, ".jpg" and the like: the format when given, else the
// output's own extension; ".ppm" for "-".
std::string outputType(const RenderOptions& options, const std::string& output);

// The batch output of `input`: its name without folder and extension, in the output folder,
// with the format's extension.
std::string batchOutput(const RenderOptions& options, const std::string& input);

extern const char* const renderHelp;
