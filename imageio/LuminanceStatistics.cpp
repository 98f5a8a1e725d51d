#include "LuminanceStatistics.h"

#include "rgbe.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <limits>
#include <stdexcept>
#include <thread>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int stopRows = 64;

// Radiance per RGBE exponent byte and per 8-bit value, by table: a multiply per component.
struct DecodeTables {
    std::array<double, 256> exponent{};
    std::array<double, 256> squared{};
    // floor(64 log2(1 + m / 4096)) for the top 12 bits m of a double's mantissa.
    std::array<std::uint8_t, 4096> fraction{};
    DecodeTables() {
        for (int e = 1; e < 256; ++e) {
            exponent[e] = std::ldexp(1.0, e - 136);
        }
        for (int v = 0; v < 256; ++v) {
            squared[v] = (v / 255.0) * (v / 255.0);
        }
        for (int m = 0; m < 4096; ++m) {
            fraction[m] = static_cast<std::uint8_t>(std::min(
                63.0, std::floor(std::log2(1.0 + m / 4096.0) * LuminanceStatistics::binsPerStop)));
        }
    }
};

const DecodeTables& tables() {
    static const DecodeTables instance;
    return instance;
}

// The fine bin of a positive value, from the bits of the double: no logarithm per pixel.
int binOf(double value, const DecodeTables& t) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    if (exponent < LuminanceStatistics::lowestStop) {
        return 0;
    }
    if (exponent >= LuminanceStatistics::highestStop) {
        return LuminanceStatistics::binCount - 1;
    }
    return (exponent - LuminanceStatistics::lowestStop) * LuminanceStatistics::binsPerStop +
           t.fraction[(bits >> 40) & 0xfff];
}

struct RgbeDecode {
    static constexpr std::size_t bytes = 4;
    static Radiance decode(const unsigned char* p, const DecodeTables& t) {
        const double f = t.exponent[p[3]];
        return {p[0] * f, p[1] * f, p[2] * f};
    }
};

struct Rgb8Decode {
    static constexpr std::size_t bytes = 3;
    static Radiance decode(const unsigned char* p, const DecodeTables& t) {
        return {t.squared[p[0]], t.squared[p[1]], t.squared[p[2]]};
    }
};

// What one thread gathers over its rows.
struct Partial {
    std::vector<double> luminance = std::vector<double>(LuminanceStatistics::binCount, 0.0);
    std::vector<double> channel = std::vector<double>(LuminanceStatistics::binCount, 0.0);
    double total = 0.0;
    double black = 0.0;
    double sum = 0.0;
    double min = std::numeric_limits<double>::infinity();
    double max = 0.0;
    bool stopped = false;
};

template <class Decode>
Partial gather(const Picture& picture, bool solidAngle, long firstRow, long endRow,
               const std::function<bool()>& stop) {
    const DecodeTables& t = tables();
    Partial p;
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * Decode::bytes;
    for (long y = firstRow; y < endRow; ++y) {
        if ((y - firstRow) % stopRows == 0 && stop && stop()) {
            p.stopped = true;
            return p;
        }
        // The cosine of the row centre's latitude.
        const double w = solidAngle ? std::sin(pi * (y + 0.5) / picture.height) : 1.0;
        const unsigned char* row = picture.pixels.get() + static_cast<std::size_t>(y) * rowBytes;
        double rowBlack = 0.0;
        double rowSum = 0.0;
        for (int x = 0; x < picture.width; ++x) {
            const Radiance c = Decode::decode(row + x * Decode::bytes, t);
            const double l = luminanceOf(c);
            const double brightest = std::max(c.r, std::max(c.g, c.b));
            if (!(brightest > 0.0)) {
                rowBlack += 1.0;
                continue;
            }
            rowSum += l;
            p.min = std::min(p.min, l);
            p.max = std::max(p.max, l);
            p.luminance[static_cast<std::size_t>(binOf(l, t))] += w;
            p.channel[static_cast<std::size_t>(binOf(brightest, t))] += w;
        }
        p.total += w * picture.width;
        p.black += w * rowBlack;
        p.sum += w * rowSum;
    }
    return p;
}

} // namespace

Radiance decodePixel(PixelEncoding encoding, const unsigned char* bytes) {
    switch (encoding) {
    case PixelEncoding::Rgbe: {
        Radiance c;
        rgbe::decode(bytes, c.r, c.g, c.b);
        return c;
    }
    case PixelEncoding::Rgb8:
        return Rgb8Decode::decode(bytes, tables());
    default:
        throw std::runtime_error("Only RGBE and 8-bit pixels are decoded as the viewer shows them");
    }
}

double luminanceOf(const Radiance& c) {
    return 0.265 * c.r + 0.670 * c.g + 0.065 * c.b;
}

double exposureValue(double candela) {
    return std::log2(candela * 100.0 / 12.5);
}

struct StatisticsBuilder {
    static std::shared_ptr<const LuminanceStatistics> build(const Picture& picture, bool solidAngle,
                                                            const std::function<bool()>& stop) {
        Partial (*rows)(const Picture&, bool, long, long, const std::function<bool()>&) = nullptr;
        if (picture.encoding == PixelEncoding::Rgbe) {
            rows = gather<RgbeDecode>;
        } else if (picture.encoding == PixelEncoding::Rgb8) {
            rows = gather<Rgb8Decode>;
        } else {
            return nullptr;
        }
        const long height = picture.height;
        const long threads = height < 64 ? 1 : std::max(1u, std::thread::hardware_concurrency());
        // Futures of std::async wait in their destructors: every worker has finished however
        // this returns.
        std::vector<std::future<Partial>> workers;
        for (long i = 1; i < threads; ++i) {
            workers.push_back(std::async(std::launch::async, rows, std::cref(picture), solidAngle,
                                         height * i / threads, height * (i + 1) / threads,
                                         std::cref(stop)));
        }
        Partial all = rows(picture, solidAngle, 0, height / threads, stop);
        for (std::future<Partial>& worker : workers) {
            Partial p = worker.get();
            all.stopped = all.stopped || p.stopped;
            for (std::size_t i = 0; i < all.luminance.size(); ++i) {
                all.luminance[i] += p.luminance[i];
                all.channel[i] += p.channel[i];
            }
            all.total += p.total;
            all.black += p.black;
            all.sum += p.sum;
            all.min = std::min(all.min, p.min);
            all.max = std::max(all.max, p.max);
        }
        if (all.stopped) {
            return nullptr;
        }

        auto result = std::make_shared<LuminanceStatistics>();
        LuminanceStatistics& s = *result;
        s.hdr = picture.isHdr();
        s.solidAngle = solidAngle;
        s.exposure = picture.exposure;
        s.candelaPerUnit = picture.candelaPerUnit;
        if (!(all.total > 0.0)) {
            // An empty picture: nothing to count, and no share of anything.
            return result;
        }
        for (std::size_t i = 0; i < all.luminance.size(); ++i) {
            all.luminance[i] /= all.total;
            all.channel[i] /= all.total;
        }
        s.blackShare = all.black / all.total;
        s.mean = all.sum / all.total;
        if (all.max > 0.0) {
            s.min = all.min;
            s.max = all.max;
        }
        s.median = medianOf(all.luminance, s.blackShare, s.min, s.max);
        // Only the bins from the first to the last that hold anything are kept: a picture
        // spans tens of the 272 stops, and a set keeps the statistics of all its pictures.
        std::size_t first = all.luminance.size();
        std::size_t end = 0;
        for (std::size_t i = 0; i < all.luminance.size(); ++i) {
            if (all.luminance[i] != 0.0 || all.channel[i] != 0.0) {
                first = std::min(first, i);
                end = i + 1;
            }
        }
        if (first < end) {
            s.firstBin = first;
            s.luminanceBins.assign(all.luminance.begin() + static_cast<long>(first),
                                   all.luminance.begin() + static_cast<long>(end));
            s.channelBins.assign(all.channel.begin() + static_cast<long>(first),
                                 all.channel.begin() + static_cast<long>(end));
        }
        return result;
    }

    // Interpolated inside the bin that holds the half-way weight, and kept within the values
    // seen, so that a picture of one value has that value as its median.
    static double medianOf(const std::vector<double>& bins, double black, double min, double max) {
        double below = black;
        if (below >= 0.5) {
            return 0.0;
        }
        for (std::size_t i = 0; i < bins.size(); ++i) {
            if (below + bins[i] >= 0.5 && bins[i] > 0.0) {
                const double stop = LuminanceStatistics::lowestStop +
                                    (static_cast<double>(i) + (0.5 - below) / bins[i]) /
                                        LuminanceStatistics::binsPerStop;
                return std::clamp(std::exp2(stop), min, max);
            }
            below += bins[i];
        }
        return max;
    }
};

std::shared_ptr<const LuminanceStatistics>
LuminanceStatistics::of(const Picture& picture, bool solidAngle,
                        const std::function<bool()>& stop) {
    return StatisticsBuilder::build(picture, solidAngle, stop);
}

double LuminanceStatistics::candela(double luminance) const {
    return luminance * candelaPerUnit / exposure;
}

double LuminanceStatistics::dynamicRange() const {
    return min > 0.0 ? std::log2(max / min) : 0.0;
}

double LuminanceStatistics::shareAtLeast(double level) const {
    if (!(level > 0.0)) {
        return 1.0 - blackShare;
    }
    double share = 0.0;
    const std::size_t from = static_cast<std::size_t>(binOf(level, tables()));
    for (std::size_t i = std::max(from, firstBin); i < firstBin + channelBins.size(); ++i) {
        share += channelBins[i - firstBin];
    }
    return share;
}

double LuminanceStatistics::shareBelow(double level) const {
    if (!(level > 0.0)) {
        return 0.0;
    }
    // Summed, not 1 - shareAtLeast: a difference of sums can come out a hair below 0.
    double share = blackShare;
    const std::size_t end =
        std::min(static_cast<std::size_t>(binOf(level, tables())), firstBin + channelBins.size());
    for (std::size_t i = firstBin; i < end; ++i) {
        share += channelBins[i - firstBin];
    }
    return share;
}

std::vector<double> LuminanceStatistics::histogram(double fromStop, double toStop,
                                                   int count) const {
    std::vector<double> out(static_cast<std::size_t>(std::max(count, 0)), 0.0);
    if (out.empty() || !(toStop > fromStop)) {
        return out;
    }
    const double perBin = count / (toStop - fromStop);
    for (std::size_t i = 0; i < luminanceBins.size(); ++i) {
        if (luminanceBins[i] == 0.0) {
            continue;
        }
        const double centre = lowestStop + (static_cast<double>(i + firstBin) + 0.5) /
                                               static_cast<double>(binsPerStop);
        const long k = std::clamp(static_cast<long>(std::floor((centre - fromStop) * perBin)), 0L,
                                  static_cast<long>(count) - 1);
        out[static_cast<std::size_t>(k)] += luminanceBins[i];
    }
    return out;
}
