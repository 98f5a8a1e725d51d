#include "CodecReaders.h"

#include "CFile.h"
#include "ColourEncoding.h"
#include "Diagnostics.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace jxl_reader {

namespace {

using Decoder = std::unique_ptr<JxlDecoder, decltype(&JxlDecoderDestroy)>;
using Runner = std::unique_ptr<void, decltype(&JxlThreadParallelRunnerDestroy)>;

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(fmt::sprintf("Failed to read file '%s': %s", path, what));
}

// The file's bytes for the decoder: all at once for a read, in growing steps for a probe, which
// needs only the headers. Never more bytes are held than the file has.
class JxlInput {
public:
    JxlInput(const std::string& path, std::size_t step)
        : path(path), file(openFile(path, "rb")), step(step) {
        struct stat status {};
        if (fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
            fail(path, "not a regular file");
        }
        left = static_cast<std::size_t>(status.st_size);
    }

    // Hands the decoder the bytes it has not used and the next step; false at the end.
    bool more(JxlDecoder* decoder) {
        if (left == 0) {
            return false;
        }
        const std::size_t unused = bytes.empty() ? 0 : JxlDecoderReleaseInput(decoder);
        if (unused > bytes.size()) {
            fail(path, "JPEG XL decoder error at its input");
        }
        bytes.erase(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(unused));
        const std::size_t count = std::min(left, step);
        const std::size_t kept = bytes.size();
        bytes.resize(kept + count);
        if (std::fread(bytes.data() + kept, 1, count, file.get()) != count) {
            fail(path, std::ferror(file.get()) != 0 ? std::strerror(errno) : "file shrank");
        }
        left -= count;
        if (JxlSignatureCheck(bytes.data(), bytes.size()) == JXL_SIG_INVALID) {
            fail(path, "not a JPEG XL file");
        }
        if (JxlDecoderSetInput(decoder, bytes.data(), bytes.size()) != JXL_DEC_SUCCESS) {
            fail(path, "JPEG XL decoder error at its input");
        }
        if (left == 0) {
            JxlDecoderCloseInput(decoder);
        }
        return true;
    }

private:
    const std::string& path;
    File file;
    std::size_t step;
    std::size_t left = 0;
    std::vector<std::uint8_t> bytes;
};

// What the decoder's pixels are in, and how we take them.
struct Layout {
    colour::Encoding encoding;
    PixelEncoding pixels = PixelEncoding::Rgb8;
    JxlDataType type = JXL_TYPE_UINT8;
    int bits = 8;
    int channels = 3;
};

// Our name of an encoded profile, where it is one the converter knows exactly.
std::optional<colour::Encoding> knownEncoding(const JxlColorEncoding& profile) {
    if (profile.color_space != JXL_COLOR_SPACE_RGB && profile.color_space != JXL_COLOR_SPACE_GRAY) {
        return std::nullopt;
    }
    colour::Encoding encoding;
    if (profile.color_space == JXL_COLOR_SPACE_RGB) {
        if (profile.white_point != JXL_WHITE_POINT_D65) {
            return std::nullopt;
        }
        switch (profile.primaries) {
        case JXL_PRIMARIES_SRGB:
        case JXL_PRIMARIES_2100:
        case JXL_PRIMARIES_P3:
            // The enum's values are CICP's.
            encoding.primaries = colour::primariesFromCicp(profile.primaries);
            break;
        default:
            return std::nullopt;
        }
    }
    switch (profile.transfer_function) {
    case JXL_TRANSFER_FUNCTION_709:
    case JXL_TRANSFER_FUNCTION_LINEAR:
    case JXL_TRANSFER_FUNCTION_SRGB:
    case JXL_TRANSFER_FUNCTION_PQ:
    case JXL_TRANSFER_FUNCTION_HLG:
        encoding.transfer = colour::transferFromCicp(profile.transfer_function);
        return encoding;
    case JXL_TRANSFER_FUNCTION_GAMMA:
        // The field is the encoding exponent, 1 / the display's gamma.
        if (std::abs(profile.gamma - 1.0) < 1e-3) {
            encoding.transfer = colour::Transfer::Linear;
        } else if (std::abs(profile.gamma * 2.2 - 1.0) < 1e-3) {
            encoding.transfer = colour::Transfer::Gamma22;
        } else if (std::abs(profile.gamma * 2.8 - 1.0) < 1e-3) {
            encoding.transfer = colour::Transfer::Gamma28;
        } else {
            return std::nullopt;
        }
        return encoding;
    default:
        return std::nullopt;
    }
}

JxlColorEncoding srgbProfile(bool grey, JxlTransferFunction transfer) {
    JxlColorEncoding profile{};
    profile.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    profile.white_point = JXL_WHITE_POINT_D65;
    profile.primaries = JXL_PRIMARIES_SRGB;
    profile.transfer_function = transfer;
    profile.rendering_intent = JXL_RENDERING_INTENT_RELATIVE;
    return profile;
}

// Settles the colour encoding of the decoded pixels at the colour event. XYB pictures are turned
// into their original encoding where we know it, otherwise into sRGB; the others come in their
// own, which without a CMS we take as sRGB where we cannot name it. Floats come linear, whose
// values above 1 no curve clips.
colour::Encoding settleEncoding(JxlDecoder* decoder, const JxlBasicInfo& info,
                                const std::string& path) {
    const bool grey = info.num_color_channels == 1;
    const bool floats = info.exponent_bits_per_sample > 0;
    JxlColorEncoding original{};
    const bool encoded = JxlDecoderGetColorAsEncodedProfile(
                             decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &original) ==
                         JXL_DEC_SUCCESS;
    const bool known = encoded && knownEncoding(original);
    if (!known) {
        diagnostic(fmt::sprintf("JPEG XL file '%s': colours of %s read as sRGB", path,
                                encoded ? "an unlisted encoding" : "an ICC profile"));
    }
    if (!info.uses_original_profile) {
        JxlColorEncoding preferred =
            known ? original
                  : srgbProfile(grey, floats ? JXL_TRANSFER_FUNCTION_LINEAR
                                             : JXL_TRANSFER_FUNCTION_SRGB);
        if (floats) {
            preferred.transfer_function = JXL_TRANSFER_FUNCTION_LINEAR;
        }
        if (JxlDecoderSetPreferredColorProfile(decoder, &preferred) != JXL_DEC_SUCCESS) {
            fail(path, "JPEG XL decoder error at the colour encoding");
        }
    }
    JxlColorEncoding data{};
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                           &data) == JXL_DEC_SUCCESS) {
        if (const std::optional<colour::Encoding> named = knownEncoding(data)) {
            return *named;
        }
    }
    return colour::Encoding();
}

Layout layoutOf(const JxlBasicInfo& info, colour::Encoding encoding) {
    Layout layout;
    layout.encoding = encoding;
    layout.channels = info.num_color_channels == 1 ? 1 : 3;
    const bool floats = info.exponent_bits_per_sample > 0;
    const bool hdr = floats || colour::isHdr(encoding.transfer);
    layout.pixels = hdr ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
    if (floats) {
        layout.type = JXL_TYPE_FLOAT;
    } else if (info.bits_per_sample > 8) {
        // libjxl scales its integer output to the type's whole range.
        layout.type = JXL_TYPE_UINT16;
        layout.bits = 16;
    }
    return layout;
}

// The size libjxl shows the picture at, orientation applied.
void orientedSize(const JxlBasicInfo& info, long& width, long& height) {
    const bool transposed = info.orientation >= JXL_ORIENT_TRANSPOSE;
    width = transposed ? info.ysize : info.xsize;
    height = transposed ? info.xsize : info.ysize;
}

// The sRGB curve continued beyond [0, 1], odd, as float pictures in it use it (cjxl gives every
// PFM this transfer): their values above 1 are light above white, not clipped.
void extendedSrgbToLinear(float* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const float s = std::abs(values[i]);
        const float l = s <= 0.04045f ? s / 12.92f : std::pow((s + 0.055f) / 1.055f, 2.4f);
        values[i] = std::copysign(l, values[i]);
    }
}

// Converts the decoder's scanline pieces straight into the picture's pixels, on the decoder's
// threads: no second buffer of the whole picture, no second pass over it.
class PixelWriter {
public:
    PixelWriter(Layout layout, Picture& picture)
        : extended(layout.type == JXL_TYPE_FLOAT &&
                   layout.encoding.transfer == colour::Transfer::Srgb),
          converter(extended ? colour::Encoding{layout.encoding.primaries, colour::Transfer::Linear}
                             : layout.encoding,
                    layout.bits),
          layout(layout), picture(picture) {}

    JxlDecoderStatus attach(JxlDecoder* decoder) {
        const JxlPixelFormat format{static_cast<std::uint32_t>(layout.channels), layout.type,
                                    JXL_NATIVE_ENDIAN, 0};
        return JxlDecoderSetMultithreadedImageOutCallback(decoder, &format, &PixelWriter::init,
                                                          &PixelWriter::run, &PixelWriter::done,
                                                          this);
    }

    // Whether a piece came outside the picture, which no pixel is written for.
    bool strayed() const { return stray.load(); }

private:
    static void* init(void* opaque, std::size_t threads, std::size_t pixelsPerThread) {
        auto* writer = static_cast<PixelWriter*>(opaque);
        if (writer->extended) {
            try {
                writer->scratch.assign(threads,
                                       std::vector<float>(pixelsPerThread * writer->layout.channels));
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        return writer;
    }

    // libjxl 0.7 takes no null callback here.
    static void done(void*) {}

    static void run(void* opaque, std::size_t thread, std::size_t x, std::size_t y,
                    std::size_t count, const void* pixels) {
        auto* writer = static_cast<PixelWriter*>(opaque);
        writer->write(thread, x, y, count, pixels);
    }

    void write(std::size_t thread, std::size_t x, std::size_t y, std::size_t count,
               const void* pixels) {
        const auto width = static_cast<std::size_t>(picture.width);
        if (y >= static_cast<std::size_t>(picture.height) || x > width || count > width - x) {
            stray = true;
            return;
        }
        const long n = static_cast<long>(count);
        unsigned char* to = picture.pixels.get() +
                            (y * width + x) * bytesPerPixel(layout.pixels);
        const int channels = layout.channels;
        if (layout.type == JXL_TYPE_FLOAT) {
            const auto* values = static_cast<const float*>(pixels);
            if (extended) {
                if (thread >= scratch.size() || scratch[thread].size() < count * channels) {
                    stray = true;
                    return;
                }
                float* copy = scratch[thread].data();
                std::memcpy(copy, values, count * channels * sizeof(float));
                extendedSrgbToLinear(copy, count * channels);
                values = copy;
            }
            converter.toRgbe(values, channels, n, to);
        } else if (layout.type == JXL_TYPE_UINT16) {
            const auto* codes = static_cast<const std::uint16_t*>(pixels);
            if (layout.pixels == PixelEncoding::Rgbe) {
                converter.toRgbe(codes, channels, n, to);
            } else {
                converter.toRgb8(codes, channels, n, to);
            }
        } else {
            const auto* codes = static_cast<const std::uint8_t*>(pixels);
            if (layout.pixels == PixelEncoding::Rgbe) {
                converter.toRgbe(codes, channels, n, to);
            } else {
                converter.toRgb8(codes, channels, n, to);
            }
        }
    }

    bool extended;
    colour::SignalConverter converter;
    Layout layout;
    Picture& picture;
    std::vector<std::vector<float>> scratch;
    std::atomic<bool> stray{false};
};

// Decodes up to the colour encoding (probe) or the first whole frame (read, into `picture`).
// The size is checked at the basic info, before libjxl allocates for a frame.
PictureInfo decode(const std::string& path, const SizeLimit& limit, Picture* picture) {
    JxlInput input(path, picture != nullptr ? SIZE_MAX : std::size_t(1) << 16);
    Decoder decoder(JxlDecoderCreate(nullptr), &JxlDecoderDestroy);
    if (!decoder) {
        throw std::bad_alloc();
    }
    Runner runner(nullptr, &JxlThreadParallelRunnerDestroy);
    int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING;
    if (picture != nullptr) {
        events |= JXL_DEC_FULL_IMAGE;
        runner.reset(JxlThreadParallelRunnerCreate(nullptr,
                                                   JxlThreadParallelRunnerDefaultNumWorkerThreads()));
        if (!runner || JxlDecoderSetParallelRunner(decoder.get(), JxlThreadParallelRunner,
                                                   runner.get()) != JXL_DEC_SUCCESS) {
            fail(path, "JPEG XL decoder error at its threads");
        }
    }
    if (JxlDecoderSubscribeEvents(decoder.get(), events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(decoder.get(), JXL_FALSE) != JXL_DEC_SUCCESS) {
        fail(path, "JPEG XL decoder error at its settings");
    }
    if (!input.more(decoder.get())) {
        fail(path, "empty file");
    }

    const char* stage = "basic info";
    JxlBasicInfo info{};
    PictureInfo header;
    Layout layout;
    std::unique_ptr<PixelWriter> writer;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        switch (status) {
        case JXL_DEC_ERROR:
            fail(path, fmt::sprintf("JPEG XL decoder error at %s", stage));
        case JXL_DEC_NEED_MORE_INPUT:
            if (!input.more(decoder.get())) {
                fail(path, fmt::sprintf("file truncated at %s", stage));
            }
            break;
        case JXL_DEC_BASIC_INFO: {
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) {
                fail(path, "JPEG XL decoder error at basic info");
            }
            long width = 0;
            long height = 0;
            orientedSize(info, width, height);
            header.width = static_cast<int>(std::min<long>(width, INT32_MAX));
            header.height = static_cast<int>(std::min<long>(height, INT32_MAX));
            header.encoding =
                info.exponent_bits_per_sample > 0 ? PixelEncoding::Rgbe : PixelEncoding::Rgb8;
            checkPictureSize(limit, width, height, header.encoding, path);
            stage = "the colour encoding";
            break;
        }
        case JXL_DEC_COLOR_ENCODING: {
            layout = layoutOf(info, settleEncoding(decoder.get(), info, path));
            if (layout.pixels != header.encoding) {
                header.encoding = layout.pixels;
                checkPictureSize(limit, header.width, header.height, header.encoding, path);
            }
            if (picture == nullptr) {
                return header;
            }
            stage = "the pixels";
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            if (writer) {
                // Only the first frame is shown; a second would be written over it.
                fail(path, "JPEG XL decoder error at the pixels");
            }
            picture->allocate(header.width, header.height, layout.pixels);
            writer = std::make_unique<PixelWriter>(layout, *picture);
            if (writer->attach(decoder.get()) != JXL_DEC_SUCCESS) {
                fail(path, "JPEG XL decoder error at the pixels' output");
            }
            break;
        case JXL_DEC_FULL_IMAGE:
            if (!writer || writer->strayed()) {
                fail(path, "JPEG XL decoder error at the pixels");
            }
            // Later frames of an animation are not shown.
            picture->fileName = path;
            if (colour::absoluteWhite(layout.encoding.transfer) > 0.0) {
                picture->candelaPerUnit = colour::absoluteWhite(layout.encoding.transfer);
            }
            return header;
        case JXL_DEC_SUCCESS:
            fail(path, fmt::sprintf("file ends before %s", stage));
        default:
            fail(path, fmt::sprintf("JPEG XL decoder error at %s", stage));
        }
    }
}

} // namespace

Picture read(const std::string& path, const SizeLimit& limit) {
    Picture picture;
    decode(path, limit, &picture);
    return picture;
}

PictureInfo probe(const std::string& path, const SizeLimit& limit) {
    return decode(path, limit, nullptr);
}

} // namespace jxl_reader

BOOST_DLL_ALIAS(jxl_reader::read, marovexJxlRead)
BOOST_DLL_ALIAS(jxl_reader::probe, marovexJxlProbe)
