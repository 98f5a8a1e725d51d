#pragma once

// What the viewer program draws of each pixel. The values are those of its `displayMode`
// uniform.
enum class DisplayMode : int {
    Colour = 0,      // exposed, tone-mapped where asked, as a display shows it
    FalseColour = 1, // log luminance on a colour scale around the exposure's middle grey
    Radiance = 2,    // the decoded radiance itself, alpha 0 off the picture: for metering
};
