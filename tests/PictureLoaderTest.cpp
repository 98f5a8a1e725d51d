// Decoding on a worker thread: progress, cancelling through the row callback, errors carried
// over, and the whole mip pyramid made off the GUI thread.
#include "FifoPicture.h"
#include "MipLevel.h"
#include "PictureLoader.h"
#include "rgbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

std::string tempPath(const std::string& name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("picture-loader-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

// Bounded: a worker that never gets there fails the test instead of hanging it.
template <typename Condition>
bool waitFor(Condition condition) {
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

TEST(MipLevels, AThrowingCallbackAbandonsThePyramid) {
    EXPECT_THROW(mipLevels(rgbPicture(64, 64), [](int level) {
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
    PictureLoader loader(path, SizeLimit(), true, [&calls] { ++calls; });
    ASSERT_TRUE(waitFor([&] { return loader.isFinished(); }));
    EXPECT_EQ(calls, 1);
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
    EXPECT_EQ(loader.rowCount(), 0) << "a pipe's height is not read ahead";
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
