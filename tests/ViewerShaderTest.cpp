// The "viewer" GLSL program drawn exactly as the render pass draws it, into an offscreen float
// target, and compared with values computed here. Colours are compared in display units
// (0..1) unless a test says otherwise.
#include "DrawView.h"
#include "ExeDir.h"
#include "Picture.h"
#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ViewLimits.h"
#include "ViewMapping.h"
#include "rgbe.h"

#include <glm/mat3x3.hpp>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

using Radiance = std::function<glm::vec3(int x, int y)>;
using Colour = std::function<std::array<std::uint8_t, 3>(int x, int y)>;

double toDisplay(double linear) {
    linear = std::min(1.0, std::max(0.0, linear));
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

double toLinear(double display) {
    return display <= 0.04045 ? display / 12.92 : std::pow((display + 0.055) / 1.055, 2.4);
}

// The bytes as a picture on the card, with its mip pyramid, as the loader makes it.
std::unique_ptr<Texture> upload(int width, int height, PixelEncoding encoding,
                                const std::vector<std::uint8_t>& bytes) {
    Picture picture;
    picture.allocate(width, height, encoding);
    std::copy(bytes.begin(), bytes.end(), picture.pixels.get());
    testing::internal::CaptureStderr();
    auto texture = std::make_unique<Texture>(std::move(picture));
    testing::internal::GetCapturedStderr();
    return texture;
}

// An RGBE picture whose exposure offset equals the f-stop (scaleMean 1/4).
struct HdrPicture {
    int width;
    int height;
    std::vector<std::uint8_t> quadruples;
    std::unique_ptr<Texture> texture;

    HdrPicture(int w, int h, const Radiance& radiance)
        : width(w), height(h), quadruples(static_cast<std::size_t>(w) * h * 4) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const glm::vec3 c = radiance(x, y);
                rgbe::encode(c.r, c.g, c.b, &quadruples[(static_cast<std::size_t>(y) * w + x) * 4]);
            }
        }
        texture = upload(w, h, PixelEncoding::Rgbe, quadruples);
        texture->scaleMean = 0.25;
    }

    // Decoded radiance of a texel, the columns wrapping and the rows clamped.
    glm::dvec3 at(int x, int y) const {
        x = ((x % width) + width) % width;
        y = std::min(height - 1, std::max(0, y));
        glm::dvec3 c;
        rgbe::decode(&quadruples[(static_cast<std::size_t>(y) * width + x) * 4], c.r, c.g, c.b);
        return c;
    }

    glm::dvec3 bilinear(glm::dvec2 q) const {
        const glm::dvec2 s = q - 0.5;
        const int x0 = static_cast<int>(std::floor(s.x));
        const int y0 = static_cast<int>(std::floor(s.y));
        const double fx = s.x - x0;
        const double fy = s.y - y0;
        return (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
               (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
    }
};

struct LdrPicture {
    int width;
    int height;
    std::vector<std::uint8_t> rgb;
    std::unique_ptr<Texture> texture;

    LdrPicture(int w, int h, const Colour& colour)
        : width(w), height(h), rgb(static_cast<std::size_t>(w) * h * 3) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const auto c = colour(x, y);
                std::copy(c.begin(), c.end(), &rgb[(static_cast<std::size_t>(y) * w + x) * 3]);
            }
        }
        texture = upload(w, h, PixelEncoding::Rgb8, rgb);
    }

    glm::vec3 at(int x, int y) const {
        const std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
        return glm::vec3(p[0], p[1], p[2]) / 255.0f;
    }
};

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<float> rgba; // rows from the top, as the window shows them

    glm::vec3 at(int x, int y) const {
        const float* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
        return {p[0], p[1], p[2]};
    }
};

ViewState view(Projection projection, float zoom, int width, int height) {
    ViewState v;
    v.projection = projection;
    v.zoom = zoom;
    v.viewportWidth = width;
    v.viewportHeight = height;
    return v;
}

// The picture position the view shows at window position (sx, sy).
glm::dvec2 picturePosition(int pictureWidth, int pictureHeight, const ViewState& v, double sx,
                           double sy) {
    return ViewMapping(v, pictureWidth, pictureHeight).pictureAt({sx, sy}).position;
}

std::string name(Projection projection) {
    return "projection " + std::to_string(static_cast<int>(projection));
}

void expectNear(glm::vec3 actual, glm::dvec3 expected, double tolerance, const std::string& where) {
    EXPECT_NEAR(actual.r, expected.r, tolerance) << where;
    EXPECT_NEAR(actual.g, expected.g, tolerance) << where;
    EXPECT_NEAR(actual.b, expected.b, tolerance) << where;
}

glm::dvec3 display(glm::dvec3 linear) {
    return {toDisplay(linear.r), toDisplay(linear.g), toDisplay(linear.b)};
}

std::string where(int x, int y) {
    std::ostringstream text;
    text << "at " << x << ", " << y;
    return text.str();
}

class ViewerShader : public testing::Test {
protected:
    static void SetUpTestSuite() { shader = std::make_unique<Shader>("viewer", ""); }
    static void TearDownTestSuite() { shader.reset(); }

    // One frame of the picture, drawn as the window draws it.
    static Frame render(const Texture& picture, const ViewState& v) {
        Texture target(v.viewportWidth, v.viewportHeight, static_cast<const float*>(nullptr),
                       GL_RGBA32F, GL_RGBA);
        target.bindFB();
        glViewport(0, 0, v.viewportWidth, v.viewportHeight);
        // Magenta marks pixels the quad missed.
        glClearColor(1, 0, 1, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0, 0, 0, 0);
        if (picture.numTextures == 1) {
            glActiveTexture(GL_TEXTURE1);
            glBindTexture(GL_TEXTURE_2D, 0);
            glActiveTexture(GL_TEXTURE0);
        }
        drawView(*shader, picture, v);
        Frame frame;
        frame.width = v.viewportWidth;
        frame.height = v.viewportHeight;
        const std::vector<float> raw = readBack<float>(target, 0, 0, frame.width, frame.height, 4);
        frame.rgba.resize(raw.size());
        const std::size_t row = static_cast<std::size_t>(frame.width) * 4;
        for (int y = 0; y < frame.height; ++y) {
            std::copy_n(&raw[(frame.height - 1 - y) * row], row, &frame.rgba[y * row]);
        }
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        shader->use(false);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        return frame;
    }

    static std::unique_ptr<Shader> shader;
};

std::unique_ptr<Shader> ViewerShader::shader;

// Also with the version lines of OpenGL 2 drivers (none, or 1.20), so older cards build it.
TEST_F(ViewerShader, LinksWithEveryUniformAndCompilesForOlderGlsl) {
    GLint linked = 0;
    glGetProgramiv(shader->program, GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_TRUE);
    for (const char* name :
         {"texUnit0", "texUnit1", "texSize0", "inSize", "outSize", "yaw", "pitch", "yaw_pitch_mat",
          "zoom", "exposureOffset", "projection", "luminanceAverage", "ldrInput", "levels",
          "tileLevels", "tileColumns"}) {
        EXPECT_NE(glGetUniformLocation(shader->program, name), -1) << name;
    }

    std::ifstream file(exeDir("viewer.frag"));
    std::stringstream text;
    text << file.rdbuf();
    const std::string source = text.str();
    ASSERT_FALSE(source.empty());
    for (const char* version : {"#version 110\n", "#version 120\n"}) {
        const GLuint object = glCreateShader(GL_FRAGMENT_SHADER);
        const char* parts[2] = {version, source.c_str()};
        glShaderSource(object, 2, parts, nullptr);
        glCompileShader(object);
        GLint compiled = 0;
        glGetShaderiv(object, GL_COMPILE_STATUS, &compiled);
        char log[2048] = "";
        glGetShaderInfoLog(object, sizeof log, nullptr, log);
        EXPECT_EQ(compiled, GL_TRUE) << version << log;
        glDeleteShader(object);
    }
}

TEST_F(ViewerShader, FlatPictureMapsPixelForPixelAndPansByWholePixels) {
    const LdrPicture picture(40, 30, [](int x, int y) {
        const unsigned h =
            static_cast<unsigned>(x) * 73856093u ^ static_cast<unsigned>(y) * 19349663u;
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(h),
                                           static_cast<std::uint8_t>(h >> 8),
                                           static_cast<std::uint8_t>(h >> 16)};
    });
    struct Case {
        float zoom, yaw, pitch;
        int left, top; // window position of the picture's top-left corner
    };
    // 64 x 48 window: centred, a pan of (yaw, pitch) picture pixels moves the picture right and
    // down by zoom times as many screen pixels, rounded to whole ones.
    for (const Case& c :
         {Case{1, 0, 0, 12, 9}, Case{1, 3, -2, 15, 7}, Case{1, 2.6f, 0.4f, 15, 9},
          Case{2, 0, 0, -8, -6}, Case{2, 1.5f, -1, -5, -8}, Case{3, 0, 0, -28, -21}}) {
        ViewState v = view(Projection::Flat, c.zoom, 64, 48);
        v.yaw = c.yaw;
        v.pitch = c.pitch;
        const Frame frame = render(*picture.texture, v);
        const int z = static_cast<int>(c.zoom);
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                const int px = x - c.left >= 0 ? (x - c.left) / z : -1;
                const int py = y - c.top >= 0 ? (y - c.top) / z : -1;
                const bool inside = px >= 0 && px < 40 && py >= 0 && py < 30;
                const glm::vec3 expected = inside ? picture.at(px, py) : glm::vec3(0.0f);
                expectNear(frame.at(x, y), expected, 0.5 / 255,
                           where(x, y) + " zoom " + std::to_string(c.zoom) + " yaw " +
                               std::to_string(c.yaw));
            }
        }
    }
}

// A checkerboard of single pixels must average out, not alias into stripes or solid colour.
TEST_F(ViewerShader, FlatPictureZoomedOutAveragesWhatAPixelCovers) {
    const HdrPicture hdr(64, 64, [](int x, int y) { return glm::vec3((x + y) % 2 ? 1.0f : 0.0f); });
    const LdrPicture ldr(64, 64, [](int x, int y) {
        const std::uint8_t v = (x + y) % 2 ? 255 : 0;
        return std::array<std::uint8_t, 3>{v, v, v};
    });
    for (float zoom : {0.5f, 0.25f}) {
        const Frame frame = render(*hdr.texture, view(Projection::Flat, zoom, 32, 32));
        const int size = static_cast<int>(64 * zoom);
        const int margin = (32 - size) / 2;
        for (int y = margin; y < margin + size; ++y) {
            for (int x = margin; x < margin + size; ++x) {
                EXPECT_NEAR(toLinear(frame.at(x, y).g), 0.5, 0.01) << where(x, y) << zoom;
            }
        }
        // 8-bit pictures are averaged close to linear light too: brighter than 0.5.
        const Frame ldrFrame = render(*ldr.texture, view(Projection::Flat, zoom, 32, 32));
        EXPECT_NEAR(ldrFrame.at(16, 16).g, std::sqrt(0.5), 0.01) << zoom;
    }
}

// Longitude quadrants centred on the columns that yaw 0, 90, 180 and 270 look at; the lower
// hemisphere is darker; caps of 30 degrees at the poles.
glm::vec3 quadrantColour(int quadrant) {
    const glm::vec3 colours[4] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}};
    return colours[quadrant];
}

const glm::vec3 topCap(0, 1, 1);
const glm::vec3 bottomCap(1, 0, 1);

LdrPicture quadrantPanorama(int width) {
    return LdrPicture(width, width / 2, [width](int x, int y) {
        const double latitude = 90 - (y + 0.5) * 360.0 / width;
        glm::vec3 c;
        if (latitude > 60) {
            c = topCap;
        } else if (latitude < -60) {
            c = bottomCap;
        } else {
            // Column width / 2 is yaw 0, width / 4 is yaw 90, 0 is yaw 180.
            const int shifted = (x + width / 8) % width;
            const int quadrant = (6 - shifted / (width / 4)) % 4;
            c = quadrantColour(quadrant) * (latitude > 0 ? 1.0f : 0.5f);
        }
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(c.r * 255),
                                           static_cast<std::uint8_t>(c.g * 255),
                                           static_cast<std::uint8_t>(c.b * 255)};
    });
}

TEST_F(ViewerShader, SphericalViewsLookWhereYawAndPitchSay) {
    const LdrPicture panorama = quadrantPanorama(512);
    for (Projection projection : {Projection::Sphere, Projection::Planet}) {
        ViewState v = view(projection, lowestZoom(projection, 512, 256, 64, 36), 64, 36);
        for (int turn = 0; turn < 6; ++turn) {
            v.yaw = 90.0f * turn - 90.0f; // -90 to 360: unwrapped yaws too
            for (float pitch : {20.0f, -20.0f}) {
                v.pitch = pitch;
                const Frame frame = render(*panorama.texture, v);
                const glm::vec3 expected =
                    quadrantColour((turn + 3) % 4) * (pitch > 0 ? 1.0f : 0.5f);
                expectNear(frame.at(32, 18), glm::dvec3(expected), 0.01,
                           name(projection) + " yaw " + std::to_string(v.yaw) + " pitch " +
                               std::to_string(pitch));
            }
        }
        for (float yaw : {0.0f, 123.0f}) {
            v.yaw = yaw;
            v.pitch = 90;
            expectNear(render(*panorama.texture, v).at(32, 18), topCap, 0.01, "up");
            v.pitch = -90;
            expectNear(render(*panorama.texture, v).at(32, 18), bottomCap, 0.01, "down");
        }
    }
}

// Left to right on screen follows increasing columns, the sky is up, and a larger yaw or pitch
// moves the content right or down, as a drag pulls it.
TEST_F(ViewerShader, ViewsAreNotMirroredAndFollowTheDrag) {
    const int width = 512;
    // Red grows with the column, green with the row; a bright blue line marks column 256 and
    // another row 128 (the horizon).
    const LdrPicture picture(width, width / 2, [](int x, int y) {
        const std::uint8_t blue = x == 256 || y == 128 ? 255 : 0;
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x / 2),
                                           static_cast<std::uint8_t>(y), blue};
    });
    auto markerColumn = [](const Frame& frame) {
        int best = -1;
        for (int x = 0; x < frame.width; ++x) {
            if (best < 0 ||
                frame.at(x, frame.height / 2 - 5).b > frame.at(best, frame.height / 2 - 5).b) {
                best = x;
            }
        }
        return best;
    };
    auto markerRow = [](const Frame& frame) {
        int best = -1;
        for (int y = 0; y < frame.height; ++y) {
            if (best < 0 ||
                frame.at(frame.width / 2 - 5, y).b > frame.at(frame.width / 2 - 5, best).b) {
                best = y;
            }
        }
        return best;
    };
    for (Projection projection : {Projection::Flat, Projection::Sphere, Projection::Planet}) {
        const std::string name = ::name(projection);
        const float zoom = 2;
        ViewState v = view(projection, zoom, 64, 48);
        const Frame still = render(*picture.texture, v);
        EXPECT_GT(still.at(40, 24).r, still.at(24, 24).r) << name;
        EXPECT_LT(still.at(32, 10).g, still.at(32, 38).g) << name;
        EXPECT_NEAR(markerColumn(still), 32, 1) << name;
        EXPECT_NEAR(markerRow(still), 24, 1) << name;

        // A drag of 6 screen pixels right and 4 down, in the widget's units.
        const float perPixel = projection == Projection::Flat ? 1 / zoom : 360.0f / width / zoom;
        v.yaw = 6 * perPixel;
        v.pitch = 4 * perPixel;
        const Frame dragged = render(*picture.texture, v);
        if (projection == Projection::Sphere) {
            // The rectilinear centre is scaled by its field of view: the direction is what counts.
            EXPECT_GT(markerColumn(dragged), markerColumn(still) + 1) << name;
            EXPECT_GT(markerRow(dragged), markerRow(still) + 1) << name;
        } else {
            EXPECT_NEAR(markerColumn(dragged), markerColumn(still) + 6, 1) << name;
            EXPECT_NEAR(markerRow(dragged), markerRow(still) + 4, 1) << name;
        }
    }
}

TEST_F(ViewerShader, LowestZoomsSpanAThirdOrTheLittlePlanet) {
    const int width = 1024;
    const LdrPicture gradient(width, width / 2, [](int x, int) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 255 / (1024 - 1)), 0, 0};
    });
    auto span = [&](Projection projection) {
        const Frame frame =
            render(*gradient.texture,
                   view(projection, lowestZoom(projection, width, width / 2, 128, 72), 128, 72));
        const double left = frame.at(0, 36).r;
        const double right = frame.at(127, 36).r;
        return (right - left) * 360;
    };
    // Edge pixel centres are half a pixel inside the window.
    EXPECT_NEAR(span(Projection::Sphere), 119.6, 2.5);
    EXPECT_NEAR(span(Projection::Planet), 229.2, 2.5);

    // Looking straight down: the ground inside the horizon circle (two radians' worth of
    // pixels from the centre), the sky outside it.
    const LdrPicture panorama = quadrantPanorama(512);
    ViewState v =
        view(Projection::Planet, lowestZoom(Projection::Planet, 512, 256, 128, 72), 128, 72);
    v.pitch = -90;
    const Frame planet = render(*panorama.texture, v);
    const double horizon = 2 * v.zoom * 512 / (2 * pi);
    expectNear(planet.at(64, 36), bottomCap, 0.01, "centre");
    for (int x : {0, 30, 98, 127}) {
        const double r = std::abs(x + 0.5 - 64);
        const glm::vec3 c = planet.at(x, 36);
        const float brightness = std::max(c.r, std::max(c.g, c.b));
        if (r < horizon - 3 && r > 10) {
            EXPECT_NEAR(brightness, 0.5, 0.01) << x;
        } else if (r > horizon + 3) {
            EXPECT_NEAR(brightness, 1.0, 0.01) << x;
        }
    }
}

// Radiance halfway between 1 and 1/4 is 5/8; blending the RGBE bytes would give 1/2.
TEST_F(ViewerShader, MagnifiedPanoramaInterpolatesRadiance) {
    const HdrPicture panorama(64, 32, [](int x, int) { return glm::vec3(x % 2 ? 0.25f : 1.0f); });
    ViewState v = view(Projection::Sphere, 16, 32, 16);
    const Frame frame = render(*panorama.texture, v);
    for (int x = 0; x < 32; ++x) {
        const glm::dvec2 q = picturePosition(64, 32, v, x + 0.5, 8.5);
        EXPECT_NEAR(toLinear(frame.at(x, 8).r), panorama.bilinear(q).r, 0.01) << x;
    }
    EXPECT_NEAR(toLinear(frame.at(16, 8).r), 0.625, 0.03);
}

// Stripes a single pixel wide, seen smaller than a pixel, must not flicker between black and
// white as the view turns.
TEST_F(ViewerShader, ZoomedOutPanoramaDoesNotShimmer) {
    const HdrPicture stripes(512, 256, [](int x, int) { return glm::vec3(x % 2 ? 1.0f : 0.0f); });
    for (Projection projection : {Projection::Sphere, Projection::Planet}) {
        ViewState v = view(projection, lowestZoom(projection, 512, 256, 64, 36), 64, 36);
        for (float yaw : {0.0f, 0.13f, 0.31f}) {
            v.yaw = yaw;
            const Frame frame = render(*stripes.texture, v);
            for (int x = 16; x < 48; ++x) {
                const double linear = toLinear(frame.at(x, 18).r);
                // Taps are capped at 5 x 5, so a little aliasing stays at 8 texels a pixel.
                EXPECT_GT(linear, 0.15) << x << " yaw " << yaw;
                EXPECT_LT(linear, 0.85) << x << " yaw " << yaw;
            }
        }
    }
}

// Wider than one piece: the left half on unit 0, the right half on unit 1.
TEST_F(ViewerShader, TiledPanoramaHasNoSeamAtTheTilesNorAt360Degrees) {
    GLint max = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
    // Periods of 16 and 48 columns wrap smoothly; wider than the card, so level 0 is tiles.
    const int width = (max / 48 + 1) * 48;
    const int height = 32;
    const HdrPicture panorama(width, height, [](int x, int y) {
        return glm::vec3(0.5 + 0.4 * std::sin(2 * pi * x / 16),
                         0.3 + 0.2 * std::cos(2 * pi * x / 48), 0.2 + 0.1 * y / (height - 1));
    });
    ASSERT_EQ(panorama.texture->tileLevels, 1);
    ASSERT_GT(panorama.texture->tileColumns, 1);
    const int boundary = panorama.texture->texWidth * (panorama.texture->tileColumns / 2);
    // The yaw that looks at a column.
    auto yawOf = [width](double column) {
        return static_cast<float>((width / 2.0 - column) * 360.0 / width);
    };
    for (Projection projection : {Projection::Sphere, Projection::Planet}) {
        // A boundary between tiles, and both sides of the 360-degree edge.
        for (float yaw : {yawOf(boundary), 180.0f, -180.0f}) {
            ViewState v = view(projection, 4, 48, 16);
            v.yaw = yaw;
            v.pitch = 0.2f;
            const Frame frame = render(*panorama.texture, v);
            for (int y : {3, 8, 12}) {
                for (int x = 0; x < 48; ++x) {
                    const glm::dvec2 q = picturePosition(width, height, v, x + 0.5, y + 0.5);
                    expectNear(frame.at(x, y), display(panorama.bilinear(q)), 0.01,
                               where(x, y) + " yaw " + std::to_string(yaw));
                }
            }
            // Zoomed out, the smooth channels keep their value across the seams.
            v.zoom = 0.4f; // 2.5 columns to a screen pixel
            const Frame small = render(*panorama.texture, v);
            for (int x = 18; x < 30; ++x) {
                const glm::dvec2 q = picturePosition(width, height, v, x + 0.5, 8.5);
                const double g = 0.3 + 0.2 * std::cos(2 * pi * q.x / 48);
                EXPECT_NEAR(toLinear(small.at(x, 8).g), g, 0.03) << x << " yaw " << yaw;
            }
        }
    }
    // The flat picture shows the columns around the boundary one for one.
    ViewState flat = view(Projection::Flat, 1, 48, 16);
    flat.yaw = static_cast<float>(width / 2 - boundary);
    const Frame frame = render(*panorama.texture, flat);
    for (int x = 0; x < 48; ++x) {
        const glm::dvec3 expected = display(panorama.at(boundary - 24 + x, height / 2 - 8 + 4));
        expectNear(frame.at(x, 4), expected, 0.005, where(x, 4));
    }
}

TEST_F(ViewerShader, ExposureScalesLinearRadianceAndToneMappingKeepsHighlights) {
    // Mid-grey, very bright, bright orange, black.
    const glm::vec3 values[4] = {glm::vec3(0.18f), glm::vec3(50.0f), glm::vec3(8, 4, 2),
                                 glm::vec3(0.0f)};
    const HdrPicture picture(4, 1, [&](int x, int) { return values[x]; });
    const double grey = picture.at(0, 0).r;
    auto linear = [](const Frame& frame, int x) {
        const glm::vec3 c = frame.at(x, 0);
        return glm::dvec3(toLinear(c.r), toLinear(c.g), toLinear(c.b));
    };
    for (float fstop : {-1.0f, 0.0f, 1.0f, 2.0f}) {
        ViewState v = view(Projection::Flat, 1, 4, 1);
        v.fstop = fstop;
        const Frame frame = render(*picture.texture, v);
        EXPECT_NEAR(linear(frame, 0).g / (grey * std::exp2(fstop)), 1.0, 0.01) << fstop;
        EXPECT_NEAR(frame.at(1, 0).g, 1.0f, 1e-5) << fstop;
        EXPECT_EQ(frame.at(3, 0).g, 0.0f) << fstop;
    }

    ViewState v = view(Projection::Flat, 1, 4, 1);
    v.tonemap = true;
    const Frame toned = render(*picture.texture, v);
    const glm::dvec3 mid = linear(toned, 0);
    const glm::dvec3 bright = linear(toned, 1);
    const glm::dvec3 orange = linear(toned, 2);
    EXPECT_GT(mid.g, 0.12);
    EXPECT_LT(mid.g, 0.25);
    EXPECT_LT(bright.g, 0.999);
    EXPECT_GT(bright.g, 0.9);
    EXPECT_NEAR(orange.g / orange.r, 0.5, 0.02);
    EXPECT_NEAR(orange.b / orange.r, 0.25, 0.02);
    EXPECT_EQ(toned.at(3, 0).g, 0.0f);
    // One stop more still orders the tones the same way.
    v.fstop = 1;
    const Frame brighter = render(*picture.texture, v);
    EXPECT_GT(linear(brighter, 0).g, mid.g);
    EXPECT_LT(linear(brighter, 0).g, linear(brighter, 1).g);
}

TEST_F(ViewerShader, EightBitPictureIsShownAsItIs) {
    const LdrPicture picture(16, 16, [](int x, int y) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 16 + y),
                                           static_cast<std::uint8_t>(255 - x * 7),
                                           static_cast<std::uint8_t>(y * 13)};
    });
    const float infinity = std::numeric_limits<float>::infinity();
    for (bool tonemap : {false, true}) {
        for (float fstop : {0.0f, 3.0f}) {
            ViewState v = view(Projection::Flat, 1, 16, 16);
            v.fstop = fstop;
            v.tonemap = tonemap;
            for (float exposure : {infinity, -3.0f, 0.0f, 5.0f}) {
                // The statistics that give this exposure offset at this f-stop.
                picture.texture->scaleMean =
                    exposure == infinity ? 0.0 : std::exp2(fstop - exposure - 2.0f);
                ASSERT_EQ(exposureOffset(fstop, picture.texture->scaleMean), exposure);
                const Frame frame = render(*picture.texture, v);
                for (int y = 0; y < 16; ++y) {
                    for (int x = 0; x < 16; ++x) {
                        expectNear(frame.at(x, y), picture.at(x, y), 0.5 / 255, where(x, y));
                    }
                }
            }
        }
    }
}

} // namespace
