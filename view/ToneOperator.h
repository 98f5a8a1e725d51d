#pragma once

#include <glm/vec3.hpp>

#include <optional>
#include <string>

// The tone curves the viewer program offers while tone mapping is on. The values are those of
// its `toneOperator` uniform; Reinhard is the curve the viewer always had.
enum class ToneOperator : int {
    Reinhard = 0,   // L / (L + 1 - key) on luminance, hue kept
    AcesFilmic = 1, // Hill's fit of the ACES reference and sRGB output transforms, per channel
    AgX = 2,        // the minimal AgX polynomial fit with its default look, per channel
    PbrNeutral = 3, // Khronos PBR Neutral: identity below its shoulder, hue kept
};

constexpr int toneOperatorCount = 4;

ToneOperator nextToneOperator(ToneOperator op);
// The command-line name ("reinhard", "aces", "agx", "neutral") and the name shown to users.
const char* toneOperatorName(ToneOperator op);
const char* toneOperatorTitle(ToneOperator op);
std::optional<ToneOperator> toneOperatorNamed(const std::string& name);

// The CPU twin of the viewer program's operators, in double precision: linear display light,
// each channel in [0, 1], of an exposed scene-linear colour.
glm::dvec3 toneMap(ToneOperator op, const glm::dvec3& exposed);
