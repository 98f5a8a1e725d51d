#include "GainMapJpegWriter.h"

#include "ColourEncoding.h"
#include "JpegCodec.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace {

using Bytes = std::vector<unsigned char>;

void putU16(Bytes& out, unsigned value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

void putU32(Bytes& out, std::uint32_t value) {
    putU16(out, value >> 16);
    putU16(out, value & 0xffff);
}

void setU32(Bytes& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<unsigned char>(value >> 24);
    out[at + 1] = static_cast<unsigned char>(value >> 16);
    out[at + 2] = static_cast<unsigned char>(value >> 8);
    out[at + 3] = static_cast<unsigned char>(value);
}

void putSegment(Bytes& out, unsigned char marker, const Bytes& payload) {
    if (payload.size() + 2 > 0xffff) {
        throw std::runtime_error("segment too long");
    }
    out.push_back(0xff);
    out.push_back(marker);
    putU16(out, static_cast<unsigned>(payload.size() + 2));
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes withSignature(const char* signature, std::size_t bytes, const std::string& text) {
    const std::string payload = std::string(signature, bytes) + text;
    return Bytes(payload.begin(), payload.end());
}

// libjpeg's file of `channels` 8-bit channels, without a JFIF segment, 4:4:4.
Bytes encodeJpeg(const Bytes& pixels, int width, int height, int channels, int quality) {
    JpegEncoder encoder;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> owned(nullptr, &std::free);
    jpegCall(encoder, [&] {
        jpeg_create_compress(&encoder.info);
        jpeg_mem_dest(&encoder.info, &buffer, &size);
        encoder.info.image_width = static_cast<JDIMENSION>(width);
        encoder.info.image_height = static_cast<JDIMENSION>(height);
        encoder.info.input_components = channels;
        encoder.info.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&encoder.info);
        jpeg_set_quality(&encoder.info, quality, TRUE);
        // At full quality the colours are stored as RGB, nearly lossless: YCbCr's own rounding
        // alone moves them by a few codes.
        if (quality == 100 && channels == 3) {
            jpeg_set_colorspace(&encoder.info, JCS_RGB);
        }
        encoder.info.write_JFIF_header = FALSE;
        for (int c = 0; c < encoder.info.num_components; ++c) {
            encoder.info.comp_info[c].h_samp_factor = 1;
            encoder.info.comp_info[c].v_samp_factor = 1;
        }
        jpeg_start_compress(&encoder.info, TRUE);
        while (encoder.info.next_scanline < encoder.info.image_height) {
            JSAMPROW row = const_cast<unsigned char*>(pixels.data()) +
                           static_cast<std::size_t>(encoder.info.next_scanline) * width * channels;
            jpeg_write_scanlines(&encoder.info, &row, 1);
        }
        jpeg_finish_compress(&encoder.info);
    });
    owned.reset(buffer);
    return Bytes(buffer, buffer + size);
}

std::string number(double value) {
    return fmt::format("{:.6f}", value);
}

// An hdrgm: value as an attribute, or as an element of three (for three-channel maps).
std::string hdrgmValue(const char* name, double value, bool perChannel) {
    if (!perChannel) {
        return fmt::format(" hdrgm:{}=\"{}\"", name, number(value));
    }
    const std::string v = number(value);
    return fmt::format("<hdrgm:{0}><rdf:Seq><rdf:li>{1}</rdf:li><rdf:li>{1}</rdf:li>"
                       "<rdf:li>{1}</rdf:li></rdf:Seq></hdrgm:{0}>",
                       name, v);
}

const char* const xmpHead =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
    "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
    "xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"";
const char* const xmpTail = "</rdf:Description></rdf:RDF></x:xmpmeta>";

std::string mapXmp(const GainMapJpegOptions& o) {
    const bool seq = o.threeChannels;
    const double lmin = std::log2(o.minBoost);
    const double lmax = std::log2(o.maxBoost);
    std::string attributes = " hdrgm:Version=\"1.0\"" + hdrgmValue("GainMapMin", lmin, false) +
                             hdrgmValue("Gamma", o.gamma, false) +
                             hdrgmValue("OffsetSDR", o.offsetSdr, false) +
                             hdrgmValue("OffsetHDR", o.offsetHdr, false) +
                             hdrgmValue("HDRCapacityMin", std::max(0.0, lmin), false) +
                             hdrgmValue("HDRCapacityMax", lmax, false) +
                             " hdrgm:BaseRenditionIsHDR=\"False\"";
    std::string elements;
    if (seq) {
        elements = hdrgmValue("GainMapMax", lmax, true);
    } else {
        attributes += hdrgmValue("GainMapMax", lmax, false);
    }
    return std::string(xmpHead) + attributes + ">" + elements + xmpTail;
}

std::string primaryXmp(std::size_t mapLength) {
    return std::string(xmpHead) +
           " xmlns:Container=\"http://ns.google.com/photos/1.0/container/\""
           " xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\""
           " hdrgm:Version=\"1.0\"><Container:Directory><rdf:Seq>"
           "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Primary\""
           " Item:Mime=\"image/jpeg\"/></rdf:li>"
           "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"GainMap\""
           " Item:Mime=\"image/jpeg\" Item:Length=\"" +
           std::to_string(mapLength) + "\"/></rdf:li></rdf:Seq></Container:Directory>" + xmpTail;
}

const char isoSignature[] = "urn:iso:std:iso:ts:21496:-1";

// ISO 21496-1's binary metadata: one common denominator for one channel, a denominator each
// for three, so that both forms are written.
Bytes isoMetadata(const GainMapJpegOptions& o) {
    Bytes out(isoSignature, isoSignature + sizeof isoSignature);
    putU16(out, 0);
    putU16(out, 0);
    const bool common = !o.threeChannels;
    out.push_back(static_cast<unsigned char>((o.threeChannels ? 0x80 : 0) | 0x40 | (common ? 0x08 : 0)));
    constexpr std::uint32_t d = 1000000;
    const auto n = [](double v) {
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * d)));
    };
    const double lmin = std::log2(o.minBoost);
    const double lmax = std::log2(o.maxBoost);
    const double channel[5] = {lmin, lmax, o.gamma, o.offsetSdr, o.offsetHdr};
    if (common) {
        putU32(out, d);
        putU32(out, n(std::max(0.0, lmin)));
        putU32(out, n(lmax));
        for (double v : channel) {
            putU32(out, n(v));
        }
        return out;
    }
    for (double v : {std::max(0.0, lmin), lmax}) {
        putU32(out, n(v));
        putU32(out, d);
    }
    for (int c = 0; c < 3; ++c) {
        for (double v : channel) {
            putU32(out, n(v));
            putU32(out, d);
        }
    }
    return out;
}

Bytes isoVersionOnly() {
    Bytes out(isoSignature, isoSignature + sizeof isoSignature);
    putU32(out, 0);
    return out;
}

Bytes exifOrientation(int orientation) {
    Bytes out{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42};
    putU32(out, 8);
    putU16(out, 1);
    putU16(out, 0x0112);
    putU16(out, 3);
    putU32(out, 1);
    putU16(out, static_cast<unsigned>(orientation));
    putU16(out, 0);
    putU32(out, 0);
    return out;
}

// "ICC_PROFILE", chunk 1 of 1, then a profile of a header, one tag and its 'desc' text.
Bytes displayP3Profile() {
    Bytes out{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
    const std::string text = "Display P3";
    Bytes profile(128, 0);
    putU32(profile, 1);
    profile.insert(profile.end(), {'d', 'e', 's', 'c'});
    putU32(profile, 144);
    putU32(profile, static_cast<std::uint32_t>(12 + text.size() + 1));
    profile.insert(profile.end(), {'d', 'e', 's', 'c', 0, 0, 0, 0});
    putU32(profile, static_cast<std::uint32_t>(text.size() + 1));
    profile.insert(profile.end(), text.begin(), text.end());
    profile.push_back(0);
    setU32(profile, 0, static_cast<std::uint32_t>(profile.size()));
    out.insert(out.end(), profile.begin(), profile.end());
    return out;
}

// The first marker of `kind` (0xc0: any SOF) in libjpeg's output, walking its segments.
std::size_t findMarker(const Bytes& jpeg, unsigned char kind) {
    for (std::size_t i = 2; i + 3 < jpeg.size();) {
        const unsigned char marker = jpeg[i + 1];
        if (marker == kind || (kind == 0xc0 && marker >= 0xc0 && marker <= 0xc2)) {
            return i;
        }
        i += 2 + (static_cast<std::size_t>(jpeg[i + 2]) << 8 | jpeg[i + 3]);
    }
    throw std::runtime_error("marker missing in libjpeg's output");
}

} // namespace

GainMapJpegParts writeGainMapJpeg(const std::string& path, const std::vector<float>& hdr,
                                  int width, int height, const GainMapJpegOptions& o) {
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    if (hdr.size() != pixels * 3 || o.mapScale < 1) {
        throw std::runtime_error("writeGainMapJpeg: bad arguments");
    }
    Bytes sdrCodes(pixels * 3);
    std::vector<float> sdr(pixels * 3);
    for (std::size_t i = 0; i < pixels * 3; ++i) {
        const double clipped = std::clamp(static_cast<double>(hdr[i]), 0.0, 1.0);
        sdrCodes[i] = static_cast<unsigned char>(std::lround(colour::toSrgb(clipped) * 255.0));
        sdr[i] = static_cast<float>(colour::toLinear(colour::Transfer::Srgb, sdrCodes[i] / 255.0));
    }
    const int mapWidth = (width + o.mapScale - 1) / o.mapScale;
    const int mapHeight = (height + o.mapScale - 1) / o.mapScale;
    const int channels = o.threeChannels ? 3 : 1;
    Bytes mapCodes(static_cast<std::size_t>(mapWidth) * mapHeight * channels);
    const double lmin = std::log2(o.minBoost);
    const double lmax = std::log2(o.maxBoost);
    const std::array<float, 3> weights = colour::luminanceWeights(colour::Primaries::Bt709);
    for (int my = 0; my < mapHeight; ++my) {
        for (int mx = 0; mx < mapWidth; ++mx) {
            // The block's mean of both renditions.
            double h[3] = {}, s[3] = {};
            int count = 0;
            for (int y = my * o.mapScale; y < std::min(height, (my + 1) * o.mapScale); ++y) {
                for (int x = mx * o.mapScale; x < std::min(width, (mx + 1) * o.mapScale); ++x) {
                    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
                    for (int c = 0; c < 3; ++c) {
                        h[c] += std::max(0.0f, hdr[at + c]);
                        s[c] += sdr[at + c];
                    }
                    ++count;
                }
            }
            for (int c = 0; c < channels; ++c) {
                double hv = h[c] / count, sv = s[c] / count;
                if (channels == 1) {
                    hv = (weights[0] * h[0] + weights[1] * h[1] + weights[2] * h[2]) / count;
                    sv = (weights[0] * s[0] + weights[1] * s[1] + weights[2] * s[2]) / count;
                }
                const double gain = std::log2((hv + o.offsetHdr) / (sv + o.offsetSdr));
                const double normal = std::clamp((gain - lmin) / (lmax - lmin), 0.0, 1.0);
                mapCodes[(static_cast<std::size_t>(my) * mapWidth + mx) * channels + c] =
                    static_cast<unsigned char>(std::lround(std::pow(normal, o.gamma) * 255.0));
            }
        }
    }
    GainMapJpegParts parts;
    parts.plainBase = encodeJpeg(sdrCodes, width, height, 3, o.quality);
    const Bytes mapJpeg = encodeJpeg(mapCodes, mapWidth, mapHeight, channels, o.quality);
    const bool xmp = o.layout != GainMapLayout::Iso;
    const bool iso = o.layout != GainMapLayout::Xmp;
    static const char xmpSignature[] = "http://ns.adobe.com/xap/1.0/";

    Bytes map{0xff, 0xd8};
    if (xmp) {
        parts.mapXmp = map.size() + 4 + sizeof xmpSignature;
        putSegment(map, 0xe1, withSignature(xmpSignature, sizeof xmpSignature, mapXmp(o)));
    }
    if (iso) {
        parts.mapIso = map.size() + 4 + sizeof isoSignature;
        putSegment(map, 0xe2, isoMetadata(o));
    }
    const std::size_t mapHeader = map.size();
    map.insert(map.end(), mapJpeg.begin() + 2, mapJpeg.end());

    Bytes file{0xff, 0xd8};
    if (o.orientation != 1) {
        putSegment(file, 0xe1, exifOrientation(o.orientation));
    }
    if (xmp) {
        putSegment(file, 0xe1, withSignature(xmpSignature, sizeof xmpSignature, primaryXmp(map.size())));
    }
    if (o.displayP3) {
        putSegment(file, 0xe2, displayP3Profile());
    }
    if (iso) {
        putSegment(file, 0xe2, isoVersionOnly());
    }
    std::size_t primarySizeField = 0;
    if (o.mpf) {
        Bytes mpf{'M', 'P', 'F', 0, 'M', 'M', 0, 42};
        putU32(mpf, 8);
        putU16(mpf, 3);
        putU16(mpf, 0xb000);
        putU16(mpf, 7);
        putU32(mpf, 4);
        mpf.insert(mpf.end(), {'0', '1', '0', '0'});
        putU16(mpf, 0xb001);
        putU16(mpf, 4);
        putU32(mpf, 1);
        putU32(mpf, 2);
        putU16(mpf, 0xb002);
        putU16(mpf, 7);
        putU32(mpf, 32);
        putU32(mpf, 8 + 2 + 3 * 12 + 4);
        putU32(mpf, 0);
        // The primary image's entry, then the map's.
        putU32(mpf, 0x030000);
        const std::size_t sizeField = mpf.size();
        putU32(mpf, 0);
        putU32(mpf, 0);
        putU32(mpf, 0);
        putU32(mpf, 0);
        putU32(mpf, static_cast<std::uint32_t>(map.size()));
        const std::size_t offsetField = mpf.size();
        putU32(mpf, 0);
        putU32(mpf, 0);
        parts.mpfTiffStart = file.size() + 4 + 4;
        primarySizeField = file.size() + 4 + sizeField;
        parts.mpfMapOffsetField = file.size() + 4 + offsetField;
        putSegment(file, 0xe2, mpf);
    }
    file.insert(file.end(), parts.plainBase.begin() + 2, parts.plainBase.end());
    parts.primaryLength = file.size();
    parts.mapOffset = file.size();
    parts.mapLength = map.size();
    parts.mapFrame = parts.mapOffset + mapHeader + findMarker(mapJpeg, 0xc0) - 2;
    parts.mapScan = parts.mapOffset + mapHeader + findMarker(mapJpeg, 0xda) - 2;
    if (parts.mapXmp != 0) {
        parts.mapXmp += parts.mapOffset;
    }
    if (parts.mapIso != 0) {
        parts.mapIso += parts.mapOffset;
    }
    if (o.mpf) {
        setU32(file, primarySizeField, static_cast<std::uint32_t>(parts.primaryLength));
        setU32(file, parts.mpfMapOffsetField,
               static_cast<std::uint32_t>(parts.mapOffset - parts.mpfTiffStart));
    }
    file.insert(file.end(), map.begin(), map.end());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!out.flush()) {
        throw std::runtime_error("Failed to write file '" + path + "'");
    }
    return parts;
}
