#pragma once

// The viewer's rules for a picture of width x height pixels in a viewport, shared by the
// widget and the offscreen renderer.

// The projection a freshly opened picture gets: 1 (spherical) when exactly twice as wide as
// high, else 0 (flat).
int defaultProjection(int width, int height);

// The lowest zoom: a spherical panorama shows a third of its width across the viewport; any
// other projection fits the whole picture.
float lowestZoom(int projection, int width, int height, int viewportWidth, int viewportHeight);
