// The CPU model of the viewer program's mapping, both ways, in every projection. Its agreement
// with the program itself is checked by ViewerShaderTest, which draws through it.
#include "ViewLimits.h"
#include "ViewMapping.h"

#include <glm/geometric.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;

ViewState view(Projection projection, float zoom, float yaw, float pitch, int width, int height) {
    ViewState v;
    v.projection = projection;
    v.zoom = zoom;
    v.yaw = yaw;
    v.pitch = pitch;
    v.viewportWidth = width;
    v.viewportHeight = height;
    return v;
}

std::string describe(const ViewState& v, glm::dvec2 screen) {
    return "projection " + std::to_string(static_cast<int>(v.projection)) + " zoom " +
           std::to_string(v.zoom) + " yaw " + std::to_string(v.yaw) + " pitch " +
           std::to_string(v.pitch) + " at " + std::to_string(screen.x) + ", " +
           std::to_string(screen.y);
}

TEST(YawPitchMatrix, TurnsAndTilts) {
    const glm::mat3 front = yawPitchMatrix(180, 0);
    const glm::mat3 back = yawPitchMatrix(0, 0);
    const glm::mat3 up = yawPitchMatrix(180, 90);
    const float diagonal[3] = {-1, 1, -1};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            // glm indexes column first.
            EXPECT_NEAR(front[column][row], row == column ? 1 : 0, 1e-6) << row << column;
            EXPECT_NEAR(back[column][row], row == column ? diagonal[row] : 0, 1e-6)
                << row << column;
        }
    }
    const float row1[3] = {0, 0, 1};
    const float row2[3] = {0, -1, 0};
    for (int column = 0; column < 3; ++column) {
        EXPECT_NEAR(up[column][1], row1[column], 1e-6) << column;
        EXPECT_NEAR(up[column][2], row2[column], 1e-6) << column;
    }
}

TEST(ViewMapping, ScreenToPictureToScreenComesBackInEveryProjection) {
    const int width = 1000;
    const int height = 500;
    for (Projection projection : {Projection::Flat, Projection::Sphere, Projection::Planet}) {
        for (float zoom : {0.3f, 1.0f, 2.5f}) {
            for (float yaw : {0.0f, 37.0f, -200.0f}) {
                for (float pitch : {0.0f, 60.0f, -89.0f}) {
                    const ViewState v = view(projection, zoom, yaw, pitch, 320, 200);
                    const ViewMapping mapping(v, width, height);
                    for (double sy = 0.5; sy < 200; sy += 33) {
                        for (double sx = 0.5; sx < 320; sx += 41) {
                            const glm::dvec2 screen(sx, sy);
                            const ViewMapping::Spot spot = mapping.pictureAt(screen);
                            if (projection != Projection::Flat) {
                                EXPECT_TRUE(spot.inside);
                                EXPECT_GE(spot.position.x, 0.0) << describe(v, screen);
                                EXPECT_LT(spot.position.x, width) << describe(v, screen);
                                EXPECT_GE(spot.position.y, 0.0) << describe(v, screen);
                                EXPECT_LE(spot.position.y, height) << describe(v, screen);
                            }
                            const auto back = mapping.screenAt(spot.position);
                            ASSERT_TRUE(back) << describe(v, screen);
                            EXPECT_NEAR(back->x, sx, 1e-6) << describe(v, screen);
                            EXPECT_NEAR(back->y, sy, 1e-6) << describe(v, screen);
                        }
                    }
                }
            }
        }
    }
}

// The window positions of the picture's top-left corner that ViewerShaderTest sees drawn.
TEST(ViewMapping, FlatViewStartsOnAWholePixelAndSaysWhatIsOnThePicture) {
    struct Case {
        float zoom, yaw, pitch;
        int left, top;
    };
    for (const Case& c :
         {Case{1, 0, 0, 12, 9}, Case{1, 3, -2, 15, 7}, Case{1, 2.6f, 0.4f, 15, 9},
          Case{2, 0, 0, -8, -6}, Case{2, 1.5f, -1, -5, -8}, Case{3, 0, 0, -28, -21}}) {
        const ViewState v = view(Projection::Flat, c.zoom, c.yaw, c.pitch, 64, 48);
        const ViewMapping mapping(v, 40, 30);
        const std::string where = describe(v, {0, 0});
        EXPECT_EQ(mapping.flatOrigin(), glm::dvec2(c.left, c.top)) << where;
        const double right = c.left + 40 * c.zoom;
        const double bottom = c.top + 30 * c.zoom;
        EXPECT_FALSE(mapping.pictureAt({c.left - 0.5, c.top + 0.5}).inside) << where;
        EXPECT_FALSE(mapping.pictureAt({c.left + 0.5, c.top - 0.5}).inside) << where;
        EXPECT_TRUE(mapping.pictureAt({c.left + 0.5, c.top + 0.5}).inside) << where;
        EXPECT_TRUE(mapping.pictureAt({right - 0.5, bottom - 0.5}).inside) << where;
        EXPECT_FALSE(mapping.pictureAt({right + 0.5, bottom - 0.5}).inside) << where;
        EXPECT_FALSE(mapping.pictureAt({right - 0.5, bottom + 0.5}).inside) << where;
        const glm::dvec2 q = mapping.pictureAt({c.left + 0.5, c.top + 0.5}).position;
        EXPECT_DOUBLE_EQ(q.x, 0.5 / c.zoom) << where;
        EXPECT_DOUBLE_EQ(q.y, 0.5 / c.zoom) << where;
        EXPECT_FALSE(mapping.directionAt({32, 24})) << where;
        EXPECT_FALSE(mapping.screenAtDirection({0, 0, -1})) << where;
    }
}

// A copy reduced 8 times, seen through reducedView, shows at every screen pixel the place the
// picture shows there, in every projection and off-centre.
TEST(ViewMapping, AReducedViewShowsTheSamePlaces) {
    for (const Projection projection : {Projection::Flat, Projection::Sphere, Projection::Planet}) {
        const float zoom = projection == Projection::Flat ? 0.37f : 0.05f;
        const ViewState v = view(projection, zoom, 21.0f, -13.0f, 96, 64);
        const ViewMapping whole(v, 1024, 512);
        const ViewMapping reduced(reducedView(v, 8), 128, 64);
        for (double y = 0.5; y < 64; y += 7) {
            for (double x = 0.5; x < 96; x += 5) {
                const ViewMapping::Spot a = whole.pictureAt({x, y});
                const ViewMapping::Spot b = reduced.pictureAt({x, y});
                const std::string where = describe(v, {x, y});
                ASSERT_EQ(a.inside, b.inside) << where;
                // The flat view's origin is a whole pixel in both: within a screen pixel.
                const double tolerance = projection == Projection::Flat ? 1.0 / zoom : 1.0e-3;
                EXPECT_NEAR(a.position.x, 8.0 * b.position.x, tolerance) << where;
                EXPECT_NEAR(a.position.y, 8.0 * b.position.y, tolerance) << where;
            }
        }
    }
}

// Yaw 0 looks at the centre column, yaw 90 at a quarter of the width, pitch 90 straight up;
// columns grow to the right on screen and rows downwards.
TEST(ViewMapping, SphericalViewsLookWhereYawAndPitchSay) {
    for (Projection projection : {Projection::Sphere, Projection::Planet}) {
        struct Case {
            float yaw, pitch;
            double column, row;
        };
        for (const Case& c : {Case{0, 0, 500, 250}, Case{90, 0, 250, 250}, Case{-90, 0, 750, 250},
                              Case{180, 30, 0, 250 - 500 / 6.0}, Case{45, -45, 375, 375}}) {
            const ViewState v = view(projection, 1.0f, c.yaw, c.pitch, 320, 200);
            const ViewMapping mapping(v, 1000, 500);
            const glm::dvec2 centre = mapping.pictureAt({160, 100}).position;
            // Column 0 and the width are the same meridian.
            EXPECT_NEAR(std::fmod(centre.x + 1.0, 1000.0) - 1.0, c.column, 1e-3)
                << describe(v, {160, 100});
            EXPECT_NEAR(centre.y, c.row, 1e-3) << describe(v, {160, 100});
            const glm::dvec2 right = mapping.pictureAt({170, 100}).position;
            const glm::dvec2 below = mapping.pictureAt({160, 110}).position;
            EXPECT_GT(std::fmod(right.x - centre.x + 1500.0, 1000.0) - 500.0, 0.0);
            EXPECT_GT(below.y, centre.y);
        }
        const ViewMapping up(view(projection, 1.0f, 123.0f, 90.0f, 320, 200), 1000, 500);
        EXPECT_NEAR(up.pictureAt({160, 100}).position.y, 0.0, 1e-3);
    }
}

TEST(ViewMapping, SphereShowsItsFieldOfViewAndNothingBehindIt) {
    // The lowest zoom shows a third of the panorama: 120 degrees from edge to edge.
    const float zoom = lowestZoom(Projection::Sphere, 3000, 1500, 640, 360);
    const ViewMapping mapping(view(Projection::Sphere, zoom, 20.0f, 0.0f, 640, 360), 3000, 1500);
    const glm::dvec3 left = glm::normalize(*mapping.directionAt({0, 180}));
    const glm::dvec3 right = glm::normalize(*mapping.directionAt({640, 180}));
    EXPECT_NEAR(std::acos(glm::dot(left, right)), 2 * pi / 3, 1e-6);
    // Straight behind the view, and anything at right angles to it, has no screen position.
    const glm::dvec3 ahead = glm::normalize(*mapping.directionAt({320, 180}));
    EXPECT_FALSE(mapping.screenAtDirection(-ahead));
    EXPECT_FALSE(mapping.screenAtDirection(glm::dvec3(0, 1, 0)));
    const auto centre = mapping.screenAtDirection(ahead);
    ASSERT_TRUE(centre);
    EXPECT_NEAR(centre->x, 320, 1e-6);
    EXPECT_NEAR(centre->y, 180, 1e-6);
}

TEST(ViewMapping, PlanetPutsTheHorizonTwoRadiansOutAndHasNoAntipode) {
    const float zoom = 0.5f;
    const ViewState v = view(Projection::Planet, zoom, 0.0f, -90.0f, 400, 400);
    const ViewMapping mapping(v, 1000, 500);
    const double perRadian = zoom * 1000 / (2 * pi);
    for (double longitude : {0.0, 1.0, -2.5}) {
        const auto screen = mapping.screenAtDirection(directionOf({longitude, 0.0}));
        ASSERT_TRUE(screen);
        EXPECT_NEAR(glm::length(*screen - glm::dvec2(200, 200)), 2 * perRadian, 1e-6) << longitude;
    }
    // Looking down, straight up is the one direction the stereographic view cannot show.
    EXPECT_FALSE(mapping.screenAtDirection({0, 1, 0}));
    const auto nadir = mapping.screenAtDirection({0, -1, 0});
    ASSERT_TRUE(nadir);
    EXPECT_NEAR(nadir->x, 200, 1e-6);
    EXPECT_NEAR(nadir->y, 200, 1e-6);
}

TEST(ViewMapping, PanoramaPositionsAnglesAndDirectionsAgree) {
    EXPECT_NEAR(panoramaPosition({pi, pi / 2}, 1000, 500).x, 0.0, 1e-9);
    EXPECT_NEAR(panoramaPosition({pi, pi / 2}, 1000, 500).y, 0.0, 1e-9);
    EXPECT_NEAR(panoramaPosition({-pi / 2, -pi / 4}, 1000, 500).x, 750.0, 1e-9);
    EXPECT_NEAR(panoramaPosition({-pi / 2, -pi / 4}, 1000, 500).y, 375.0, 1e-9);
    for (double longitude : {-3.0, -0.5, 0.0, 1.2, 3.1}) {
        for (double latitude : {-1.5, -0.2, 0.0, 0.9}) {
            const glm::dvec3 d = directionOf({longitude, latitude});
            EXPECT_NEAR(glm::length(d), 1.0, 1e-12);
            const LongitudeLatitude back = longitudeLatitude(3.0 * d);
            EXPECT_NEAR(back.longitude, longitude, 1e-12);
            EXPECT_NEAR(back.latitude, latitude, 1e-12);
            const LongitudeLatitude again =
                panoramaAngles(panoramaPosition({longitude, latitude}, 640, 320), 640, 320);
            EXPECT_NEAR(again.longitude, longitude, 1e-12);
            EXPECT_NEAR(again.latitude, latitude, 1e-12);
        }
    }
}

} // namespace

// No pixel of a view spans fewer picture rows than smallestFootprint says (the program's own
// measure: the larger of a step's row change and its column change times the column's width
// on the sphere), and the bound is not far below the least one found.
TEST(ViewMapping, SmallestFootprintBoundsEveryPixelsFootprint) {
    const int width = 32768;
    const int height = 16384;
    EXPECT_DOUBLE_EQ(
        ViewMapping(view(Projection::Flat, 4, 0, 0, 320, 200), width, height).smallestFootprint(),
        0.25);
    for (const ViewState& v : {view(Projection::Sphere, 0.06f, 30, 10, 320, 200),
                               view(Projection::Sphere, 0.5f, -100, 70, 400, 150),
                               view(Projection::Planet, 0.05f, 0, -90, 300, 300),
                               view(Projection::Planet, 0.3f, 170, 20, 320, 200)}) {
        const ViewMapping mapping(v, width, height);
        const double bound = mapping.smallestFootprint();
        double least = 1e30;
        for (int y = 0; y < v.viewportHeight - 1; y += 7) {
            for (int x = 0; x < v.viewportWidth - 1; x += 7) {
                const glm::dvec2 screen(x + 0.5, y + 0.5);
                const glm::dvec2 q = mapping.pictureAt(screen).position;
                glm::dvec2 extent(0.0);
                for (const glm::dvec2 step : {glm::dvec2(1, 0), glm::dvec2(0, 1)}) {
                    glm::dvec2 d = mapping.pictureAt(screen + step).position - q;
                    d.x -= width * std::floor(d.x / width + 0.5);
                    extent = glm::max(extent, glm::abs(d));
                }
                const double columnWidth = std::cos(pi * (0.5 - q.y / height));
                const double footprint = std::max(extent.y, extent.x * columnWidth);
                ASSERT_GE(footprint, bound * (1 - 1e-6)) << describe(v, screen);
                least = std::min(least, footprint);
            }
        }
        EXPECT_GE(bound, 0.6 * least) << describe(v, {0, 0});
    }
}
