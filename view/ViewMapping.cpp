#include "ViewMapping.h"

#include <glm/geometric.hpp>
#include <glm/matrix.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

// In double precision, so that the transpose undoes the turn to the last digits.
glm::dmat3 turnMatrix(double yaw, double pitch) {
    const double a = (180.0 - yaw) * pi / 180.0;
    const double p = pitch * pi / 180.0;
    const double ca = std::cos(a);
    const double sa = std::sin(a);
    const double cp = std::cos(p);
    const double sp = std::sin(p);
    // glm is column-major: each group of three is one column.
    return glm::dmat3(ca, 0.0, -sa, -sp * sa, cp, -sp * ca, cp * sa, sp, cp * ca);
}

} // namespace

glm::mat3 yawPitchMatrix(float yaw, float pitch) {
    return glm::mat3(turnMatrix(static_cast<double>(yaw), static_cast<double>(pitch)));
}

LongitudeLatitude longitudeLatitude(const glm::dvec3& d) {
    return {std::atan2(d.x, -d.z), std::atan2(d.y, std::hypot(d.x, d.z))};
}

glm::dvec3 directionOf(const LongitudeLatitude& angles) {
    const double c = std::cos(angles.latitude);
    return {c * std::sin(angles.longitude), std::sin(angles.latitude),
            -c * std::cos(angles.longitude)};
}

glm::dvec2 panoramaPosition(const LongitudeLatitude& angles, int width, int height) {
    return {width * (0.5 - angles.longitude / (2.0 * pi)), height * (0.5 - angles.latitude / pi)};
}

LongitudeLatitude panoramaAngles(const glm::dvec2& position, int width, int height) {
    return {(0.5 - position.x / width) * 2.0 * pi, (0.5 - position.y / height) * pi};
}

ViewState reducedView(const ViewState& view, int factor) {
    ViewState reduced = view;
    const float f = static_cast<float>(factor);
    reduced.zoom *= f;
    if (view.projection == Projection::Flat) {
        reduced.yaw /= f;
        reduced.pitch /= f;
    }
    return reduced;
}

ViewMapping::ViewMapping(const ViewState& view, int pictureWidth, int pictureHeight)
    : projection(view.projection), pictureSize(pictureWidth, pictureHeight),
      viewportSize(view.viewportWidth, view.viewportHeight),
      // The program's floor: a reset view may hand over zoom 0.
      zoom(std::max(static_cast<double>(view.zoom), 1.0e-4)),
      perRadian(zoom * pictureWidth / (2.0 * pi)),
      turn(turnMatrix(static_cast<double>(view.yaw), static_cast<double>(view.pitch))) {
    if (projection == Projection::Flat) {
        origin = glm::floor(0.5 * (viewportSize - zoom * pictureSize) +
                            zoom * glm::dvec2(view.yaw, view.pitch) + 0.5);
    } else if (projection == Projection::Sphere) {
        // Kept below 180 degrees, as the program does.
        const double halfFov = std::min(0.5 * viewportSize.x / perRadian, 1.5);
        focal = 0.5 * viewportSize.x / std::tan(halfFov);
    }
}

glm::dvec3 ViewMapping::cameraDirection(const glm::dvec2& screen) const {
    const glm::dvec2 s(screen.x - 0.5 * viewportSize.x, 0.5 * viewportSize.y - screen.y);
    if (projection == Projection::Sphere) {
        return {s, focal};
    }
    // Inverse stereographic projection, perRadian pixels per radian at the centre.
    return {s, perRadian - glm::dot(s, s) / (4.0 * perRadian)};
}

double ViewMapping::smallestFootprint() const {
    if (projection == Projection::Flat) {
        return 1.0 / zoom;
    }
    double least = M_PI;
    for (const double x : {0.5, viewportSize.x - 0.5}) {
        for (const double y : {0.5, viewportSize.y - 0.5}) {
            const glm::dvec3 corner = glm::normalize(cameraDirection({x, y}));
            // Towards the inside, where the neighbour exists.
            const double inwardX = x < 1.0 ? 1.0 : -1.0;
            const double inwardY = y < 1.0 ? 1.0 : -1.0;
            for (const glm::dvec2& step : {glm::dvec2(inwardX, 0.0), glm::dvec2(0.0, inwardY)}) {
                const glm::dvec3 next = glm::normalize(cameraDirection(glm::dvec2(x, y) + step));
                least = std::min(least, std::acos(std::clamp(glm::dot(corner, next), -1.0, 1.0)));
            }
        }
    }
    return least * pictureSize.y / M_PI / std::sqrt(2.0);
}

ViewMapping::Spot ViewMapping::pictureAt(const glm::dvec2& screen) const {
    if (projection == Projection::Flat) {
        const glm::dvec2 q = (screen - origin) / zoom;
        return {q, q.x >= 0.0 && q.y >= 0.0 && q.x < pictureSize.x && q.y < pictureSize.y};
    }
    const glm::dvec3 d = turn * cameraDirection(screen);
    return {panoramaPosition(longitudeLatitude(d), static_cast<int>(pictureSize.x),
                             static_cast<int>(pictureSize.y)),
            true};
}

std::optional<glm::dvec3> ViewMapping::directionAt(const glm::dvec2& screen) const {
    if (projection == Projection::Flat) {
        return std::nullopt;
    }
    return turn * cameraDirection(screen);
}

std::optional<glm::dvec2> ViewMapping::screenAt(const glm::dvec2& picture) const {
    if (projection == Projection::Flat) {
        return origin + zoom * picture;
    }
    return screenAtDirection(directionOf(
        panoramaAngles(picture, static_cast<int>(pictureSize.x), static_cast<int>(pictureSize.y))));
}

std::optional<glm::dvec2> ViewMapping::screenAtDirection(const glm::dvec3& direction) const {
    if (projection == Projection::Flat) {
        return std::nullopt;
    }
    // The turn is a rotation: its transpose undoes it.
    const glm::dvec3 c = glm::transpose(turn) * direction;
    const glm::dvec2 side(c.x, c.y);
    glm::dvec2 s;
    if (projection == Projection::Sphere) {
        if (!(c.z > 0.0)) {
            return std::nullopt;
        }
        s = side * (focal / c.z);
    } else {
        const double across = glm::length(side);
        const double angle = std::atan2(across, c.z);
        if (!(angle < pi * (1.0 - 1.0e-9))) {
            return std::nullopt;
        }
        s = across > 0.0 ? side * (2.0 * perRadian * std::tan(0.5 * angle) / across)
                         : glm::dvec2(0.0);
    }
    return glm::dvec2(s.x + 0.5 * viewportSize.x, 0.5 * viewportSize.y - s.y);
}
