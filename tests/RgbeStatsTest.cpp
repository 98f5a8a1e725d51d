#include "rgbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

// Pixels whose exponent bytes are the given values; mantissas are noise that must not count.
std::vector<unsigned char> withExponents(const std::vector<int>& exponents) {
    std::vector<unsigned char> pixels;
    for (size_t i = 0; i < exponents.size(); ++i) {
        pixels.insert(pixels.end(), {static_cast<unsigned char>(i * 37), 200, 1,
                                     static_cast<unsigned char>(exponents[i])});
    }
    return pixels;
}

struct Measured {
    rgbe::Stats stats;
    std::string line;
};

Measured measure(const std::vector<unsigned char>& pixels, unsigned long stride) {
    ::testing::internal::CaptureStderr();
    const rgbe::Stats stats = rgbe::stats(pixels.data(), pixels.size() / 4, stride);
    return {stats, ::testing::internal::GetCapturedStderr()};
}

TEST(RgbeStats, AllExponentsZero) {
    const Measured m = measure(withExponents(std::vector<int>(1000, 128)), 1);
    EXPECT_EQ(m.line, "M: 0, m: 0 -> 0 f-stops, mean: 0\n");
    EXPECT_EQ(m.stats.mean, 0.0);
    EXPECT_EQ(m.stats.min, 0);
    EXPECT_EQ(m.stats.max, 0);
    EXPECT_EQ(m.stats.range, 0);
}

TEST(RgbeStats, OrderDoesNotMatter) {
    std::vector<int> exponents = {120, 130, 140};
    do {
        for (const unsigned long stride : {0UL, 1UL}) {
            const Measured m = measure(withExponents(exponents), stride);
            EXPECT_EQ(m.line, "M: 12, m: -8 -> 20 f-stops, mean: 2\n");
            EXPECT_EQ(m.stats.min, -8);
            EXPECT_EQ(m.stats.max, 12);
            EXPECT_EQ(m.stats.range, 20);
            EXPECT_EQ(m.stats.mean, 2.0);
        }
    } while (std::next_permutation(exponents.begin(), exponents.end()));
}

TEST(RgbeStats, BlackPixelsAreNoSamples) {
    const Measured mixed = measure(withExponents({0, 129, 0, 126, 0}), 1);
    EXPECT_EQ(mixed.stats.mean, -0.5);
    EXPECT_EQ(mixed.stats.min, -2);
    EXPECT_EQ(mixed.stats.max, 1);
    EXPECT_EQ(mixed.line, "M: 1, m: -2 -> 3 f-stops, mean: -0.5\n");

    for (const auto& pixels : {withExponents(std::vector<int>(17, 0)), withExponents({})}) {
        const Measured m = measure(pixels, 0);
        EXPECT_TRUE(std::isnan(m.stats.mean));
        EXPECT_EQ(m.stats.min, 128);
        EXPECT_EQ(m.stats.max, -127);
        EXPECT_EQ(m.stats.range, -255);
        EXPECT_EQ(m.line.substr(0, 38), "M: -127, m: 128 -> -255 f-stops, mean:");
    }
}

TEST(RgbeStats, ExtremeExponents) {
    const Measured m = measure(withExponents({1, 255, 255}), 1);
    EXPECT_EQ(m.stats.min, -127);
    EXPECT_EQ(m.stats.max, 127);
    EXPECT_EQ(m.stats.range, 254);
    EXPECT_DOUBLE_EQ(m.stats.mean, 127.0 / 3);
    EXPECT_EQ(m.line, "M: 127, m: -127 -> 254 f-stops, mean: 42.3333\n");
}

TEST(RgbeStats, AutomaticStrideAboveOneMillionPixels) {
    // A million pixels are all sampled: the first one's exponent shows.
    std::vector<int> million(1000000, 128);
    million.front() = 140;
    const Measured all = measure(withExponents(million), 0);
    EXPECT_EQ(all.stats.max, 12);
    EXPECT_EQ(all.stats.mean, 12.0 / 1000000);

    // One more and every 11th is taken from the last: 1000000, 999989, ..., 1.
    std::vector<int> more(1000001, 128);
    more[1000000] = 130;
    more[999989] = 131;
    more[1] = 100;
    more[999999] = 250;
    more[0] = 250;
    const Measured thinned = measure(withExponents(more), 0);
    EXPECT_EQ(thinned.stats.max, 3);
    EXPECT_EQ(thinned.stats.min, -28);
    EXPECT_EQ(thinned.stats.mean, (2.0 + 3.0 - 28.0) / 90910);

    const Measured full = measure(withExponents(more), 1);
    EXPECT_EQ(full.stats.max, 122);
}

TEST(RgbeStats, ExplicitStrideWalksBackFromTheLast) {
    // Stride 3 over 5 pixels visits 4 and 1; 0, 2 and 3 would change every field.
    const Measured m = measure(withExponents({250, 126, 1, 1, 130}), 3);
    EXPECT_EQ(m.stats.max, 2);
    EXPECT_EQ(m.stats.min, -2);
    EXPECT_EQ(m.stats.mean, 0.0);
    EXPECT_EQ(m.line, "M: 2, m: -2 -> 4 f-stops, mean: 0\n");

    const Measured single = measure(withExponents({200, 140}), 5);
    EXPECT_EQ(single.stats.max, 12);
    EXPECT_EQ(single.stats.min, 12);
}

} // namespace
