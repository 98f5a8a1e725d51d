#pragma once

#include <memory>

// A current OpenGL compatibility context on a hidden surface of the X display, for the life
// of the object. Throws std::runtime_error when there is no display or no context.
class OffscreenContext {
public:
    explicit OffscreenContext(const char* programName);
    ~OffscreenContext();

    OffscreenContext(const OffscreenContext&) = delete;
    OffscreenContext& operator=(const OffscreenContext&) = delete;

private:
    struct Parts;
    std::unique_ptr<Parts> parts;
};
