#include "ToneOperator.h"

#include <glm/common.hpp>
#include <glm/exponential.hpp>
#include <glm/geometric.hpp>

#include <algorithm>
#include <cmath>

namespace {

struct Named {
    ToneOperator op;
    const char* name;
    const char* title;
};

constexpr Named names[toneOperatorCount] = {
    {ToneOperator::Reinhard, "reinhard", "Reinhard"},
    {ToneOperator::AcesFilmic, "aces", "ACES filmic"},
    {ToneOperator::AgX, "agx", "AgX"},
    {ToneOperator::PbrNeutral, "neutral", "PBR Neutral"},
};

const Named& named(ToneOperator op) {
    return names[std::clamp(static_cast<int>(op), 0, toneOperatorCount - 1)];
}

glm::dvec3 clamp01(const glm::dvec3& c) {
    return glm::clamp(c, glm::dvec3(0.0), glm::dvec3(1.0));
}

// Each row applied as a dot product, as the program does.
glm::dvec3 rows(const glm::dvec3& r0, const glm::dvec3& r1, const glm::dvec3& r2,
                const glm::dvec3& c) {
    return {glm::dot(r0, c), glm::dot(r1, c), glm::dot(r2, c)};
}

glm::dvec3 reinhard(glm::dvec3 c) {
    const double key = 0.18;
    const double l = glm::dot(c, glm::dvec3(0.2126, 0.7152, 0.0722));
    c /= l + std::max(1.0 - key, 0.01);
    c /= std::max(1.0, std::max(c.r, std::max(c.g, c.b)));
    return clamp01(c);
}

glm::dvec3 acesFilmic(const glm::dvec3& c) {
    const glm::dvec3 v = rows({0.59719, 0.35458, 0.04823}, {0.07600, 0.90834, 0.01566},
                              {0.02840, 0.13383, 0.83777}, c);
    const glm::dvec3 fitted =
        (v * (v + 0.0245786) - 0.000090537) / (v * (0.983729 * v + 0.4329510) + 0.238081);
    return clamp01(rows({1.60475, -0.53108, -0.07367}, {-0.10208, 1.10813, -0.00605},
                        {-0.00327, -0.07276, 1.07602}, fitted));
}

glm::dvec3 agx(const glm::dvec3& c) {
    // The inset and outset matrices by rows (the published GLSL gives them by columns).
    glm::dvec3 v = rows({0.842479062253094, 0.0784335999999992, 0.0792237451477643},
                        {0.0423282422610123, 0.878468636469772, 0.0791661274605434},
                        {0.0423756549057051, 0.0784336, 0.879142973793104}, c);
    const double minEv = -12.47393;
    const double maxEv = 4.026069;
    v = glm::clamp(glm::log2(glm::max(v, glm::dvec3(1.0e-10))), minEv, maxEv);
    v = (v - minEv) / (maxEv - minEv);
    const glm::dvec3 x2 = v * v;
    const glm::dvec3 x4 = x2 * x2;
    v = 15.5 * x4 * x2 - 40.14 * x4 * v + 31.96 * x4 - 6.868 * x2 * v + 0.4298 * x2 + 0.1191 * v -
        0.00232;
    // The default look is the identity. The outset gives display values of a 2.2 power.
    v = rows({1.19687900512017, -0.0980208811401368, -0.0990297440797205},
             {-0.0528968517574562, 1.15190312990417, -0.0989611768448433},
             {-0.0529716355144438, -0.0980434501171241, 1.15107367264116}, v);
    return clamp01(glm::pow(glm::max(v, glm::dvec3(0.0)), glm::dvec3(2.2)));
}

glm::dvec3 pbrNeutral(glm::dvec3 c) {
    const double startCompression = 0.8 - 0.04;
    const double desaturation = 0.15;
    const double x = std::min(c.r, std::min(c.g, c.b));
    const double offset = x < 0.08 ? x - 6.25 * x * x : 0.04;
    c -= offset;
    const double peak = std::max(c.r, std::max(c.g, c.b));
    if (peak < startCompression) {
        return clamp01(c);
    }
    const double d = 1.0 - startCompression;
    const double newPeak = 1.0 - d * d / (peak + d - startCompression);
    c *= newPeak / peak;
    const double g = 1.0 - 1.0 / (desaturation * (peak - newPeak) + 1.0);
    return clamp01(glm::mix(c, glm::dvec3(newPeak), g));
}

} // namespace

ToneOperator nextToneOperator(ToneOperator op) {
    return static_cast<ToneOperator>((static_cast<int>(op) + 1) % toneOperatorCount);
}

const char* toneOperatorName(ToneOperator op) {
    return named(op).name;
}

const char* toneOperatorTitle(ToneOperator op) {
    return named(op).title;
}

std::optional<ToneOperator> toneOperatorNamed(const std::string& name) {
    for (const Named& n : names) {
        if (name == n.name) {
            return n.op;
        }
    }
    return std::nullopt;
}

glm::dvec3 toneMap(ToneOperator op, const glm::dvec3& exposed) {
    switch (op) {
    case ToneOperator::AcesFilmic:
        return acesFilmic(exposed);
    case ToneOperator::AgX:
        return agx(exposed);
    case ToneOperator::PbrNeutral:
        return pbrNeutral(exposed);
    case ToneOperator::Reinhard:
        break;
    }
    return reinhard(exposed);
}
