#include "RgbeTestUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <random>
#include <utility>
#include <string>
#include <vector>

// The decoder of regular files finds every row first and decodes stripes on several threads;
// whatever the thread count, pixels and errors are those of one thread and of a stream.
namespace {

using RgbeParallel = RgbeFiles;

const std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n";

std::string str(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(RgbeParallel, SeedCorpusGivesTheSameOnEveryRoad) {
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(RGBE_CORPUS)) {
        expectSameOnEveryRoad(entry.path().string(), path("fifo"));
        ++files;
    }
    EXPECT_GT(files, 10u);
}

TEST_F(RgbeParallel, FewRowsAndWideRows) {
    for (const int width : {8, 1000, 32767}) {
        for (const int height : {1, 2, 3, 70}) {
            if (width == 32767 && height == 70) {
                continue;
            }
            const Bytes pixels = mixedPixels(width, height, unsigned(width + height));
            const std::string file = path("rows.hdr");
            ::testing::internal::CaptureStderr();
            rgbe::write(file, width, height, pixels.data(), true);
            ::testing::internal::GetCapturedStderr();
            EXPECT_TRUE(readOutcome(file, 4).pixels == pixels) << width << " x " << height;
            expectSameOnEveryRoad(file, path("fifo"));
        }
    }
}

// Cuts and changed bytes anywhere in a file of many stripes: the first bad row is reported,
// as the one-thread decoder reports it, with truncated data as well as with bad packets.
TEST_F(RgbeParallel, MalformedFilesGiveTheSameError) {
    const int width = 40;
    const int height = 90;
    const std::string file = path("good.hdr");
    ::testing::internal::CaptureStderr();
    rgbe::write(file, width, height, mixedPixels(width, height, 3).data(), true);
    ::testing::internal::GetCapturedStderr();
    const std::string good = str(contents(file));
    const size_t data = good.find("+X 40\n") + 6;

    std::mt19937 random(5);
    std::vector<std::string> errors;
    for (int i = 0; i < 60; ++i) {
        std::string bad = good;
        const size_t at = data + random() % (good.size() - data);
        if (i % 3 == 0) {
            bad.resize(at);
        } else {
            bad[at] = static_cast<char>(i % 3 == 1 ? 0 : 200 + random() % 56);
        }
        const std::string name = put("bad.hdr", bad);
        expectSameOnEveryRoad(name, path("fifo"));
        errors.push_back(readOutcome(name, 0).error);
    }
    // Both kinds of failure occurred, in rows beyond the first stripe too.
    const auto count = [&](const std::string& prefix) {
        return std::count_if(errors.begin(), errors.end(),
                             [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    };
    EXPECT_GT(count("Truncated RADIANCE file"), 5);
    EXPECT_GT(count("Bad scanline data in line"), 5);
    EXPECT_GT(std::count_if(errors.begin(), errors.end(),
                            [](const std::string& e) { return e.find("line 8") != e.npos; }),
              0);
}

TEST_F(RgbeParallel, RowCallbackInOrderAndAbandoned) {
    const int width = 16;
    const int height = 300;
    const std::string file = path("rows.hdr");
    ::testing::internal::CaptureStderr();
    rgbe::write(file, width, height, mixedPixels(width, height, 9).data(), true);
    ::testing::internal::GetCapturedStderr();
    for (const unsigned threads : {1u, 2u, 5u}) {
        std::vector<int> rows;
        const rgbe::RowCallback record = [&](int row) { rows.push_back(row); };
        rgbe::ReadOptions options;
        options.threads = threads;
        options.callback = &record;
        const Picture picture = rgbe::readPicture(file, options);
        std::vector<int> expected(height);
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(rows, expected) << threads;

        rows.clear();
        const rgbe::RowCallback stop = [&](int row) {
            rows.push_back(row);
            if (row == 150) {
                throw std::runtime_error("stop");
            }
        };
        options.callback = &stop;
        EXPECT_EQ(errorOf([&] { rgbe::readPicture(file, options); }), "stop");
        EXPECT_EQ(rows.size(), 151u) << threads;
    }
}

// Bands start at multiples of the rows asked for and cover every row once, each told on the
// decoding threads once its bytes are final; rows decoded one by one (flat rows) come in none.
TEST_F(RgbeParallel, BandsCoverEveryRowOnceWithTheirFinalBytes) {
    const int width = 24;
    const int height = 301;
    const Bytes source = mixedPixels(width, height, 5);
    const std::string runLength = path("bands.hdr");
    const std::string flat = path("bands-flat.hdr");
    ::testing::internal::CaptureStderr();
    rgbe::write(runLength, width, height, source.data(), true);
    rgbe::write(flat, width, height, source.data(), false);
    ::testing::internal::GetCapturedStderr();
    const std::size_t rowBytes = 4 * static_cast<std::size_t>(width);
    for (const unsigned threads : {1u, 3u}) {
        for (const int bandRows : {2, 16}) {
            std::mutex mutex;
            std::vector<int> told(height, 0);
            Bytes seen(source.size());
            int misplaced = 0;
            const rgbe::BandCallback bands = [&](const unsigned char* pixels, int first,
                                                 int count) {
                const std::lock_guard<std::mutex> lock(mutex);
                misplaced += first % bandRows != 0 || (count % bandRows != 0 &&
                                                       first + count != height);
                for (int y = first; y < first + count; ++y) {
                    ++told[static_cast<std::size_t>(y)];
                }
                std::copy(pixels + rowBytes * first, pixels + rowBytes * (first + count),
                          seen.begin() + static_cast<long>(rowBytes * first));
            };
            rgbe::ReadOptions options;
            options.threads = threads;
            options.bands = &bands;
            options.bandRows = bandRows;
            const Picture picture = rgbe::readPicture(runLength, options);
            EXPECT_EQ(misplaced, 0) << threads << " " << bandRows;
            EXPECT_EQ(told, std::vector<int>(height, 1)) << threads << " " << bandRows;
            EXPECT_EQ(seen, source) << threads << " " << bandRows;

            std::fill(told.begin(), told.end(), 0);
            rgbe::readPicture(flat, options);
            EXPECT_EQ(told, std::vector<int>(height, 0));
        }
    }
}

struct Counted {
    rgbe::Stats stats;
    std::string line;
};

Counted folded(const std::string& file, unsigned threads, unsigned long stride, Bytes& pixels) {
    rgbe::ExponentCounts counts{};
    rgbe::ReadOptions options;
    options.threads = threads;
    options.counts = &counts;
    options.statsStride = stride;
    const Picture picture = rgbe::readPicture(file, options);
    pixels.assign(picture.pixels.get(), picture.pixels.get() + picture.byteCount());
    ::testing::internal::CaptureStderr();
    const rgbe::Stats stats = rgbe::stats(counts);
    return {stats, ::testing::internal::GetCapturedStderr()};
}

Counted separate(const Bytes& pixels, unsigned long stride) {
    ::testing::internal::CaptureStderr();
    const rgbe::Stats stats = rgbe::stats(pixels.data(), pixels.size() / 4, stride);
    return {stats, ::testing::internal::GetCapturedStderr()};
}

// Up to a million pixels every one counts, above only every 11th from the last; the counts
// gathered while decoding, flat or run-length, on any thread count, give rgbe::stats's numbers.
TEST_F(RgbeParallel, FoldedStatisticsEqualStats) {
    for (const auto& [width, height] :
         {std::pair{1000, 1000}, std::pair{1001, 1000}, std::pair{37, 5}}) {
        Bytes source = mixedPixels(width, height, 17);
        // Exponents that grow down the picture, so that which pixels are sampled shows.
        for (size_t i = 3; i < source.size(); i += 4) {
            source[i] =
                source[i] == 0 ? 0 : static_cast<unsigned char>(100 + i * 50 / source.size());
        }
        for (const bool rle : {true, false}) {
            const std::string file = path("stats.hdr");
            ::testing::internal::CaptureStderr();
            rgbe::write(file, width, height, source.data(), rle);
            ::testing::internal::GetCapturedStderr();
            for (const unsigned long stride : {0ul, 1ul, 7ul}) {
                for (const unsigned threads : {1u, 2u, 3u}) {
                    Bytes pixels;
                    const Counted during = folded(file, threads, stride, pixels);
                    ASSERT_TRUE(pixels == source);
                    const Counted after = separate(pixels, stride);
                    EXPECT_EQ(during.line, after.line) << width << " " << stride << " " << rle;
                    EXPECT_EQ(during.stats.mean, after.stats.mean);
                    EXPECT_EQ(during.stats.min, after.stats.min);
                    EXPECT_EQ(during.stats.max, after.stats.max);
                    EXPECT_EQ(during.stats.range, after.stats.range);
                }
            }
        }
        if (width * height > 1000000) {
            EXPECT_NE(separate(source, 0).stats.mean, separate(source, 1).stats.mean)
                << "sampling must matter for the comparison to mean something";
        }
    }
}

TEST_F(RgbeParallel, LargePicturesAreAlignedToHugePages) {
    const int width = 1024;
    const int height = 600;
    const std::string file = path("large.hdr");
    const Bytes source = mixedPixels(width, height, 4);
    ::testing::internal::CaptureStderr();
    rgbe::write(file, width, height, source.data(), true);
    ::testing::internal::GetCapturedStderr();
    const Picture picture = rgbe::readPicture(file, rgbe::ReadOptions());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(picture.pixels.get()) % (2u << 20), 0u);
    EXPECT_TRUE(Bytes(picture.pixels.get(), picture.pixels.get() + picture.byteCount()) == source);
    EXPECT_EQ(readRgbe(file).pixels, source);
}

} // namespace
