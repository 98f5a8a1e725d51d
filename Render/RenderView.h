#pragma once

#include <memory>
#include <string>

struct RenderOptions;
class OffscreenContext;
class Shader;

// An offscreen GL context and the viewer program, made once for any number of pictures.
class RenderContext {
public:
    // `programName` must outlive the object (argv[0] does).
    explicit RenderContext(const char* programName);
    ~RenderContext();

    RenderContext(const RenderContext&) = delete;
    RenderContext& operator=(const RenderContext&) = delete;

    // Loads `input`, draws the view of `options` through the viewer program and saves
    // `output`. Throws std::runtime_error; on failure no output file exists.
    void render(const RenderOptions& options, const std::string& input, const std::string& output);

private:
    // First, so that the GL objects below go while it is still current.
    std::unique_ptr<OffscreenContext> context;
    // Made at the first picture, so that a missing program is reported after a bad input.
    std::unique_ptr<Shader> shader;
};

// One render in a fresh context: options.input to options.output.
void renderView(const RenderOptions& options, const char* programName);
