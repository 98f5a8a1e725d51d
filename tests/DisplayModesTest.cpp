// The viewer program's tone operators, false colour and clipping flags against their CPU
// twins, the exposure meter on panoramas made here, and marovex-render drawing the same.
#include "ChildProcess.h"
#include "DisplayColour.h"
#include "DrawView.h"
#include "ExposureMeter.h"
#include "Picture.h"
#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "ToneOperator.h"
#include "ViewMapping.h"
#include "rgbe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

const ToneOperator operators[] = {ToneOperator::Reinhard, ToneOperator::AcesFilmic,
                                  ToneOperator::AgX, ToneOperator::PbrNeutral};

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/display-modes-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

// An RGBE picture made of a radiance function, on the card with its mip pyramid, and its
// decoded values for the references.
struct HdrPicture {
    int width;
    int height;
    std::vector<std::uint8_t> quadruples;
    std::unique_ptr<Texture> texture;

    HdrPicture(int w, int h, const std::function<glm::dvec3(int, int)>& radiance)
        : width(w), height(h), quadruples(static_cast<std::size_t>(w) * h * 4) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const glm::dvec3 c = radiance(x, y);
                rgbe::encode(c.r, c.g, c.b, &quadruples[(static_cast<std::size_t>(y) * w + x) * 4]);
            }
        }
        Picture picture;
        picture.allocate(w, h, PixelEncoding::Rgbe);
        std::copy(quadruples.begin(), quadruples.end(), picture.pixels.get());
        picture.scale = {0.25, 0.25, 0.25};
        testing::internal::CaptureStderr();
        texture = std::make_unique<Texture>(std::move(picture));
        testing::internal::GetCapturedStderr();
    }

    glm::dvec3 at(int x, int y) const {
        x = ((x % width) + width) % width;
        y = std::clamp(y, 0, height - 1);
        glm::dvec3 c;
        rgbe::decode(&quadruples[(static_cast<std::size_t>(y) * width + x) * 4], c.r, c.g, c.b);
        return c;
    }
};

// A grey ramp from 2^-10 to 2^20 over its columns, one row each of grey, orange and blue.
glm::dvec3 ramp(int x, int y, int width) {
    const double value = std::exp2(-10.0 + 30.0 * x / (width - 1));
    const glm::dvec3 tints[3] = {glm::dvec3(1.0), glm::dvec3(1.0, 0.5, 0.25),
                                 glm::dvec3(0.2, 0.4, 1.0)};
    return value * tints[y % 3];
}

ViewState flatView(int width, int height) {
    ViewState v;
    v.projection = Projection::Flat;
    v.zoom = 1.0f;
    v.viewportWidth = width;
    v.viewportHeight = height;
    return v;
}

class DisplayModes : public testing::Test {
protected:
    static void SetUpTestSuite() { shader = std::make_unique<Shader>("viewer", ""); }
    static void TearDownTestSuite() { shader.reset(); }

    // The view drawn into a float target, rows from the top, RGBA.
    static std::vector<float> render(const Texture& picture, const ViewState& v) {
        Texture target(v.viewportWidth, v.viewportHeight, static_cast<const float*>(nullptr),
                       GL_RGBA32F_ARB, GL_RGBA);
        drawView(*shader, picture, v, target);
        std::vector<float> rgba =
            readBack<float>(target, 0, 0, v.viewportWidth, v.viewportHeight, 4);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        Shader::useNone();
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        return rgba;
    }

    // The same with 8-bit channels, as a window or marovex-render's .ppm holds it.
    static std::vector<std::uint8_t> render8(const Texture& picture, const ViewState& v) {
        Texture target(v.viewportWidth, v.viewportHeight, static_cast<const std::uint8_t*>(nullptr),
                       GL_RGBA8, GL_RGBA);
        drawView(*shader, picture, v, target);
        std::vector<std::uint8_t> rgb =
            readBack<std::uint8_t>(target, 0, 0, v.viewportWidth, v.viewportHeight, 3);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        Shader::useNone();
        return rgb;
    }

    // Each pixel of a flat, pixel-for-pixel view against the CPU colour stage.
    static void expectMatchesCpu(const HdrPicture& picture, const ViewState& v,
                                 const DisplaySettings& settings, const std::string& what) {
        const std::vector<float> frame = render(*picture.texture, v);
        int worst = 0;
        for (int y = 0; y < picture.height; ++y) {
            for (int x = 0; x < picture.width; ++x) {
                const glm::dvec3 expected = displayColour(picture.at(x, y), settings);
                const float* p = &frame[(static_cast<std::size_t>(y) * picture.width + x) * 4];
                for (int k = 0; k < 3; ++k) {
                    const double error = std::fabs(p[k] - expected[k]);
                    if (error > 1.0 / 255 && ++worst <= 5) {
                        ADD_FAILURE() << what << " at " << x << ", " << y << " channel " << k
                                      << ": " << p[k] << " against " << expected[k];
                    }
                }
            }
        }
    }

    static std::unique_ptr<Shader> shader;
};

std::unique_ptr<Shader> DisplayModes::shader;

TEST_F(DisplayModes, EachToneOperatorMatchesItsCpuTwinAndRisesAlongTheRamp) {
    const int width = 481;
    const HdrPicture picture(width, 3, [&](int x, int y) { return ramp(x, y, width); });
    for (const ToneOperator op : operators) {
        for (const float fstop : {-4.0f, 0.0f, 3.0f}) {
            ViewState v = flatView(width, 3);
            v.tonemap = true;
            v.toneOperator = op;
            v.fstop = fstop;
            DisplaySettings settings;
            settings.exposureOffset = exposureOffset(fstop, picture.texture->scaleMean);
            settings.tonemap = true;
            settings.toneOperator = op;
            expectMatchesCpu(picture, v, settings, toneOperatorName(op));

            // Along the grey row: the tinted ones hold RGBE's rounding of their weaker
            // channels, which a hue-keeping curve shows as it is.
            const std::vector<float> frame = render(*picture.texture, v);
            for (int x = 1; x < width; ++x) {
                const float* p = &frame[static_cast<std::size_t>(x) * 4];
                for (int k = 0; k < 3; ++k) {
                    // Rounding of the card's single precision aside.
                    ASSERT_GE(p[k], p[k - 4] - 1e-5f) << toneOperatorName(op) << " at " << x;
                }
            }
            // From near black to white along the grey row.
            if (fstop == 0.0f) {
                EXPECT_LT(frame[0], 0.05f) << toneOperatorName(op);
                EXPECT_GT(frame[(width - 1) * 4], 0.99f) << toneOperatorName(op);
            }
        }
    }
}

TEST_F(DisplayModes, FalseColourAndClippingFlagsMatchTheCpuScale) {
    const int width = 481;
    const HdrPicture picture(width, 3, [&](int x, int y) { return ramp(x, y, width); });
    for (const float fstop : {-6.0f, 0.0f, 5.0f}) {
        ViewState v = flatView(width, 3);
        v.fstop = fstop;
        v.display = DisplayMode::FalseColour;
        DisplaySettings settings;
        settings.exposureOffset = exposureOffset(fstop, picture.texture->scaleMean);
        settings.falseColour = true;
        expectMatchesCpu(picture, v, settings, "false colour");

        v.display = DisplayMode::Colour;
        v.showClipping = true;
        settings.falseColour = false;
        settings.showClipping = true;
        expectMatchesCpu(picture, v, settings, "clipping");
        // Six stops down, 2^-16 is under black and 2^14 over white.
        if (fstop < 0.0f) {
            const std::vector<float> frame = render(*picture.texture, v);
            EXPECT_EQ(frame[0], 0.0f);
            EXPECT_EQ(frame[2], 1.0f);
            const float* last = &frame[(width - 1) * 4];
            EXPECT_EQ(last[0], 1.0f);
            EXPECT_EQ(last[2], 0.0f);
        }
    }
    // Tone mapped, the flags follow the operator's white: AgX reaches it later than none.
    ViewState v = flatView(width, 3);
    v.showClipping = true;
    v.tonemap = true;
    v.toneOperator = ToneOperator::AgX;
    DisplaySettings settings;
    settings.exposureOffset = exposureOffset(0.0f, picture.texture->scaleMean);
    settings.showClipping = true;
    settings.tonemap = true;
    settings.toneOperator = ToneOperator::AgX;
    expectMatchesCpu(picture, v, settings, "clipping after AgX");
}

TEST_F(DisplayModes, RadianceModeGivesTheDecodedValuesAndMarksWhatIsOffThePicture) {
    const HdrPicture picture(8, 4,
                             [](int x, int y) { return glm::dvec3(x + 1.0, y + 0.5, 1024.0); });
    ViewState v = flatView(16, 4);
    v.display = DisplayMode::Radiance;
    v.fstop = 7.0f;
    const std::vector<float> frame = render(*picture.texture, v);
    // The picture sits in the middle: columns 4 to 11.
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 16; ++x) {
            const float* p = &frame[(static_cast<std::size_t>(y) * 16 + x) * 4];
            if (x < 4 || x >= 12) {
                EXPECT_EQ(p[3], 0.0f) << x << ", " << y;
                continue;
            }
            EXPECT_EQ(p[3], 1.0f);
            const glm::dvec3 c = picture.at(x - 4, y);
            EXPECT_NEAR(p[0], c.r, 1e-5 * c.r);
            EXPECT_NEAR(p[1], c.g, 1e-5 * c.g);
            EXPECT_NEAR(p[2], c.b, 1e-5 * c.b);
        }
    }
}

// 4096 x 2048: the left half 10 stops brighter than the right, both of a texture a stop
// either way; a sun 0.53 degrees wide, 2^17 times the sky, optionally at 30 degrees up in the
// left half.
struct TwoHalves {
    static constexpr int width = 4096;
    static constexpr int height = 2048;
    static glm::dvec3 sky(int x, int y) {
        unsigned h = static_cast<unsigned>(x) * 73856093u ^ static_cast<unsigned>(y) * 19349663u;
        h = (h ^ (h >> 13)) * 1274126177u;
        const double texture = std::exp2(static_cast<double>(h % 1024) / 512.0 - 1.0);
        const double half = x < width / 2 ? 1.0 : std::exp2(-10.0);
        return glm::dvec3(1.0, 0.9, 0.8) * (texture * half);
    }
    static glm::dvec3 withSun(int x, int y) {
        const LongitudeLatitude sun =
            panoramaAngles({width / 4.0 + 40.0, height / 3.0}, width, height);
        const LongitudeLatitude here = panoramaAngles({x + 0.5, y + 0.5}, width, height);
        const double angle =
            std::acos(std::clamp(glm::dot(directionOf(sun), directionOf(here)), -1.0, 1.0));
        return angle < 0.53 / 2 * pi / 180 ? glm::dvec3(std::exp2(17.0)) : sky(x, y);
    }
};

// The CPU reference of the meter: a grid of the view's screen points through the CPU
// mapping, each the nearest texel's decoded luminance.
float cpuMeter(const HdrPicture& picture, const ViewState& v) {
    const ViewMapping mapping(v, picture.width, picture.height);
    std::vector<double> luminances;
    for (int j = 0; j < 90; ++j) {
        for (int i = 0; i < 160; ++i) {
            const glm::dvec2 screen((i + 0.5) * v.viewportWidth / 160.0,
                                    (j + 0.5) * v.viewportHeight / 90.0);
            const glm::dvec2 q = mapping.pictureAt(screen).position;
            luminances.push_back(luminance(
                picture.at(static_cast<int>(std::floor(q.x)), static_cast<int>(std::floor(q.y)))));
        }
    }
    return meteredFstop(luminances, picture.texture->scaleMean).value();
}

TEST_F(DisplayModes, MeteringTwoHalvesTenStopsApartIgnoringTheSun) {
    const HdrPicture plain(TwoHalves::width, TwoHalves::height, TwoHalves::sky);
    const HdrPicture sunny(TwoHalves::width, TwoHalves::height, TwoHalves::withSun);
    ViewState v;
    v.projection = Projection::Sphere;
    v.viewportWidth = 1280;
    v.viewportHeight = 720;
    // 90 degrees across: yaw 90 looks at column width / 4, yaw -90 at 3 width / 4.
    v.zoom = static_cast<float>(1280.0 / (TwoHalves::width / 4.0));
    v.pitch = 10.0f;
    v.yaw = 90.0f;
    const std::optional<float> bright = meterView(*shader, *plain.texture, v);
    const std::optional<float> bright2 = meterView(*shader, *sunny.texture, v);
    v.yaw = -90.0f;
    const std::optional<float> dark = meterView(*shader, *plain.texture, v);
    ASSERT_TRUE(bright && bright2 && dark);
    EXPECT_NEAR(*dark - *bright, 10.0f, 0.25f);
    EXPECT_NEAR(*bright2, *bright, 0.25f);
    EXPECT_NEAR(*dark, cpuMeter(plain, v), 0.25f);
    v.yaw = 90.0f;
    EXPECT_NEAR(*bright, cpuMeter(plain, v), 0.25f);
    EXPECT_NEAR(*bright2, cpuMeter(sunny, v), 0.25f);

    // The sun is in view, and without the 1 % left out it would have moved the meter.
    const std::optional<glm::dvec2> sunOnScreen =
        ViewMapping(v, TwoHalves::width, TwoHalves::height)
            .screenAt({TwoHalves::width / 4.0 + 40.0, TwoHalves::height / 3.0});
    ASSERT_TRUE(sunOnScreen);
    EXPECT_GT(sunOnScreen->x, 0.0);
    EXPECT_LT(sunOnScreen->x, 1280.0);
    EXPECT_GT(sunOnScreen->y, 0.0);
    EXPECT_LT(sunOnScreen->y, 720.0);

    // The metered f-stop brings the view's log average to middle grey on the screen.
    v.fstop = *bright;
    v.display = DisplayMode::Colour;
    const std::vector<float> frame = render(*plain.texture, v);
    double logSum = 0.0;
    for (std::size_t i = 0; i < frame.size(); i += 4) {
        auto linear = [](float d) {
            return d <= 0.04045f ? d / 12.92 : std::pow((d + 0.055) / 1.055, 2.4);
        };
        logSum += std::log2(std::max(
            1e-6, luminance({linear(frame[i]), linear(frame[i + 1]), linear(frame[i + 2])})));
    }
    EXPECT_NEAR(logSum / (frame.size() / 4), std::log2(middleGrey), 0.25);

    // The meter leaves the framebuffer and the viewport as it found them.
    GLint viewport[4] = {0, 0, 0, 0};
    glViewport(1, 2, 30, 40);
    meterView(*shader, *plain.texture, v);
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 30);
    EXPECT_EQ(viewport[3], 40);
    GLint framebuffer = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &framebuffer);
    EXPECT_EQ(framebuffer, 0);
}

TEST_F(DisplayModes, FlatViewMetersOnlyThePicture) {
    const HdrPicture picture(64, 32, [](int, int) { return glm::dvec3(0.5); });
    // Far more black border than picture.
    ViewState v = flatView(640, 480);
    const std::optional<float> fstop = meterView(*shader, *picture.texture, v);
    ASSERT_TRUE(fstop);
    EXPECT_NEAR(0.5 * std::exp2(exposureOffset(*fstop, picture.texture->scaleMean)), 0.18, 0.01);
    // 8-bit pictures have no exposure to set.
    Picture ldr;
    ldr.allocate(4, 4, PixelEncoding::Rgb8);
    std::fill_n(ldr.pixels.get(), ldr.byteCount(), 100);
    const Texture texture(std::move(ldr));
    EXPECT_FALSE(meterView(*shader, texture, v));
}

std::vector<std::uint8_t> readPpm(const std::string& path, int width, int height) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t size = static_cast<std::size_t>(width) * height * 3;
    return text.size() < size ? std::vector<std::uint8_t>()
                              : std::vector<std::uint8_t>(text.end() - size, text.end());
}

// A failed run leaves no output, which the comparisons then report.
void runRender(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MAROVEX_RENDER};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child;
    child.spawn(argv, -1, -1);
    child.wait();
}

int largestDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) {
        return 256;
    }
    int largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        largest = std::max(largest, std::abs(a[i] - b[i]));
    }
    return largest;
}

TEST_F(DisplayModes, MarovexRenderDrawsEachOperatorAndMetersAsTheProgramDoes) {
    const TempDir dir;
    const int width = 481;
    const HdrPicture picture(width, 3, [&](int x, int y) { return ramp(x, y, width); });
    rgbe::write(dir / "ramp.hdr", width, 3, picture.quadruples.data(), true);
    // The file's statistics give its exposure scale; the texture here must use the same.
    const Texture loaded(dir / "ramp.hdr");
    const std::vector<std::string> common{
        "--size", std::to_string(width) + "x3", "--projection", "flat", "--zoom", "1"};
    for (const ToneOperator op : operators) {
        std::vector<std::string> args = common;
        args.insert(args.end(), {"--tonemap", toneOperatorName(op), dir / "ramp.hdr",
                                 dir / (std::string(toneOperatorName(op)) + ".ppm")});
        runRender(args);
        ViewState v = flatView(width, 3);
        v.tonemap = true;
        v.toneOperator = op;
        EXPECT_LE(
            largestDifference(readPpm(dir / (std::string(toneOperatorName(op)) + ".ppm"), width, 3),
                              render8(loaded, v)),
            1)
            << toneOperatorName(op);
    }
    // A bare --tonemap before the files is today's curve.
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--tonemap", dir / "ramp.hdr", dir / "bare.ppm"});
    runRender(args);
    EXPECT_EQ(readPpm(dir / "bare.ppm", width, 3), readPpm(dir / "reinhard.ppm", width, 3));

    args = common;
    args.insert(args.end(), {"--auto-exposure", dir / "ramp.hdr", dir / "auto.ppm"});
    runRender(args);
    ViewState v = flatView(width, 3);
    const std::optional<float> metered = meterView(*shader, loaded, v);
    ASSERT_TRUE(metered);
    v.fstop = *metered;
    EXPECT_LE(largestDifference(readPpm(dir / "auto.ppm", width, 3), render8(loaded, v)), 1);
    // Not the f-stop 0 picture.
    args = common;
    args.insert(args.end(), {dir / "ramp.hdr", dir / "plain.ppm"});
    runRender(args);
    EXPECT_GT(largestDifference(readPpm(dir / "auto.ppm", width, 3),
                                readPpm(dir / "plain.ppm", width, 3)),
              10);
}

} // namespace
