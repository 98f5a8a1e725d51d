#pragma once

#include "DisplayMode.h"
#include "Projection.h"
#include "ToneOperator.h"

// What one view of a picture looks like: the widget's view fields, the renderer's options and
// the tests' cases, as drawView takes them. yaw and pitch are picture pixels in the flat view
// and degrees otherwise; zoom is screen pixels per picture pixel.
struct ViewState {
    float yaw = 0.0f;
    float pitch = 0.0f;
    float zoom = 1.0f;
    float fstop = 0.0f;
    Projection projection = Projection::Sphere;
    bool tonemap = false;
    // The curve tone mapping uses while `tonemap` is on.
    ToneOperator toneOperator = ToneOperator::Reinhard;
    DisplayMode display = DisplayMode::Colour;
    // In the Colour display: pixels at full white or black flagged in two colours.
    bool showClipping = false;
    bool showRed = true;
    bool showGreen = true;
    bool showBlue = true;
    int viewportWidth = 0;
    int viewportHeight = 0;
};
