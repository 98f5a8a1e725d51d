#pragma once

struct RenderOptions;

// Makes an offscreen GL context, loads the input, draws the view through the viewer program
// and saves the output. Throws std::runtime_error; on failure no output file exists.
void renderView(const RenderOptions& options, const char* programName);
