// The tone operators, the false-colour scale, the clipping flags and the exposure meter's
// arithmetic on the CPU, where the viewer program's tests take their references from.
#include "DisplayColour.h"
#include "ExposureMeter.h"
#include "ToneOperator.h"

#include <glm/vec3.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

const ToneOperator operators[] = {ToneOperator::Reinhard, ToneOperator::AcesFilmic,
                                  ToneOperator::AgX, ToneOperator::PbrNeutral};

// The hue angle of the RGB hexcone, in degrees; none for a grey.
double hue(const glm::dvec3& c) {
    const double high = std::max({c.r, c.g, c.b});
    const double low = std::min({c.r, c.g, c.b});
    const double d = high - low;
    if (d <= 1e-9) {
        return -1.0;
    }
    double h = high == c.r   ? std::fmod((c.g - c.b) / d, 6.0)
               : high == c.g ? (c.b - c.r) / d + 2.0
                             : (c.r - c.g) / d + 4.0;
    return std::fmod(h * 60.0 + 360.0, 360.0);
}

TEST(ToneOperator, NamesRoundTripAndTheNextKeyVisitsEveryOperator) {
    std::set<std::string> titles;
    ToneOperator op = ToneOperator::Reinhard;
    for (int i = 0; i < toneOperatorCount; ++i) {
        EXPECT_EQ(toneOperatorNamed(toneOperatorName(op)), op);
        titles.insert(toneOperatorTitle(op));
        op = nextToneOperator(op);
    }
    EXPECT_EQ(op, ToneOperator::Reinhard);
    EXPECT_EQ(titles.size(), static_cast<std::size_t>(toneOperatorCount));
    EXPECT_FALSE(toneOperatorNamed("ACES"));
    EXPECT_FALSE(toneOperatorNamed(""));
    EXPECT_FALSE(toneOperatorNamed("x.hdr"));
}

TEST(ToneOperator, EachIsMonotonicFromBlackToWhiteOverThirtyStops) {
    for (const ToneOperator op : operators) {
        glm::dvec3 previous = toneMap(op, glm::dvec3(0.0));
        EXPECT_LT(previous.g, 0.5 / 255) << toneOperatorName(op);
        for (double stops = -10.0; stops <= 20.0; stops += 1.0 / 64) {
            const glm::dvec3 c = toneMap(op, glm::dvec3(std::exp2(stops)));
            for (int k = 0; k < 3; ++k) {
                ASSERT_GE(c[k], previous[k]) << toneOperatorName(op) << " at 2^" << stops;
                ASSERT_LE(c[k], 1.0);
            }
            previous = c;
        }
        // The brightest end is white, middle grey a mid tone.
        EXPECT_GT(previous.g, 0.98) << toneOperatorName(op);
        const double grey = toneMap(op, glm::dvec3(0.18)).g;
        EXPECT_GT(grey, 0.05) << toneOperatorName(op);
        EXPECT_LT(grey, 0.3) << toneOperatorName(op);
    }
}

// To half an 8-bit step: AgX's outset pulls a channel at white down a hair as the others
// reach it.
TEST(ToneOperator, ColoursGetBrighterWithExposure) {
    for (const ToneOperator op : operators) {
        for (const glm::dvec3 colour :
             {glm::dvec3(1.0, 0.5, 0.25), glm::dvec3(0.1, 0.3, 1.0), glm::dvec3(0.2, 1.0, 0.05)}) {
            double previous = -1.0;
            for (double stops = -10.0; stops <= 20.0; stops += 0.125) {
                const double y = luminance(toneMap(op, colour * std::exp2(stops)));
                ASSERT_GE(y, previous - 0.5 / 255) << toneOperatorName(op) << " at 2^" << stops;
                previous = y;
            }
        }
    }
}

// The two whose definitions keep the hue: scaling, or a common offset and a mix with white.
TEST(ToneOperator, ReinhardAndPbrNeutralKeepTheHue) {
    for (const ToneOperator op : {ToneOperator::Reinhard, ToneOperator::PbrNeutral}) {
        for (const glm::dvec3 colour : {glm::dvec3(1.0, 0.5, 0.25), glm::dvec3(0.1, 0.3, 1.0),
                                        glm::dvec3(0.2, 1.0, 0.05), glm::dvec3(0.9, 0.1, 0.6)}) {
            for (double stops = -6.0; stops <= 6.0; stops += 0.5) {
                const glm::dvec3 c = toneMap(op, colour * std::exp2(stops));
                const double h = hue(c);
                if (h >= 0.0) {
                    EXPECT_NEAR(h, hue(colour), 0.5) << toneOperatorName(op) << " at 2^" << stops;
                }
            }
        }
    }
}

TEST(DisplayColour, FalseColourSpansSixteenStopsAroundMiddleGrey) {
    EXPECT_DOUBLE_EQ(falseColourPosition(middleGrey), 0.5);
    EXPECT_DOUBLE_EQ(falseColourPosition(middleGrey * 256.0), 1.0);
    EXPECT_DOUBLE_EQ(falseColourPosition(middleGrey / 256.0), 0.0);
    EXPECT_DOUBLE_EQ(falseColourPosition(0.0), 0.0);
    EXPECT_NEAR(falseColourPosition(middleGrey * 4.0), 0.625, 1e-12);
    // Dark at the bottom, blue low, green in the middle, dark red at the top.
    const glm::dvec3 low = falseColourScale(0.0);
    const glm::dvec3 blue = falseColourScale(0.1);
    const glm::dvec3 high = falseColourScale(1.0);
    const glm::dvec3 mid = falseColourScale(0.5);
    EXPECT_LT(std::max({low.r, low.g, low.b}), 0.2);
    EXPECT_GT(blue.b, 2.0 * blue.r);
    EXPECT_GT(high.r, 3.0 * high.b);
    EXPECT_GT(mid.g, 0.8);
    // A luminance one stop up changes the colour it gets.
    const DisplaySettings settings{0.0, true, false, ToneOperator::Reinhard, true, false};
    EXPECT_NE(displayColour(glm::dvec3(0.18), settings), displayColour(glm::dvec3(0.36), settings));
    // The exposure slides the scale: two stops more exposure, two stops more on the scale.
    DisplaySettings brighter = settings;
    brighter.exposureOffset = 2.0;
    EXPECT_EQ(displayColour(glm::dvec3(0.18), brighter), displayColour(glm::dvec3(0.72), settings));
}

TEST(DisplayColour, ClippingFlagsWhatShowsAsFullWhiteOrBlack) {
    DisplaySettings settings;
    settings.showClipping = true;
    EXPECT_EQ(displayColour(glm::dvec3(2.0, 0.1, 0.1), settings), clippedOverColour);
    EXPECT_EQ(displayColour(glm::dvec3(0.0), settings), clippedUnderColour);
    EXPECT_EQ(displayColour(glm::dvec3(1e-5), settings), clippedUnderColour);
    const glm::dvec3 grey = displayColour(glm::dvec3(0.18), settings);
    EXPECT_NEAR(grey.g, encodeSrgb(0.18), 1e-12);
    // Three stops less exposure brings the bright pixel back.
    settings.exposureOffset = -3.0;
    EXPECT_NE(displayColour(glm::dvec3(2.0, 0.1, 0.1), settings), clippedOverColour);
    // Tone mapping that keeps highlights below white flags nothing there.
    settings.exposureOffset = 0.0;
    settings.tonemap = true;
    settings.toneOperator = ToneOperator::AgX;
    EXPECT_NE(displayColour(glm::dvec3(2.0, 0.1, 0.1), settings), clippedOverColour);
    // 8-bit pictures: 255 in a channel is over, 0 in all is under.
    settings.hdr = false;
    settings.tonemap = false;
    EXPECT_EQ(displayColour(glm::dvec3(1.0, 0.0, 0.0), settings), clippedOverColour);
    EXPECT_EQ(displayColour(glm::dvec3(0.0), settings), clippedUnderColour);
    EXPECT_NEAR(displayColour(glm::dvec3(0.25), settings).r, 0.5, 1e-12);
}

TEST(ExposureMeter, LogAverageShowsAsMiddleGreyWithoutTheBrightestPercent) {
    // exposureOffset = fstop - log2(scaleMean) - 2, and L * 2^offset must be 0.18.
    const auto offsetFor = [](float fstop, double scaleMean) {
        return fstop - std::log2(scaleMean) - 2.0;
    };
    std::vector<double> uniform(1000, 0.5);
    const std::optional<float> f = meteredFstop(uniform, 4.0);
    ASSERT_TRUE(f);
    EXPECT_NEAR(0.5 * std::exp2(offsetFor(*f, 4.0)), 0.18, 1e-6);

    // Half at 1/16, half at 1: the brightest 10 left out, 500 at -4 stops and 490 at 0.
    std::vector<double> halves(1000, 1.0);
    std::fill(halves.begin(), halves.begin() + 500, 1.0 / 16);
    const std::optional<float> h = meteredFstop(halves, 1.0);
    ASSERT_TRUE(h);
    EXPECT_NEAR(std::exp2(-2000.0 / 990) * std::exp2(offsetFor(*h, 1.0)), 0.18, 1e-6);

    // A sun in 1 % of the samples, and unlit samples, change nothing.
    std::vector<double> sunny = halves;
    std::fill(sunny.end() - 10, sunny.end(), 1.0e6);
    sunny.resize(1200, 0.0);
    EXPECT_FLOAT_EQ(*meteredFstop(sunny, 1.0), *h);

    EXPECT_FALSE(meteredFstop(uniform, 0.0));
    EXPECT_FALSE(meteredFstop(std::vector<double>(10, 0.0), 1.0));
    EXPECT_FALSE(meteredFstop({}, 1.0));
}

TEST(ExposureMeter, FollowingSettlesInHalfASecondWithoutOvershoot) {
    float fstop = 0.0f;
    double elapsed = 0.0;
    for (; elapsed < 0.5; elapsed += 0.015) {
        const float next = followExposure(fstop, 4.0f, 0.015);
        EXPECT_GT(next, fstop);
        EXPECT_LE(next, 4.0f);
        fstop = next;
    }
    EXPECT_NEAR(fstop, 4.0f, 0.04f);
    // Early on it is still on its way: no jump.
    EXPECT_LT(followExposure(0.0f, 4.0f, 0.015), 1.0f);
    EXPECT_EQ(followExposure(2.0f, 2.0f, 1.0), 2.0f);
}

} // namespace
