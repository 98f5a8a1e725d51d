#pragma once

#include "PictureWriter.h"

#include <string>
#include <vector>

class Texture;

// Draws one quad over `output` with the inputs bound to consecutive units from unit 0 (a split
// input takes two); the current fragment program computes the result, its texture coordinate 0
// being the output pixel position with row 0 first. The output's framebuffer, the viewport and
// both matrices stay set afterwards. Throws std::runtime_error on a GL failure.
void renderTo(Texture& output, const Texture& input0, bool clear);
void renderTo(Texture& output, const Texture& input0, const Texture& input1, bool clear);
void renderTo(Texture& output, const Texture& input0, const Texture& input1, const Texture& input2,
              bool clear);
void renderTo(Texture& output, const Texture& input0, const Texture& input1, const Texture& input2,
              const Texture& input3, bool clear);
void renderTo(Texture& output, const Texture& input0, const Texture& input1, const Texture& input2,
              const Texture& input3, const Texture& input4, bool clear);

// The same into two outputs at once (draw buffers 0 and 1) through a temporary framebuffer;
// output1 decides the viewport.
void renderTo2(Texture& output1, Texture& output2, const Texture& input, bool clear);

// One quad from (0, 0) to (width, height) in the current matrices, its texture coordinate 0
// equal to its position.
void drawPixelQuad(int width, int height);

// Reads the rectangle of `texture`'s left (or only) piece back, row 0 first, as `components`
// (3: RGB, 4: RGBA) values of type T (float, unsigned short or unsigned char) per pixel; its
// framebuffer stays bound. Throws std::runtime_error for a rectangle outside the texture or a
// GL failure.
template <typename T>
std::vector<T> readBack(const Texture& texture, int x, int y, int w, int h, int components);
