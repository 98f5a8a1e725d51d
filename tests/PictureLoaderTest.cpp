// Decoding on a worker thread: progress, cancelling through the row callback, errors carried
// over, and the whole mip pyramid made off the GUI thread.
#include "FifoPicture.h"
#include "LuminanceStatistics.h"
#include "MipLevel.h"
#include "PictureLoader.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

std::string tempPath(const std::string& name) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("picture-loader-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

// Bounded: a worker that never gets there fails the test instead of hanging it.
template <typename Condition> bool waitFor(Condition condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

struct CloseOnExit {
    FifoPicture& fifo;
    ~CloseOnExit() { fifo.close(); }
};

Picture rgbPicture(int width, int height) {
    Picture picture;
    picture.allocate(width, height, PixelEncoding::Rgb8);
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        picture.pixels[i] = static_cast<unsigned char>(i * 37);
    }
    picture.fileName = "p.jpg";
    return picture;
}

} // namespace

TEST(MipLevels, MakeTheWholePyramidEqualToHalvingStepByStep) {
    Picture picture = rgbPicture(13, 6);
    const unsigned char* original = picture.pixels.get();
    const Picture level1 = halvePicture(picture);
    const Picture level2 = halvePicture(level1);
    std::vector<int> asked;
    const std::vector<Picture> levels =
        mipLevels(std::move(picture), [&asked](int level) { asked.push_back(level); });
    ASSERT_EQ(levels.size(), 4u); // 13x6, 6x3, 3x1, 1x1
    EXPECT_EQ(levels[0].pixels.get(), original) << "level 0 is the picture, not a copy";
    EXPECT_EQ(levels[0].fileName, "p.jpg");
    EXPECT_EQ(levels[2].width, 3);
    EXPECT_EQ(levels[2].height, 1);
    EXPECT_EQ(levels[3].width, 1);
    EXPECT_EQ(levels[3].height, 1);
    EXPECT_TRUE(std::equal(level2.pixels.get(), level2.pixels.get() + level2.byteCount(),
                           levels[2].pixels.get()));
    EXPECT_EQ(asked, (std::vector<int>{1, 2, 3}));

    Picture one = rgbPicture(1, 1);
    EXPECT_EQ(mipLevels(std::move(one), [](int) { ADD_FAILURE() << "no level to make"; }).size(),
              1u);
}

// The means go through the same rgbe::encode bytes, whatever the fast paths, for blocks of
// 2 x 2 inside a row and 3 wide at an odd end; exponents from black to beyond the brightest.
TEST(MipLevels, RadianceMeansAreTheBytesRgbeEncodeGives) {
    Picture picture;
    picture.allocate(1001, 2, PixelEncoding::Rgbe);
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        picture.pixels[i] = static_cast<unsigned char>(i * 2654435761u >> 11);
    }
    // Whole blocks at the ends of the range: sums beyond a float's (exponent 255), subnormal
    // scales (exponents 1 to 9) and black beside them.
    for (int x = 0; x < 24; ++x) {
        for (int y = 0; y < 2; ++y) {
            unsigned char* p = picture.pixels.get() + (y * 1001 + x) * 4;
            const int e = x < 4 ? 255 : x < 20 ? 1 + (x + y) % 9 : (x % 2) * 10;
            p[0] = 255;
            p[1] = static_cast<unsigned char>(17 * x);
            p[2] = static_cast<unsigned char>(1 + y);
            p[3] = static_cast<unsigned char>(e);
        }
    }
    const Picture half = halvePicture(picture);
    ASSERT_EQ(half.width, 500);
    for (int x = 0; x < half.width; ++x) {
        float sum[3] = {0.0f, 0.0f, 0.0f};
        const int columns = x == half.width - 1 ? 3 : 2;
        for (int y = 0; y < 2; ++y) {
            for (int i = 0; i < columns; ++i) {
                const unsigned char* p = picture.pixels.get() + (y * 1001 + 2 * x + i) * 4;
                const float f = p[3] == 0 ? 0.0f : std::ldexp(1.0f, p[3] - 136);
                for (int c = 0; c < 3; ++c) {
                    sum[c] += p[c] * f;
                }
            }
        }
        const float n = static_cast<float>(2 * columns);
        unsigned char expected[4];
        rgbe::encode(sum[0] / n, sum[1] / n, sum[2] / n, expected);
        const unsigned char* got = half.pixels.get() + 4 * x;
        ASSERT_EQ(std::vector<unsigned char>(got, got + 4),
                  std::vector<unsigned char>(expected, expected + 4))
            << x;
    }
}

// Level 1 made from bands of level 0 as they come, in any order, is halvePicture's: rows a
// band covers alone are made at once, the rest (the three rows of an odd height's last row
// split between bands, or no band at all) at the end; the pyramid goes on from it.
TEST(MipLevels, HalvingInBandsGivesTheHalvedLevel) {
    Picture picture;
    picture.allocate(37, 23, PixelEncoding::Rgbe);
    for (std::size_t i = 0; i < picture.byteCount(); ++i) {
        picture.pixels[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    }
    picture.scale.mean = 2.0;
    const Picture expected = halvePicture(picture);
    const auto sameBytes = [](const Picture& a, const Picture& b) {
        return a.width == b.width && a.height == b.height &&
               std::equal(a.pixels.get(), a.pixels.get() + a.byteCount(), b.pixels.get());
    };
    // Bands of 2 rows but the last, which is 1 (23 rows): in order and backwards.
    const std::vector<std::vector<std::pair<int, int>>> orders = {
        {{0, 4}, {4, 6}, {10, 6}, {16, 6}, {22, 1}},
        {{22, 1}, {16, 6}, {10, 6}, {4, 6}, {0, 4}},
        {{0, 23}},
        {},
    };
    const std::size_t rowBytes = 37 * 4;
    for (const auto& order : orders) {
        // As a decoder fills it: rows not yet decoded hold garbage.
        Picture decoding;
        decoding.allocate(37, 23, PixelEncoding::Rgbe);
        std::fill(decoding.pixels.get(), decoding.pixels.get() + decoding.byteCount(), 0xab);
        decoding.scale = picture.scale;
        HalvingInBands halving(37, 23, PixelEncoding::Rgbe);
        for (const auto& [first, count] : order) {
            std::copy(picture.pixels.get() + rowBytes * first,
                      picture.pixels.get() + rowBytes * (first + count),
                      decoding.pixels.get() + rowBytes * first);
            halving.band(decoding.pixels.get(), first, count);
        }
        std::copy(picture.pixels.get(), picture.pixels.get() + picture.byteCount(),
                  decoding.pixels.get());
        const Picture level = halving.finish(decoding);
        EXPECT_TRUE(sameBytes(level, expected)) << order.size();
        EXPECT_EQ(level.scale.mean, 2.0);
    }

    Picture rgb = rgbPicture(9, 5);
    HalvingInBands eight(9, 5, PixelEncoding::Rgb8);
    eight.band(rgb.pixels.get(), 0, 2);
    Picture levelOne = eight.finish(rgb);
    EXPECT_TRUE(sameBytes(levelOne, halvePicture(rgb)));
    EXPECT_THROW(eight.finish(rgbPicture(9, 4)), std::runtime_error);

    // The rest of the pyramid from the two levels, as from level 0 alone.
    std::vector<Picture> top;
    top.push_back(rgbPicture(9, 5));
    top.push_back(std::move(levelOne));
    const std::vector<Picture> continued = mipLevels(std::move(top));
    const std::vector<Picture> whole = mipLevels(std::move(rgb));
    ASSERT_EQ(continued.size(), whole.size());
    for (std::size_t l = 0; l < whole.size(); ++l) {
        EXPECT_TRUE(sameBytes(continued[l], whole[l])) << l;
    }
}

// One pass by a power of two gives the pyramid's level where the sides are multiples of it
// (8-bit means are exact there; RGBE within the rounding of the levels between), and the
// last column and row take what is left over where they are not.
TEST(MipLevels, AReductionIsThePyramidsLevelInOnePass) {
    Picture rgb = rgbPicture(64, 32);
    const Picture reduced = reducePicture(rgb, 8);
    const std::vector<Picture> levels = mipLevels(std::move(rgb));
    ASSERT_EQ(reduced.width, 8);
    ASSERT_EQ(reduced.height, 4);
    for (std::size_t i = 0; i < reduced.byteCount(); ++i) {
        ASSERT_NEAR(reduced.pixels[i], levels[3].pixels[i], 1) << i;
    }

    Picture radiance;
    radiance.allocate(48, 24, PixelEncoding::Rgbe);
    for (std::size_t i = 0; i < radiance.byteCount(); ++i) {
        radiance.pixels[i] = i % 4 == 3 ? static_cast<unsigned char>(120 + i % 9)
                                        : static_cast<unsigned char>(128 + i * 2654435761u % 127);
    }
    radiance.scale.mean = 3.0;
    const Picture quarter = reducePicture(radiance, 4);
    const Picture halved = halvePicture(halvePicture(radiance));
    ASSERT_EQ(quarter.width, 12);
    ASSERT_EQ(quarter.scale.mean, 3.0);
    for (int i = 0; i < quarter.width * quarter.height; ++i) {
        double a[3];
        double b[3];
        rgbe::decode(quarter.pixels.get() + 4 * i, a[0], a[1], a[2]);
        rgbe::decode(halved.pixels.get() + 4 * i, b[0], b[1], b[2]);
        for (int c = 0; c < 3; ++c) {
            ASSERT_NEAR(a[c], b[c], 0.02 * b[c]) << i;
        }
    }

    // 10 x 5 by 4: the second column takes source columns 4..9, the one row all five rows.
    Picture odd = rgbPicture(10, 5);
    const Picture small = reducePicture(odd, 4);
    ASSERT_EQ(small.width, 2);
    ASSERT_EQ(small.height, 1);
    double sum = 0.0;
    for (int y = 0; y < 5; ++y) {
        for (int x = 4; x < 10; ++x) {
            const double v = odd.pixels[3 * (y * 10 + x)];
            sum += v * v;
        }
    }
    EXPECT_EQ(small.pixels[3], std::lround(std::sqrt(sum / 30.0)));
    EXPECT_EQ(reductionFactor(16384, 8192, 1024), 16);
    EXPECT_EQ(reductionFactor(1000, 3000, 1024), 4);
    EXPECT_EQ(reductionFactor(1024, 512, 1024), 1);
    EXPECT_THROW(reducePicture(odd, 0), std::runtime_error);
}

TEST(MipLevels, AThrowingCallbackAbandonsThePyramid) {
    EXPECT_THROW(mipLevels(rgbPicture(64, 64),
                           [](int level) {
                               if (level == 3) {
                                   throw std::runtime_error("stop");
                               }
                           }),
                 std::runtime_error);
}

TEST(PictureLoader, ReadsAFileWithItsLevelsAndTellsItsRows) {
    const std::string path = tempPath("rows.hdr");
    const std::vector<unsigned char> pixels(40 * 20 * 4, 130);
    rgbe::write(path, 40, 20, pixels.data(), true);
    std::atomic<int> calls{0};
    std::atomic<int> workerNiceness{-100};
    PictureLoader loader(path, SizeLimit(), true, [&] {
        ++calls;
        workerNiceness = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    });
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(calls, 1);
    // The decode runs below the caller's thread, so that the window's frames come first.
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    EXPECT_EQ(workerNiceness, std::min(own + 5, 19));
    EXPECT_EQ(loader.rowsDone(), 20);
    EXPECT_EQ(loader.rowCount(), 20);
    const std::vector<Picture> levels = loader.take();
    ASSERT_EQ(levels.size(), 6u); // 40x20 down to 1x1
    EXPECT_EQ(levels[0].encoding, PixelEncoding::Rgbe);
    EXPECT_EQ(levels[0].fileName, path);
    EXPECT_EQ(levels[0].scale.mean, 4.0) << "exponent 130: 2 f-stops";
    EXPECT_EQ(levels[5].width, 1);

    // Without mip levels there is level 0 alone.
    PictureLoader flat(path, SizeLimit(), false, nullptr);
    ASSERT_TRUE(waitFor([&] { return flat.isFinished(); }));
    EXPECT_EQ(flat.take().size(), 1u);

    // Level 1, made while the rows are decoded, and the rest are the halved levels, an odd
    // last row included.
    std::vector<unsigned char> varied(41 * 21 * 4);
    for (std::size_t i = 0; i < varied.size(); ++i) {
        varied[i] = static_cast<unsigned char>(i * 2654435761u >> 9);
    }
    rgbe::write(path, 41, 21, varied.data(), true);
    PictureLoader odd(path, SizeLimit(), true, nullptr);
    ASSERT_TRUE(waitFor([&] { return odd.isFinished(); }));
    const std::vector<Picture> oddLevels = odd.take();
    ASSERT_EQ(oddLevels.size(), 6u); // 41x21 down to 1x1
    for (std::size_t l = 1; l < oddLevels.size(); ++l) {
        const Picture halved = halvePicture(oddLevels[l - 1]);
        EXPECT_TRUE(std::equal(halved.pixels.get(), halved.pixels.get() + halved.byteCount(),
                               oddLevels[l].pixels.get()))
            << l;
    }
    std::remove(path.c_str());
}

// The header's size is told before the pixels are read, so that the texture can be made
// meanwhile; only within the limit, and the texels' shift comes with the levels.
TEST(PictureLoader, TellsARadianceSizeBeforeItsPixelsAndTheTexelShiftAfter) {
    const std::string path = tempPath("sized.hdr");
    std::vector<unsigned char> pixels(40 * 20 * 4, 130);
    pixels[4 * 123 + 3] = 150;
    rgbe::write(path, 40, 20, pixels.data(), true);
    std::atomic<int> sizedWidth{0};
    std::atomic<int> rowsWhenSized{-1};
    PictureLoader* self = nullptr;
    std::atomic<bool> ready{false};
    PictureLoader loader(path, SizeLimit(), true, nullptr, [&] {
        while (!ready) {
            std::this_thread::yield();
        }
        sizedWidth = self->columnCount();
        rowsWhenSized = self->rowsDone();
    });
    self = &loader;
    ready = true;
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(sizedWidth, 40);
    EXPECT_EQ(rowsWhenSized, 0);
    EXPECT_EQ(loader.radianceShift(), 150 - 144);

    SizeLimit small;
    small.pieceLimit = 16;
    small.maxPieces = 1;
    std::atomic<int> told{0};
    PictureLoader refused(path, small, true, nullptr, [&told] { ++told; });
    ASSERT_TRUE(waitFor([&] { return refused.isFinished(); }));
    EXPECT_EQ(told, 0);
    EXPECT_THROW(refused.take(), std::runtime_error);
    std::remove(path.c_str());
}

// A large picture's reduced copy comes before the levels, with its own pyramid; a picture
// less than four times the side gets none, nor one loaded without mip levels.
TEST(PictureLoader, GivesAReducedCopyBeforeTheLevels) {
    const std::string path = tempPath("preview.hdr");
    std::vector<unsigned char> pixels(64 * 32 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = i % 4 == 3 ? 130 : static_cast<unsigned char>(i * 7);
    }
    rgbe::write(path, 64, 32, pixels.data(), true);
    PictureLoader* self = nullptr;
    std::atomic<bool> ready{false};
    std::atomic<int> copies{0};
    std::atomic<bool> finishedFirst{false};
    Preview preview;
    PreviewRequest request{8, [&] {
                               while (!ready) {
                                   std::this_thread::yield();
                               }
                               finishedFirst = self->isFinished();
                               preview = self->takePreview();
                               ++copies;
                           }};
    PictureLoader loader(path, SizeLimit(), true, nullptr, nullptr, request);
    self = &loader;
    ready = true;
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(copies, 1);
    EXPECT_FALSE(finishedFirst);
    EXPECT_EQ(preview.factor, 8);
    EXPECT_EQ(preview.width, 64);
    EXPECT_EQ(preview.height, 32);
    ASSERT_EQ(preview.levels.size(), 4u); // 8x4 down to 1x1
    // Reduced from level 1, made while the rows were decoded.
    const std::vector<Picture> levels = loader.take();
    const Picture expected = reducePicture(levels[1], 4);
    EXPECT_TRUE(std::equal(expected.pixels.get(), expected.pixels.get() + expected.byteCount(),
                           preview.levels[0].pixels.get()));
    EXPECT_EQ(preview.levels[0].scale.mean, levels[0].scale.mean);
    EXPECT_TRUE(loader.takePreview().levels.empty()) << "taken once";

    for (const auto& [side, mipmapped] : {std::pair{32, true}, std::pair{8, false}}) {
        std::atomic<int> none{0};
        PictureLoader small(path, SizeLimit(), mipmapped, nullptr, nullptr,
                            PreviewRequest{side, [&none] { ++none; }});
        ASSERT_TRUE(waitFor([&] { return small.isFinished(); }));
        EXPECT_EQ(none, 0) << side;
        EXPECT_TRUE(small.takePreview().levels.empty());
    }
    std::remove(path.c_str());
}

// Asked for, the levels come first, and the statistics follow from level 0, which the caller
// holds meanwhile: those of the picture, apart from its levels. Otherwise they come on level 0.
TEST(PictureLoader, GivesTheLevelsBeforeTheStatisticsWhenAsked) {
    const std::string path = tempPath("levels-first.hdr");
    std::vector<unsigned char> pixels(300 * 150 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = i % 4 == 3 ? static_cast<unsigned char>(120 + i / 4 % 17)
                               : static_cast<unsigned char>(i * 2654435761u >> 13);
    }
    rgbe::write(path, 300, 150, pixels.data(), true);
    std::atomic<int> order{0};
    std::atomic<int> levelsAt{0};
    std::atomic<int> finishedAt{0};
    PictureLoader loader(
        path, SizeLimit(), true, [&] { finishedAt = ++order; }, {}, {},
        [&] { levelsAt = ++order; });
    ASSERT_TRUE(waitFor([&] { return levelsAt > 0; }));
    const std::vector<Picture> levels = loader.take();
    // The statistics wait to be asked for (once the levels are up, in the viewer).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(loader.isFinished());
    loader.gatherStatistics();
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(levelsAt, 1);
    EXPECT_EQ(finishedAt, 2);
    ASSERT_EQ(levels.size(), 9u);
    EXPECT_EQ(levels[0].statistics, nullptr);
    const std::shared_ptr<const LuminanceStatistics> statistics = loader.takeStatistics();
    ASSERT_NE(statistics, nullptr);
    const std::shared_ptr<const LuminanceStatistics> expected =
        LuminanceStatistics::of(levels[0], true);
    EXPECT_TRUE(statistics->solidAngle);
    EXPECT_EQ(statistics->mean, expected->mean);
    EXPECT_EQ(statistics->max, expected->max);
    EXPECT_EQ(statistics->histogram(-20.0, 20.0, 320), expected->histogram(-20.0, 20.0, 320));

    // Asked for before the levels, they follow them at once; a cancel ends the wait too.
    PictureLoader early(path, SizeLimit(), true, nullptr, {}, {}, [] {});
    early.gatherStatistics();
    ASSERT_TRUE(waitFor([&] { return early.isFinished(); }));
    EXPECT_NE(early.takeStatistics(), nullptr);
    std::atomic<bool> levelsDone{false};
    PictureLoader waiting(path, SizeLimit(), true, nullptr, {}, {}, [&] { levelsDone = true; });
    ASSERT_TRUE(waitFor([&] { return levelsDone.load(); }));
    waiting.cancel();
    ASSERT_TRUE(waitFor([&] { return waiting.isFinished(); }));
    EXPECT_EQ(waiting.takeStatistics(), nullptr);

    PictureLoader plain(path, SizeLimit(), true, nullptr);
    ASSERT_TRUE(waitFor([&] { return plain.isFinished(); }));
    EXPECT_EQ(plain.takeStatistics(), nullptr);
    const std::vector<Picture> withStatistics = plain.take();
    ASSERT_NE(withStatistics[0].statistics, nullptr);
    EXPECT_EQ(withStatistics[0].statistics->histogram(-20.0, 20.0, 320),
              expected->histogram(-20.0, 20.0, 320));
    std::remove(path.c_str());
}

TEST(PictureLoader, CarriesTheReadersErrorsWithTheirTexts) {
    PictureLoader missing(tempPath("missing.jpg"), SizeLimit(), true, nullptr);
    ASSERT_TRUE(waitFor([&] { return missing.isFinished(); }));
    EXPECT_THROW(missing.take(), std::runtime_error);

    const std::string path = tempPath("big.hdr");
    const std::vector<unsigned char> pixels(20 * 4, 128);
    rgbe::write(path, 20, 1, pixels.data(), true);
    SizeLimit limit;
    limit.pieceLimit = 8;
    PictureLoader tooWide(path, limit, true, nullptr);
    ASSERT_TRUE(waitFor([&] { return tooWide.isFinished(); }));
    try {
        tooWide.take();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Maximum texture size of GPU is too small (20x1 > 8) for '" + path + "'");
    }
    std::remove(path.c_str());
}

// The reader waits on the FIFO with rows decoded; once cancelled, the rest of the picture
// reaches the callback, which abandons the read.
TEST(PictureLoader, CancelStopsAtTheNextRow) {
    FifoPicture fifo(tempPath("x.hdr"), 8192);
    PictureLoader loader(fifo.path, SizeLimit(), true, nullptr);
    // Declared after the loader: a failed check leaves with the worker released, not waiting.
    const CloseOnExit closeFirst{fifo};
    ASSERT_TRUE(waitFor([&] { return fifo.drained(); }));
    fifo.feedRows(1000);
    ASSERT_TRUE(waitFor([&] { return loader.rowsDone() > 0; }));
    EXPECT_EQ(loader.rowCount(), 8192) << "a pipe's height comes from its header, read once";
    ASSERT_TRUE(waitFor([&] { return fifo.drained(); }));
    EXPECT_FALSE(loader.isFinished());
    const int rows = loader.rowsDone();
    loader.cancel();
    fifo.feedAll();
    fifo.close();
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(loader.rowsDone(), rows);
    EXPECT_THROW(loader.take(), LoadCancelled);
}

// Uncancelled, the same FIFO gives the whole picture.
TEST(PictureLoader, AFifoFedToItsEndLoads) {
    FifoPicture fifo(tempPath("z.hdr"), 8192);
    PictureLoader loader(fifo.path, SizeLimit(), false, nullptr);
    const CloseOnExit closeFirst{fifo};
    ASSERT_TRUE(waitFor([&] { return fifo.drained(); }));
    fifo.feedAll();
    fifo.close();
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(loader.rowsDone(), 8192);
    EXPECT_EQ(loader.take().at(0).height, 8192);
}
