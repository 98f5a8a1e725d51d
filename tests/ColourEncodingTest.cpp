#include "ColourEncoding.h"
#include "RgbeEncode.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

// SMPTE ST 2084's inverse EOTF, written from the standard independently of the reader's.
double pqSignal(double candela) {
    const double m1 = 0.1593017578125, m2 = 78.84375, c1 = 0.8359375, c2 = 18.8515625,
                 c3 = 18.6875;
    const double y = std::pow(candela / 10000.0, m1);
    return std::pow((c1 + c2 * y) / (1.0 + c3 * y), m2);
}

double radianceOf(const unsigned char rgbe[4]) {
    double r, g, b;
    rgbe::decode(rgbe, r, g, b);
    return g;
}

} // namespace

// PQ and HLG keep their absolute scale (203 cd/m² is 1.0), through the table of integer codes
// and through float signals alike; SDR curves reach 1.0 at full scale.
TEST(ColourEncoding, TransfersPutReferenceWhiteAtOne) {
    using colour::Transfer;
    struct Case {
        Transfer transfer;
        double signal;
        double radiance;
        double tolerance;
    };
    const Case cases[] = {
        {Transfer::Pq, pqSignal(203.0), 1.0, 0.01},
        {Transfer::Pq, pqSignal(1000.0), 1000.0 / 203.0, 0.01},
        {Transfer::Pq, 1.0, 10000.0 / 203.0, 0.01},
        // BT.2408: 75 % HLG on a 1000 cd/m² display is 203 cd/m² (for grey).
        {Transfer::Hlg, 0.75, 1.0, 0.01},
        {Transfer::Hlg, 1.0, 1000.0 / 203.0, 0.01},
        {Transfer::Srgb, 1.0, 1.0, 0.004},
        {Transfer::Srgb, 0.5, 0.2140, 0.004},
        {Transfer::Linear, 3.5, 3.5, 0.004},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.transfer));
        SCOPED_TRACE(c.signal);
        const colour::SignalConverter converter({colour::Primaries::Bt709, c.transfer}, 16);
        unsigned char fromFloat[4];
        const float grey[3] = {float(c.signal), float(c.signal), float(c.signal)};
        converter.toRgbe(grey, 3, 1, fromFloat);
        EXPECT_NEAR(radianceOf(fromFloat), c.radiance, c.tolerance * c.radiance);
        if (c.signal <= 1.0) {
            const auto code = static_cast<std::uint16_t>(std::lround(c.signal * 65535.0));
            const std::uint16_t codes[3] = {code, code, code};
            unsigned char fromCode[4];
            converter.toRgbe(codes, 3, 1, fromCode);
            EXPECT_NEAR(radianceOf(fromCode), c.radiance, c.tolerance * c.radiance);
        }
    }
}

// The matrices agree with the published ones (ITU-R BT.2087 for BT.2020, and Display P3's
// from its chromaticities) and leave white white.
TEST(ColourEncoding, PrimariesConvertToRec709) {
    const colour::Matrix bt2020 = colour::toRec709(colour::Primaries::Bt2020);
    const float published[9] = {1.6605f,  -0.5876f, -0.0728f, -0.1246f, 1.1329f,
                                -0.0083f, -0.0182f, -0.1006f, 1.1187f};
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(bt2020[i], published[i], 2e-4) << i;
    }
    const colour::Matrix p3 = colour::toRec709(colour::Primaries::DisplayP3);
    EXPECT_NEAR(p3[0], 1.2249f, 5e-4);
    EXPECT_NEAR(p3[1], -0.2247f, 5e-4);
    EXPECT_NEAR(p3[4], 1.0419f, 5e-4);
    for (const colour::Matrix& m : {bt2020, p3}) {
        for (int row = 0; row < 3; ++row) {
            EXPECT_NEAR(m[3 * row] + m[3 * row + 1] + m[3 * row + 2], 1.0f, 1e-4);
        }
    }
    // A pure BT.2020 green loses its red and blue parts (out of gamut), its green grows.
    const colour::SignalConverter converter(
        {colour::Primaries::Bt2020, colour::Transfer::Linear}, 16);
    const float green[3] = {0.0f, 0.5f, 0.0f};
    unsigned char out[4];
    converter.toRgbe(green, 3, 1, out);
    double r, g, b;
    rgbe::decode(out, r, g, b);
    EXPECT_EQ(r, 0.0);
    EXPECT_NEAR(g, 0.5 * 1.1329, 0.01);
    EXPECT_EQ(b, 0.0);
}

// SDR pictures in Rec.709 keep their codes, rounded to 8 bits; others are converted.
TEST(ColourEncoding, SdrCodesToEightBits) {
    const colour::SignalConverter srgb10({colour::Primaries::Bt709, colour::Transfer::Srgb}, 10);
    const std::uint16_t codes[6] = {0, 512, 1023, 4, 5, 2000};
    unsigned char out[6];
    srgb10.toRgb8(codes, 3, 2, out);
    const unsigned char expected[6] = {0, 128, 255, 1, 1, 255};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(out[i], expected[i]) << i;
    }
    const colour::SignalConverter p3({colour::Primaries::DisplayP3, colour::Transfer::Srgb}, 8);
    const std::uint8_t red[3] = {255, 0, 0};
    const std::uint8_t white[3] = {255, 255, 255};
    unsigned char redOut[3], whiteOut[3];
    p3.toRgb8(red, 3, 1, redOut);
    p3.toRgb8(white, 3, 1, whiteOut);
    EXPECT_EQ(redOut[0], 255);
    EXPECT_EQ(redOut[1], 0);
    EXPECT_EQ(whiteOut[0], 255);
    EXPECT_EQ(whiteOut[1], 255);
    EXPECT_EQ(whiteOut[2], 255);
}

// The inline encoder gives rgbe::encode's bytes over the whole range of floats.
TEST(ColourEncoding, FastEncoderMatchesEncode) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> exponent(-40.0f, 40.0f);
    for (int i = 0; i < 20000; ++i) {
        const float v[3] = {std::exp2(exponent(random)), std::exp2(exponent(random)),
                            i % 7 == 0 ? 0.0f : std::exp2(exponent(random))};
        unsigned char fast[4], reference[4];
        rgbe::encodeFast(v[0], v[1], v[2], fast);
        rgbe::encode(v[0], v[1], v[2], reference);
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(fast[k], reference[k]) << v[0] << " " << v[1] << " " << v[2];
        }
    }
}
