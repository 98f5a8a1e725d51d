#pragma once

#include <string>

// Text for the pending OpenGL errors, one line each; drains them all. Empty when none.
std::string glError(const char* file, int line);

// The same lines for the codes `nextError` yields until it yields GL_NO_ERROR.
std::string glErrorLines(const char* file, int line, unsigned (*nextError)());

// Why the bound framebuffer object is incomplete; empty when it is complete.
std::string framebufferStatus(const char* file, int line);

// The check step after GL work: a non-empty text becomes a std::runtime_error.
void throwIfGlFailed(const std::string& text);
