// Panoramas wider than the card takes in one texture (24576 and 32768 pixels on a card of
// 16384), made in memory and drawn through the viewer program, against the view module's CPU
// mapping. Also the mip filtering that keeps every size free of shimmer.
#include "DrawView.h"
#include "LargePanoramaPattern.h"
#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ViewLimits.h"
#include "ViewMapping.h"

#include <glm/vec2.hpp>
#include <glm/vec3.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<float> rgb; // row 0 at the top

    glm::dvec3 at(int x, int y) const {
        const float* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

class LargePanorama : public testing::Test {
protected:
    static void SetUpTestSuite() { shader = std::make_unique<Shader>("viewer", ""); }
    static void TearDownTestSuite() { shader.reset(); }

    static Frame render(const Texture& picture, const ViewState& view) {
        Texture target(view.viewportWidth, view.viewportHeight, static_cast<const float*>(nullptr),
                       GL_RGBA32F, GL_RGBA);
        drawView(*shader, picture, view, target);
        Frame frame;
        frame.width = view.viewportWidth;
        frame.height = view.viewportHeight;
        frame.rgb = readBack<float>(target, 0, 0, frame.width, frame.height, 3);
        Shader::useNone();
        return frame;
    }

    static std::unique_ptr<Texture> upload(const Pattern& pattern) {
        testing::internal::CaptureStderr();
        auto texture = std::make_unique<Texture>(pattern.picture());
        testing::internal::GetCapturedStderr();
        return texture;
    }

    static std::unique_ptr<Shader> shader;
};

std::unique_ptr<Shader> LargePanorama::shader;

ViewState sphere(float zoom, int width, int height) {
    ViewState view;
    view.projection = Projection::Sphere;
    view.zoom = zoom;
    view.viewportWidth = width;
    view.viewportHeight = height;
    return view;
}

// Every pixel of a magnified view against the CPU's bilinear radiance at the position the
// view module maps it to.
void expectMatchesCpu(const Frame& frame, const Pattern& pattern, const ViewState& view,
                      const std::string& what) {
    const ViewMapping mapping(view, pattern.width, pattern.height);
    int failures = 0;
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const glm::dvec2 q = mapping.pictureAt({x + 0.5, y + 0.5}).position;
            const glm::dvec3 expected = pattern.bilinear(q);
            const glm::dvec3 actual = frame.at(x, y);
            for (int c = 0; c < 3; ++c) {
                if (std::abs(actual[c] - toDisplay(expected[c])) > 2.0 / 255 && ++failures < 4) {
                    ADD_FAILURE() << what << ": pixel " << x << ", " << y << " channel " << c
                                  << " is " << actual[c] << ", the CPU says "
                                  << toDisplay(expected[c]) << " at " << q.x << ", " << q.y;
                }
            }
        }
    }
    EXPECT_EQ(failures, 0) << what;
}

} // namespace

TEST_F(LargePanorama, WidePanoramasLookWhereTheyShouldAndMatchTheCpuAtEverySeam) {
    for (const int width : {24576, 32768}) {
        const Pattern pattern{width, width / 2};
        const std::unique_ptr<Texture> texture = upload(pattern);
        ASSERT_EQ(texture->tileLevels, 1) << width;
        const std::string size = std::to_string(width) + " wide";

        // The quarter each yaw looks at, and the caps straight up and down.
        ViewState view = sphere(lowestZoom(Projection::Sphere, width, width / 2, 64, 36), 64, 36);
        for (const float yaw : {0.0f, 90.0f, 180.0f, 270.0f}) {
            view.yaw = yaw;
            view.pitch = 20.0f;
            const int column = static_cast<int>(width / 2 - yaw / 360.0 * width + width) % width;
            EXPECT_NEAR(render(*texture, view).at(32, 18).b,
                        toDisplay((40 + 50 * pattern.quadrant(column)) / 256.0), 2.0 / 255)
                << size << " yaw " << yaw;
        }
        for (const float pitch : {90.0f, -90.0f}) {
            view.pitch = pitch;
            const glm::dvec3 cap = pattern.radiance(0, pitch > 0 ? 0 : width / 2 - 1);
            EXPECT_NEAR(render(*texture, view).at(32, 18).g, toDisplay(cap.g), 2.0 / 255)
                << size << " pitch " << pitch;
        }

        // Magnified on a tile boundary, on the 360-degree edge and near both poles.
        view = sphere(4.0f, 48, 32);
        struct Spot {
            const char* name;
            double column;
            double row;
        };
        const double tile = texture->texWidth;
        const double height = width / 2.0;
        for (const Spot spot :
             {Spot{"tile boundary", tile, 0.4 * height},
              Spot{"last tile boundary", tile * (texture->tileColumns - 1), 0.55 * height},
              Spot{"360-degree edge", 0, 0.5 * height},
              Spot{"tile row boundary", width / 7.0, static_cast<double>(texture->texHeight)},
              Spot{"north pole", width / 3.0, 40}, Spot{"south pole", width / 5.0, height - 40}}) {
            view.yaw = static_cast<float>((width / 2.0 - spot.column) * 360.0 / width);
            view.pitch = static_cast<float>(90.0 - spot.row * 180.0 / (width / 2));
            expectMatchesCpu(render(*texture, view), pattern, view, size + " " + spot.name);
        }
    }
}

// A turn by a fraction of a texel must not make a fine pattern flicker: zoomed out, every
// screen pixel averages what it covers.
TEST_F(LargePanorama, NoShimmerWhenTurningZoomedOut) {
    for (const int width : {8192, 32768}) {
        Picture checkers;
        checkers.allocate(width, width / 2, PixelEncoding::Rgbe);
        for (std::size_t i = 0; i < checkers.byteCount() / 4; ++i) {
            const std::size_t x = i % static_cast<std::size_t>(width);
            const std::size_t y = i / static_cast<std::size_t>(width);
            const unsigned char v = (x + y) % 2 ? 255 : 0;
            unsigned char* p = checkers.pixels.get() + 4 * i;
            p[0] = p[1] = p[2] = v;
            p[3] = 128;
        }
        checkers.scale = {0.25, 0.25, 0.25};
        testing::internal::CaptureStderr();
        const Texture texture(std::move(checkers));
        testing::internal::GetCapturedStderr();

        ViewState view = sphere(lowestZoom(Projection::Sphere, width, width / 2, 160, 90), 160, 90);
        view.yaw = 10.0f;
        view.pitch = 5.0f;
        const Frame before = render(texture, view);
        view.yaw += 0.37f * 360.0f / width;
        const Frame after = render(texture, view);
        double worst = 0.0;
        for (int y = 0; y < before.height; ++y) {
            for (int x = 0; x < before.width; ++x) {
                worst = std::max(worst, std::abs(before.at(x, y).g - after.at(x, y).g));
            }
        }
        EXPECT_LE(worst, 2.0 / 255) << width << " wide";
        // And the average is the checkerboard's mean radiance, not black or white.
        EXPECT_NEAR(before.at(80, 45).g, toDisplay(255.0 / 512), 2.0 / 255) << width;
    }
}
