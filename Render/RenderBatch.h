#pragma once

#include <string>

struct RenderOptions;

// Prints "marovex-render: " and `text` as one line on standard error, whatever line breaks
// the text holds (GL error texts end in one and may hold several).
void reportLine(const std::string& text);

// Renders every input of a batch into the output folder with one GL context. A failed input
// is reported with its name and the next one follows. Returns the exit status: 0 when all
// were saved, 1 otherwise. Progress goes to standard error only when it is a terminal.
int renderBatch(const RenderOptions& options, const char* programName);
