#pragma once

// How the viewer maps a picture to the screen. The values are those of the viewer program's
// `projection` uniform.
enum class Projection : int {
    Flat = 0,   // the picture as it is, panned and zoomed
    Sphere = 1, // an equirectangular panorama through a straight-line perspective view
    Planet = 2, // the same through a stereographic view (the little planet)
};
