#include "ExposureMeter.h"

#include "DisplayColour.h"
#include "DrawView.h"
#include "Texture.h"
#include "TextureRender.h"

#include <GL/glew.h>

#include <algorithm>
#include <cmath>

namespace {

// Samples further below the brightest kept one than this weigh as this: a few near-black
// pixels do not drag the whole view up.
constexpr double deepestStops = 20.0;

// Restores the framebuffer and the viewport it found.
class FramebufferKeeper {
public:
    FramebufferKeeper() {
        glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &framebuffer);
        glGetIntegerv(GL_VIEWPORT, viewport);
    }
    ~FramebufferKeeper() {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(framebuffer));
        glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
    }
    FramebufferKeeper(const FramebufferKeeper&) = delete;
    FramebufferKeeper& operator=(const FramebufferKeeper&) = delete;

private:
    GLint framebuffer = 0;
    GLint viewport[4] = {0, 0, 0, 0};
};

} // namespace

std::optional<float> meteredFstop(std::vector<double> luminances, double scaleMean) {
    if (!(scaleMean > 0.0)) {
        return std::nullopt;
    }
    luminances.erase(std::remove_if(luminances.begin(), luminances.end(),
                                    [](double l) { return !(l > 0.0) || !std::isfinite(l); }),
                     luminances.end());
    if (luminances.empty()) {
        return std::nullopt;
    }
    const std::size_t kept = luminances.size() - luminances.size() / 100;
    std::nth_element(luminances.begin(), luminances.begin() + (kept - 1), luminances.end());
    const double brightest = luminances[kept - 1];
    const double floor = brightest * std::exp2(-deepestStops);
    double sum = 0.0;
    for (std::size_t i = 0; i < kept; ++i) {
        sum += std::log2(std::max(luminances[i], floor));
    }
    const double average = sum / static_cast<double>(kept);
    return static_cast<float>(std::log2(middleGrey) - average + std::log2(scaleMean) + 2.0);
}

std::optional<float> meterView(Shader& viewer, const Texture& picture, const ViewState& view) {
    if (!(picture.scaleMean > 0.0) || view.viewportWidth <= 0 || view.viewportHeight <= 0) {
        return std::nullopt;
    }
    const double scale = std::min(1.0, static_cast<double>(meterSide) /
                                           std::max(view.viewportWidth, view.viewportHeight));
    ViewState small = view;
    small.viewportWidth = std::max(1, static_cast<int>(std::lround(view.viewportWidth * scale)));
    small.viewportHeight = std::max(1, static_cast<int>(std::lround(view.viewportHeight * scale)));
    // Screen pixels per picture pixel: the same field of view on fewer pixels.
    small.zoom = static_cast<float>(view.zoom * scale);
    small.display = DisplayMode::Radiance;
    small.showRed = small.showGreen = small.showBlue = true;

    std::vector<float> rgba;
    {
        const FramebufferKeeper keeper;
        Texture target(small.viewportWidth, small.viewportHeight,
                       static_cast<const float*>(nullptr), GL_RGBA32F_ARB, GL_RGBA);
        drawView(viewer, picture, small, target);
        rgba = readBack<float>(target, 0, 0, small.viewportWidth, small.viewportHeight, 4);
    }
    std::vector<double> luminances;
    luminances.reserve(rgba.size() / 4);
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        // Alpha 0: off a flat picture.
        if (rgba[i + 3] > 0.5f) {
            luminances.push_back(luminance({rgba[i], rgba[i + 1], rgba[i + 2]}));
        }
    }
    return meteredFstop(std::move(luminances), picture.scaleMean);
}

float followExposure(float current, float metered, double seconds) {
    // A time constant of a tenth of a second: 99 % of the way in half a second.
    const double share = 1.0 - std::exp(-std::max(seconds, 0.0) / 0.1);
    return static_cast<float>(current + (metered - current) * share);
}
