#pragma once

#include "ViewState.h"

#include <optional>
#include <vector>

class Shader;
class Texture;

// The f-stop at which the log-average of `luminances` (as the picture stores them) shows as
// middle grey 0.18 through the exposure offset of DrawView.h. The brightest 1 % (the sun) and
// samples without light are left out. None without a lit sample, or for a picture without
// exposure statistics (scaleMean 0: 8-bit pictures, whose exposure is fixed).
std::optional<float> meteredFstop(std::vector<double> luminances, double scaleMean);

// Meters what `view` shows: the view drawn small (its longer side at most meterSide pixels,
// the same field of view) through the "viewer" program as radiance, read back and given to
// meteredFstop. The framebuffer binding and the viewport are as they were afterwards; the
// program stays in use. Needs the picture's GL context current; throws std::runtime_error on
// a GL failure.
constexpr int meterSide = 128;
std::optional<float> meterView(Shader& viewer, const Texture& picture, const ViewState& view);

// The next f-stop of an exposure that follows the metered one, `seconds` after the last step:
// most of the way there in about half a second, without overshoot.
float followExposure(float current, float metered, double seconds);
