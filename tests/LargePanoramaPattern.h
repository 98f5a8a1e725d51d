#pragma once

// The synthetic panorama the large-picture tests draw and check: every texel's radiance known
// on the CPU, the four quarters and the polar caps told apart by colour.
#include "Picture.h"

#include <glm/vec2.hpp>
#include <glm/vec3.hpp>

#include <algorithm>
#include <cmath>

// Radiance m / 256 with a fixed exponent: red and green follow the column and the row, blue
// tells the quarter of the panorama, and the polar caps above 60 degrees are flat colours.
struct Pattern {
    int width;
    int height;

    int quadrant(int x) const { return (x + width / 8) % width / (width / 4); }

    glm::ivec3 mantissas(int x, int y) const {
        const double latitude = 90.0 - (y + 0.5) * 180.0 / height;
        if (latitude > 60) {
            return {0, 200, 200};
        }
        if (latitude < -60) {
            return {200, 0, 200};
        }
        // Triangle waves: no step that float rounding of a position could magnify.
        auto wave = [](int v) { return v & 256 ? 255 - (v & 255) : v & 255; };
        return {wave(x), wave(y), 40 + 50 * quadrant(x)};
    }

    glm::dvec3 radiance(int x, int y) const {
        x = ((x % width) + width) % width;
        y = std::min(height - 1, std::max(0, y));
        return glm::dvec3(mantissas(x, y)) / 256.0;
    }

    // Bilinear over the four texel centres around q, columns wrapping: what a magnified
    // spherical view shows.
    glm::dvec3 bilinear(glm::dvec2 q) const {
        const glm::dvec2 s = q - 0.5;
        const int x0 = static_cast<int>(std::floor(s.x));
        const int y0 = static_cast<int>(std::floor(s.y));
        const double fx = s.x - x0;
        const double fy = s.y - y0;
        return (radiance(x0, y0) * (1 - fx) + radiance(x0 + 1, y0) * fx) * (1 - fy) +
               (radiance(x0, y0 + 1) * (1 - fx) + radiance(x0 + 1, y0 + 1) * fx) * fy;
    }

    Picture picture() const {
        Picture result;
        result.allocate(width, height, PixelEncoding::Rgbe);
        unsigned char* p = result.pixels.get();
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x, p += 4) {
                const glm::ivec3 m = mantissas(x, y);
                p[0] = static_cast<unsigned char>(m.r);
                p[1] = static_cast<unsigned char>(m.g);
                p[2] = static_cast<unsigned char>(m.b);
                p[3] = 128;
            }
        }
        // Exposure offset 0 at f-stop 0: display values are the radiance.
        result.scale = {0.25, 0.25, 0.25};
        return result;
    }
};

double toDisplay(double linear) {
    linear = std::min(1.0, std::max(0.0, linear));
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}
