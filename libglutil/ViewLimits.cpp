#include "ViewLimits.h"

#include <algorithm>

int defaultProjection(int width, int height) {
    return width == 2 * height ? 1 : 0;
}

float lowestZoom(int projection, int width, int height, int viewportWidth, int viewportHeight) {
    const auto w = static_cast<float>(width);
    const auto h = static_cast<float>(height);
    if (projection == 1) {
        return static_cast<float>(viewportWidth) / (w / 3.0f);
    }
    return std::min(static_cast<float>(viewportWidth) / w, static_cast<float>(viewportHeight) / h);
}
