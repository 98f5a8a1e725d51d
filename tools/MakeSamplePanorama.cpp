// Draws the sample panorama: an equirectangular HDR picture twice as wide as high with a
// sky, a sun thousands of times brighter than the sky, clouds, a tiled ground plane and
// the four compass letters, written run-length encoded through rgbe::write.
//
//   make-sample-panorama OUTPUT.hdr [WIDTH]      (WIDTH even, default 4096)

#include "rgbe.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

const double pi = 3.14159265358979323846;
const double degree = pi / 180;

struct Color {
    double r, g, b;
};

Color operator+(Color a, Color b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b};
}
Color operator*(Color a, double s) {
    return {a.r * s, a.g * s, a.b * s};
}
Color operator*(Color a, Color b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b};
}
Color mix(Color a, Color b, double t) {
    return a * (1 - t) + b * t;
}

double clamp01(double v) {
    return std::min(1.0, std::max(0.0, v));
}
double smoothstep(double a, double b, double v) {
    const double t = clamp01((v - a) / (b - a));
    return t * t * (3 - 2 * t);
}

// The picture's centre looks north; east is a quarter turn to the right.
const double sunAzimuth = 38 * degree;
const double sunElevation = 24 * degree;
const double sunRadius = 0.75 * degree;
const Color sunColor{36000, 33000, 28000};
const Color zenithColor{0.10, 0.24, 0.80};
const Color horizonColor{0.95, 1.05, 1.20};
const double eyeHeight = 1.6;
const double tileSize = 2.0;

struct Direction {
    double x, y, z; // east, up, north
};

Direction direction(double azimuth, double elevation) {
    return {std::cos(elevation) * std::sin(azimuth), std::sin(elevation),
            std::cos(elevation) * std::cos(azimuth)};
}

double angleBetween(Direction a, Direction b) {
    return std::acos(std::min(1.0, a.x * b.x + a.y * b.y + a.z * b.z));
}

// Smooth value noise for the clouds.
double hash(int x, int y) {
    std::uint32_t h =
        static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return double((h ^ (h >> 16)) & 0xffffff) / double(0xffffff);
}

double noise(double x, double y) {
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const int ix = static_cast<int>(fx);
    const int iy = static_cast<int>(fy);
    const double u = smoothstep(0, 1, x - fx);
    const double v = smoothstep(0, 1, y - fy);
    const double a = hash(ix, iy) + (hash(ix + 1, iy) - hash(ix, iy)) * u;
    const double b = hash(ix, iy + 1) + (hash(ix + 1, iy + 1) - hash(ix, iy + 1)) * u;
    return a + (b - a) * v;
}

double clouds(double x, double y) {
    double sum = 0;
    double amplitude = 0.5;
    for (int octave = 0; octave < 5; ++octave) {
        sum += amplitude * noise(x, y);
        x = x * 2.03 + 17.1;
        y = y * 2.03 - 5.3;
        amplitude *= 0.5;
    }
    return sum;
}

Color sky(Direction d, double azimuth) {
    const double up = std::max(0.0, d.y);
    Color c = mix(horizonColor, zenithColor, std::pow(up, 0.4));
    // Warmer and brighter towards the sun, strongest low on the horizon.
    const Direction sun = direction(sunAzimuth, sunElevation);
    const double toSun = angleBetween(d, sun);
    const double near = std::pow(std::max(0.0, std::cos(azimuth - sunAzimuth)), 3.0);
    c = c + Color{0.9, 0.55, 0.25} * (near * std::exp(-up * 6) * 0.8);
    c = c + Color{1.0, 0.85, 0.6} *
                (3.0 * std::exp(-toSun / (2.5 * degree)) + 0.6 * std::exp(-toSun / (15 * degree)));

    // A cloud layer 1500 m up, thinning towards the horizon.
    if (d.y > 0.015) {
        const double t = 1500 / d.y;
        const double density =
            smoothstep(0.50, 0.72, clouds(d.x * t / 2400 + 3.7, d.z * t / 2400 - 1.2));
        const double fade = smoothstep(0.015, 0.12, d.y);
        const Color lit =
            Color{2.6, 2.5, 2.4} + Color{2.0, 1.6, 1.1} * std::exp(-toSun / (10 * degree)) * 4;
        c = mix(c, lit * (0.65 + 0.35 * density), density * fade * 0.9);
    }
    return c;
}

Color ground(Direction d) {
    const double t = eyeHeight / -d.y;
    const double px = d.x * t;
    const double pz = d.z * t;
    const double distance = std::hypot(px, pz);
    const bool dark = (static_cast<long>(std::floor(px / tileSize)) +
                       static_cast<long>(std::floor(pz / tileSize))) &
                      1;
    Color albedo = dark ? Color{0.10, 0.14, 0.09} : Color{0.30, 0.34, 0.24};
    // Grid lines between tiles, and the north-south and east-west axes in red and white.
    const double gx = std::fabs(px / tileSize - std::round(px / tileSize)) * tileSize;
    const double gz = std::fabs(pz / tileSize - std::round(pz / tileSize)) * tileSize;
    if (std::min(gx, gz) < 0.03) {
        albedo = Color{0.55, 0.55, 0.5};
    }
    if (distance > 4 && std::fabs(px) < 0.08) {
        albedo = pz > 0 ? Color{0.75, 0.08, 0.05} : Color{0.7, 0.7, 0.7};
    } else if (distance > 4 && std::fabs(pz) < 0.08) {
        albedo = Color{0.7, 0.7, 0.7};
    }
    const double light = 1.4 + 7.0 * std::sin(sunElevation);
    const Color lit = albedo * Color{light, light * 0.97, light * 0.9};
    const double haze = 1 - std::exp(-distance / 220);
    return mix(lit, horizonColor * 0.9, haze);
}

struct Segment {
    double x0, y0, x1, y1;
};

// Letters as strokes in a unit box, y up.
const std::vector<Segment> glyphN = {{0, 0, 0, 1}, {0, 1, 1, 0}, {1, 0, 1, 1}};
const std::vector<Segment> glyphE = {{0, 0, 0, 1}, {0, 1, 1, 1}, {0, 0.5, 0.75, 0.5}, {0, 0, 1, 0}};
const std::vector<Segment> glyphS = {
    {1, 1, 0, 1}, {0, 1, 0, 0.5}, {0, 0.5, 1, 0.5}, {1, 0.5, 1, 0}, {1, 0, 0, 0}};
const std::vector<Segment> glyphW = {
    {0, 1, 0.25, 0}, {0.25, 0, 0.5, 0.6}, {0.5, 0.6, 0.75, 0}, {0.75, 0, 1, 1}};

double segmentDistance(double x, double y, const Segment& s) {
    const double dx = s.x1 - s.x0;
    const double dy = s.y1 - s.y0;
    const double t = clamp01(((x - s.x0) * dx + (y - s.y0) * dy) / (dx * dx + dy * dy));
    return std::hypot(x - s.x0 - t * dx, y - s.y0 - t * dy);
}

double wrapAngle(double a) {
    return a - 2 * pi * std::floor((a + pi) / (2 * pi));
}

// Coverage of the compass letters and horizon ticks at a point, with their colour.
double marks(double azimuth, double elevation, double pixel, Color& color) {
    struct Letter {
        double azimuth;
        const std::vector<Segment>* glyph;
        Color color;
    };
    const Letter letters[] = {{0, &glyphN, {6.0, 0.5, 0.35}},
                              {90 * degree, &glyphE, {4.0, 4.0, 4.0}},
                              {180 * degree, &glyphS, {4.0, 4.0, 4.0}},
                              {-90 * degree, &glyphW, {4.0, 4.0, 4.0}}};
    const double width = 6 * degree;
    const double height = 9 * degree;
    const double bottom = 3 * degree;
    const double stroke = 0.6 * degree;
    double best = 0;
    for (const Letter& letter : letters) {
        const double da = wrapAngle(azimuth - letter.azimuth);
        if (std::fabs(da) > width) {
            continue;
        }
        // Inside the box, lengths are kept in angle so that strokes stay even.
        const double u = da + width / 2;
        const double v = elevation - bottom;
        double nearest = 1e9;
        for (const Segment& s : *letter.glyph) {
            const Segment scaled{s.x0 * width, s.y0 * height, s.x1 * width, s.y1 * height};
            nearest = std::min(nearest, segmentDistance(u, v, scaled));
        }
        const double coverage = clamp01((stroke - nearest) / pixel + 0.5);
        if (coverage > best) {
            best = coverage;
            color = letter.color;
        }
    }
    // Ticks every 10 degrees, longer every 45.
    const double tenth = std::fabs(wrapAngle(azimuth * 36) / 36);
    const double eighth = std::fabs(wrapAngle(azimuth * 8) / 8);
    const double tick = eighth < 0.2 * degree ? 1.6 * degree : 0.6 * degree;
    const double off = std::min(tenth, eighth);
    if (std::fabs(elevation) < tick) {
        const double coverage = clamp01((0.08 * degree - off) / pixel + 0.5);
        if (coverage > best) {
            best = coverage;
            color = Color{2.5, 2.5, 2.2};
        }
    }
    return best;
}

Color sample(double azimuth, double elevation, double pixel) {
    const Direction d = direction(azimuth, elevation);
    Color c{0, 0, 0};
    if (d.y < -1e-4) {
        c = ground(d);
    } else {
        c = sky(d, azimuth);
        const double toSun = angleBetween(d, direction(sunAzimuth, sunElevation));
        c = mix(c, sunColor, clamp01((sunRadius - toSun) / pixel + 0.5));
    }
    Color mark{0, 0, 0};
    const double coverage = marks(azimuth, elevation, pixel, mark);
    return mix(c, mark, coverage);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.hdr [WIDTH]\n", argv[0]);
        return 2;
    }
    const int width = argc == 3 ? std::atoi(argv[2]) : 4096;
    if (width < 16 || width > 65534 || width % 2 != 0) {
        std::fprintf(stderr, "%s: WIDTH must be even, from 16 to 65534\n", argv[0]);
        return 2;
    }
    const int height = width / 2;
    const double pixel = 2 * pi / width;
    std::vector<unsigned char> pixels(4 * size_t(width) * size_t(height));
    auto drawRows = [&](int first, int last) {
        for (int y = first; y < last; ++y) {
            // Below the horizon the tiles shrink to less than a pixel: 3 x 3 samples there.
            const int n = y >= height / 2 ? 3 : 1;
            for (int x = 0; x < width; ++x) {
                Color sum{0, 0, 0};
                for (int j = 0; j < n; ++j) {
                    for (int i = 0; i < n; ++i) {
                        const double azimuth = ((x + (i + 0.5) / n) / width - 0.5) * 2 * pi;
                        const double elevation = (0.5 - (y + (j + 0.5) / n) / height) * pi;
                        sum = sum + sample(azimuth, elevation, pixel);
                    }
                }
                const Color mean = sum * (1.0 / (n * n));
                rgbe::encode(mean.r, mean.g, mean.b,
                             &pixels[4 * (size_t(y) * size_t(width) + size_t(x))]);
            }
        }
    };
    // Rows interleaved in bands over every core; the futures wait for their bands.
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const int band = 16;
    std::vector<std::future<void>> workers;
    for (int core = 0; core < cores; ++core) {
        workers.push_back(std::async(std::launch::async, [&, core] {
            for (int y = core * band; y < height; y += cores * band) {
                drawRows(y, std::min(height, y + band));
            }
        }));
    }
    for (std::future<void>& worker : workers) {
        worker.get();
    }
    try {
        rgbe::write(argv[1], width, height, pixels.data(), true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
