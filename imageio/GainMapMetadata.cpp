#include "GainMapMetadata.h"

#include <exiv2/exiv2.hpp>
#include <fmt/printf.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

const char isoGainMapSignature[28] = "urn:iso:std:iso:ts:21496:-1";

namespace {

void initialiseXmp() {
    // Parsing XMP on several threads needs the toolkit set up once beforehand.
    static const bool ready = Exiv2::XmpParser::initialize();
    (void)ready;
}

bool decodePacket(const std::string& packet, Exiv2::XmpData& data) {
    initialiseXmp();
    try {
        return Exiv2::XmpParser::decode(data, packet) == 0;
    } catch (const Exiv2::AnyError&) {
        return false;
    }
}

// A whole decimal number, nothing after it.
bool parseNumber(const std::string& text, double& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    value = std::strtod(begin, &end);
    while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n')) {
        ++end;
    }
    return end != begin && end != nullptr && *end == '\0' && std::isfinite(value);
}

// Values beyond these are no photo's: 2^32 of boost, offsets of 4 whites.
constexpr double largestGain = 32.0;
constexpr double largestOffset = 4.0;

void checkChannel(const GainMapMetadata& m, int c) {
    const auto bad = [](const char* name, double value) {
        return std::runtime_error(fmt::sprintf("%s is %g", name, value));
    };
    if (!(std::fabs(m.gainMin[c]) <= largestGain)) {
        throw bad("the gain map minimum", m.gainMin[c]);
    }
    if (!(std::fabs(m.gainMax[c]) <= largestGain)) {
        throw bad("the gain map maximum", m.gainMax[c]);
    }
    if (!(m.gamma[c] > 1e-3f && m.gamma[c] <= 1e3f)) {
        throw bad("the gamma", m.gamma[c]);
    }
    if (!(std::fabs(m.baseOffset[c]) <= largestOffset)) {
        throw bad("the base offset", m.baseOffset[c]);
    }
    if (!(std::fabs(m.alternateOffset[c]) <= largestOffset)) {
        throw bad("the alternate offset", m.alternateOffset[c]);
    }
}

void checkMetadata(const GainMapMetadata& m) {
    for (int c = 0; c < 3; ++c) {
        checkChannel(m, c);
    }
    if (!(std::fabs(m.baseHeadroom) <= largestGain && std::fabs(m.alternateHeadroom) <= largestGain)) {
        throw std::runtime_error(fmt::sprintf("the headrooms %g and %g are out of range",
                                              m.baseHeadroom, m.alternateHeadroom));
    }
}

// One hdrgm: value: a scalar for all channels or an rdf:Seq of three; `fallback` where absent.
std::array<float, 3> channelValues(const Exiv2::XmpData& data, const char* name,
                                   float fallback) {
    const auto datum = data.findKey(Exiv2::XmpKey(std::string("Xmp.hdrgm.") + name));
    if (datum == data.end()) {
        return {{fallback, fallback, fallback}};
    }
    const auto number = [&](const std::string& text) {
        double value = 0.0;
        if (!parseNumber(text, value)) {
            throw std::runtime_error(fmt::sprintf("hdrgm:%s is '%s'", name, text));
        }
        return static_cast<float>(value);
    };
    if (datum->typeId() == Exiv2::xmpText) {
        const float value = number(datum->toString());
        return {{value, value, value}};
    }
    const long count = datum->count();
    if (count != 1 && count != 3) {
        throw std::runtime_error(fmt::sprintf("hdrgm:%s has %d values", name, count));
    }
    std::array<float, 3> values{};
    for (long c = 0; c < 3; ++c) {
        values[c] = number(datum->toString(count == 3 ? c : 0));
    }
    return values;
}

// Reads ISO 21496-1's big-endian fields, every read checked against the end.
class IsoStream {
public:
    IsoStream(const unsigned char* data, std::size_t size) : data(data), size(size) {}

    std::uint32_t u32() {
        need(4);
        const std::uint32_t value = static_cast<std::uint32_t>(data[at]) << 24 |
                                    static_cast<std::uint32_t>(data[at + 1]) << 16 |
                                    static_cast<std::uint32_t>(data[at + 2]) << 8 | data[at + 3];
        at += 4;
        return value;
    }
    std::uint16_t u16() {
        need(2);
        const auto value = static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
        at += 2;
        return value;
    }
    std::uint8_t u8() {
        need(1);
        return data[at++];
    }
    std::size_t left() const { return size - at; }

private:
    void need(std::size_t bytes) const {
        if (size - at < bytes) {
            throw std::runtime_error("the ISO 21496-1 metadata ends early");
        }
    }
    const unsigned char* data;
    std::size_t size;
    std::size_t at = 0;
};

float fraction(double numerator, std::uint32_t denominator, const char* name) {
    if (denominator == 0) {
        throw std::runtime_error(fmt::sprintf("the %s has a denominator of 0", name));
    }
    return static_cast<float>(numerator / denominator);
}

double asSigned(std::uint32_t bits) {
    return static_cast<double>(static_cast<std::int32_t>(bits));
}

} // namespace

GainMapXmp readGainMapXmp(const std::string& packet) {
    GainMapXmp xmp;
    Exiv2::XmpData data;
    if (!decodePacket(packet, data)) {
        return xmp;
    }
    xmp.hasVersion = data.findKey(Exiv2::XmpKey("Xmp.hdrgm.Version")) != data.end();
    // Items are Directory[1], [2], ... in order; the first is the primary image.
    for (int index = 2; index < 64; ++index) {
        const std::string item = fmt::sprintf("Xmp.Container.Directory[%d]/Container:Item/", index);
        const auto semantic = data.findKey(Exiv2::XmpKey(item + "Item:Semantic"));
        if (semantic == data.end()) {
            break;
        }
        GainMapXmp::Item entry;
        entry.semantic = semantic->toString();
        const auto length = data.findKey(Exiv2::XmpKey(item + "Item:Length"));
        double value = -1.0;
        if (length != data.end() && parseNumber(length->toString(), value) && value >= 0 &&
            value < 1e15 && value == std::floor(value)) {
            entry.length = static_cast<long long>(value);
        } else {
            entry.length = -1;
        }
        xmp.items.push_back(entry);
    }
    return xmp;
}

GainMapMetadata parseHdrgmMetadata(const std::string& packet) {
    Exiv2::XmpData data;
    if (!decodePacket(packet, data)) {
        throw std::runtime_error("its XMP cannot be parsed");
    }
    const auto version = data.findKey(Exiv2::XmpKey("Xmp.hdrgm.Version"));
    if (version == data.end()) {
        throw std::runtime_error("its XMP has no hdrgm:Version");
    }
    if (data.findKey(Exiv2::XmpKey("Xmp.hdrgm.GainMapMax")) == data.end() ||
        data.findKey(Exiv2::XmpKey("Xmp.hdrgm.HDRCapacityMax")) == data.end()) {
        throw std::runtime_error("its XMP has no hdrgm:GainMapMax or hdrgm:HDRCapacityMax");
    }
    GainMapMetadata m;
    m.gainMin = channelValues(data, "GainMapMin", 0.0f);
    m.gainMax = channelValues(data, "GainMapMax", 1.0f);
    m.gamma = channelValues(data, "Gamma", 1.0f);
    const std::array<float, 3> offsetSdr = channelValues(data, "OffsetSDR", 1.0f / 64);
    const std::array<float, 3> offsetHdr = channelValues(data, "OffsetHDR", 1.0f / 64);
    const float capacityMin = channelValues(data, "HDRCapacityMin", 0.0f)[0];
    const float capacityMax = channelValues(data, "HDRCapacityMax", 1.0f)[0];
    const auto baseIsHdr = data.findKey(Exiv2::XmpKey("Xmp.hdrgm.BaseRenditionIsHDR"));
    if (baseIsHdr != data.end()) {
        const std::string text = baseIsHdr->toString();
        if (text != "True" && text != "False") {
            throw std::runtime_error(fmt::sprintf("hdrgm:BaseRenditionIsHDR is '%s'", text));
        }
        m.baseIsHdr = text == "True";
    }
    // The map holds log2(HDR / SDR) either way: from an HDR base it is applied negated.
    if (m.baseIsHdr) {
        for (int c = 0; c < 3; ++c) {
            m.gainMin[c] = -m.gainMin[c];
            m.gainMax[c] = -m.gainMax[c];
        }
        m.baseOffset = offsetHdr;
        m.alternateOffset = offsetSdr;
        m.baseHeadroom = capacityMax;
        m.alternateHeadroom = capacityMin;
    } else {
        m.baseOffset = offsetSdr;
        m.alternateOffset = offsetHdr;
        m.baseHeadroom = capacityMin;
        m.alternateHeadroom = capacityMax;
    }
    checkMetadata(m);
    return m;
}

GainMapMetadata parseIsoMetadata(const unsigned char* data, std::size_t size) {
    IsoStream in(data, size);
    const unsigned minimumVersion = in.u16();
    in.u16(); // the writer's version
    if (minimumVersion != 0) {
        throw std::runtime_error(
            fmt::sprintf("the ISO 21496-1 metadata needs version %d", minimumVersion));
    }
    if (in.left() == 0) {
        throw std::runtime_error("its ISO 21496-1 segment holds no metadata");
    }
    const unsigned flags = in.u8();
    const bool threeChannels = (flags & 0x80) != 0;
    const bool backward = (flags & 0x04) != 0;
    const bool commonDenominator = (flags & 0x08) != 0;
    GainMapMetadata m;
    m.baseIsHdr = backward;
    const int channels = threeChannels ? 3 : 1;
    if (commonDenominator) {
        const std::uint32_t d = in.u32();
        m.baseHeadroom = fraction(in.u32(), d, "base headroom");
        m.alternateHeadroom = fraction(in.u32(), d, "alternate headroom");
        for (int c = 0; c < channels; ++c) {
            m.gainMin[c] = fraction(asSigned(in.u32()), d, "gain map minimum");
            m.gainMax[c] = fraction(asSigned(in.u32()), d, "gain map maximum");
            m.gamma[c] = fraction(in.u32(), d, "gamma");
            m.baseOffset[c] = fraction(asSigned(in.u32()), d, "base offset");
            m.alternateOffset[c] = fraction(asSigned(in.u32()), d, "alternate offset");
        }
    } else {
        const double baseN = in.u32();
        m.baseHeadroom = fraction(baseN, in.u32(), "base headroom");
        const double alternateN = in.u32();
        m.alternateHeadroom = fraction(alternateN, in.u32(), "alternate headroom");
        for (int c = 0; c < channels; ++c) {
            const double minN = asSigned(in.u32());
            m.gainMin[c] = fraction(minN, in.u32(), "gain map minimum");
            const double maxN = asSigned(in.u32());
            m.gainMax[c] = fraction(maxN, in.u32(), "gain map maximum");
            const double gammaN = in.u32();
            m.gamma[c] = fraction(gammaN, in.u32(), "gamma");
            const double baseOffsetN = asSigned(in.u32());
            m.baseOffset[c] = fraction(baseOffsetN, in.u32(), "base offset");
            const double alternateOffsetN = asSigned(in.u32());
            m.alternateOffset[c] = fraction(alternateOffsetN, in.u32(), "alternate offset");
        }
    }
    for (int c = channels; c < 3; ++c) {
        m.gainMin[c] = m.gainMin[0];
        m.gainMax[c] = m.gainMax[0];
        m.gamma[c] = m.gamma[0];
        m.baseOffset[c] = m.baseOffset[0];
        m.alternateOffset[c] = m.alternateOffset[0];
    }
    checkMetadata(m);
    return m;
}
