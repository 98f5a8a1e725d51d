#pragma once

#include "ViewState.h"

#include <glm/mat3x3.hpp>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>

#include <optional>

// Ry(180 degrees - yaw) * Rx(-pitch), angles in degrees: turns a camera direction (x right,
// y up, looking along +z) into a panorama direction. The viewer program's yaw_pitch_mat.
glm::mat3 yawPitchMatrix(float yaw, float pitch);

// A panorama direction in radians. Longitude 0 is the picture's centre column and grows
// towards column 0 (pi at the left edge, -pi at the right); latitude pi/2 is straight up,
// the picture's top edge.
struct LongitudeLatitude {
    double longitude = 0.0;
    double latitude = 0.0;
};

// The angles of a direction of any length but 0, and the unit direction of angles.
LongitudeLatitude longitudeLatitude(const glm::dvec3& direction);
glm::dvec3 directionOf(const LongitudeLatitude& angles);

// Angles and positions on an equirectangular picture of width x height pixels.
glm::dvec2 panoramaPosition(const LongitudeLatitude& angles, int width, int height);
LongitudeLatitude panoramaAngles(const glm::dvec2& position, int width, int height);

// The view of a copy of the picture reduced `factor` times in each direction that shows what
// `view` shows of the picture itself: zoom counts screen pixels per picture pixel, and the
// flat view's yaw and pitch are picture pixels.
ViewState reducedView(const ViewState& view, int factor);

// Where the viewer program (shaders/viewer.frag) looks, computed on the CPU in double
// precision, both ways. Screen positions are window pixels from the viewport's top-left
// corner, y down, so pixel (i, j) has its centre at (i + 0.5, j + 0.5). Picture positions are
// picture pixels from its top-left corner, texel centres at +0.5, row 0 at the top.
class ViewMapping {
public:
    ViewMapping(const ViewState& view, int pictureWidth, int pictureHeight);

    struct Spot {
        glm::dvec2 position;
        // The flat view draws black off the picture; every spherical screen position shows it.
        bool inside = true;
    };

    // The picture position shown at `screen`: in the spherical views its column lies in
    // [0, width); in the flat view it may lie off the picture, as `inside` says.
    Spot pictureAt(const glm::dvec2& screen) const;
    // The panorama direction seen at `screen`, not normalised; none in the flat view.
    std::optional<glm::dvec3> directionAt(const glm::dvec2& screen) const;

    // The screen position showing a picture position or a panorama direction, possibly
    // outside the viewport. None where the view cannot show it: behind the Sphere view's
    // camera, opposite the Planet view's centre, or a direction in the flat view.
    std::optional<glm::dvec2> screenAt(const glm::dvec2& picture) const;
    std::optional<glm::dvec2> screenAtDirection(const glm::dvec3& direction) const;

    // The fewest picture rows a screen pixel spans anywhere in the viewport: 1 / zoom in the
    // flat view; in the spherical views the least angle to a neighbouring pixel, at the
    // viewport's corners where both projections magnify most, at a direction in which it is
    // no more than the program's footprint (a step's northward or eastward part, whichever
    // is larger, is at least 1 / sqrt(2) of it).
    double smallestFootprint() const;

    // The flat view's screen position of the picture's top-left corner; whole pixels keep every
    // picture pixel a sharp square.
    glm::dvec2 flatOrigin() const { return origin; }

private:
    glm::dvec3 cameraDirection(const glm::dvec2& screen) const;

    Projection projection;
    glm::dvec2 pictureSize;
    glm::dvec2 viewportSize;
    double zoom;
    // Screen pixels per radian at the centre of a spherical view.
    double perRadian;
    // The Sphere view's distance from the eye to the screen, in pixels.
    double focal = 0.0;
    glm::dvec2 origin{0.0, 0.0};
    glm::dmat3 turn;
};
