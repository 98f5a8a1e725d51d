#pragma once

#include "Picture.h"
#include "Projection.h"

// The viewer's rules for a picture of width x height pixels in a viewport, shared by the
// widget and the offscreen renderer.

// The projection a freshly opened picture gets: Sphere when exactly twice as wide as high or
// marked equirectangular by its metadata, else Flat.
Projection defaultProjection(int width, int height, ProjectionHint hint = ProjectionHint::None);

// The lowest zoom: a panorama in the Sphere projection shows a third of its width across the
// viewport; any other projection fits the whole picture.
float lowestZoom(Projection projection, int width, int height, int viewportWidth,
                 int viewportHeight);

// The zoom that shows `fov` degrees across `viewportWidth` in the given projection, for a
// picture `pictureWidth` wide. Throws std::runtime_error for the flat view and for angles
// the projection cannot show.
float zoomForFov(float fov, Projection projection, int pictureWidth, int viewportWidth);
