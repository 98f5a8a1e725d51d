// The renderer's command line and the viewer's zoom rules it shares.
#include "RenderOptions.h"
#include "ViewLimits.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string parseError(const std::vector<std::string>& args) {
    try {
        parseRenderOptions(args);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

TEST(RenderOptionsTest, DefaultsAndEveryOption) {
    const RenderOptions plain = parseRenderOptions({"in.hdr", "out.jpg"});
    EXPECT_EQ(plain.input, "in.hdr");
    EXPECT_EQ(plain.output, "out.jpg");
    EXPECT_EQ(plain.view.viewportWidth, 1280);
    EXPECT_EQ(plain.view.viewportHeight, 720);
    EXPECT_FALSE(plain.zoom || plain.fov || plain.projection);
    EXPECT_TRUE(plain.view.showRed && plain.view.showGreen && plain.view.showBlue);
    EXPECT_FALSE(plain.view.tonemap || plain.timing || plain.help);

    const RenderOptions all = parseRenderOptions(
        {"--size", "256x128", "--yaw=-90.5", "--pitch", "12", "--zoom", "0.25", "--projection",
         "planet", "--fstop", "-1.5", "--tonemap", "--channels", "g", "--timing", "-", "x.HDR"});
    EXPECT_EQ(all.view.viewportWidth, 256);
    EXPECT_EQ(all.view.viewportHeight, 128);
    EXPECT_FLOAT_EQ(all.view.yaw, -90.5f);
    EXPECT_FLOAT_EQ(all.view.pitch, 12.0f);
    EXPECT_FLOAT_EQ(*all.zoom, 0.25f);
    EXPECT_EQ(*all.projection, Projection::Planet);
    EXPECT_FLOAT_EQ(all.view.fstop, -1.5f);
    EXPECT_TRUE(all.view.tonemap && all.timing);
    EXPECT_TRUE(!all.view.showRed && all.view.showGreen && !all.view.showBlue);
    EXPECT_EQ(all.input, "-");

    EXPECT_EQ(*parseRenderOptions({"--projection", "flat", "a", "b.png"}).projection,
              Projection::Flat);
    EXPECT_EQ(*parseRenderOptions({"--projection=sphere", "a", "b.png"}).projection,
              Projection::Sphere);
    EXPECT_FLOAT_EQ(*parseRenderOptions({"--fov", "90", "a", "b.ppm"}).fov, 90.0f);
    EXPECT_EQ(parseRenderOptions({"--", "-name.hdr", "b.ppm"}).input, "-name.hdr");
    EXPECT_TRUE(parseRenderOptions({"--help"}).help);
    EXPECT_TRUE(plain.gainMaps);
    EXPECT_FALSE(parseRenderOptions({"--gain-map", "off", "a", "b.png"}).gainMaps);
    EXPECT_TRUE(parseRenderOptions({"--gain-map=on", "a", "b.png"}).gainMaps);
}

TEST(RenderOptionsTest, ToneOperatorIsTakenOnlyWhenNamed) {
    const RenderOptions bare = parseRenderOptions({"--tonemap", "agx.hdr", "out.jpg"});
    EXPECT_TRUE(bare.view.tonemap);
    EXPECT_EQ(bare.view.toneOperator, ToneOperator::Reinhard);
    EXPECT_EQ(bare.input, "agx.hdr");
    const RenderOptions named = parseRenderOptions({"--tonemap", "agx", "in.hdr", "out.jpg"});
    EXPECT_TRUE(named.view.tonemap);
    EXPECT_EQ(named.view.toneOperator, ToneOperator::AgX);
    EXPECT_EQ(named.input, "in.hdr");
    EXPECT_EQ(parseRenderOptions({"--tonemap=aces", "a", "b.jpg"}).view.toneOperator,
              ToneOperator::AcesFilmic);
    EXPECT_EQ(parseRenderOptions({"a", "b.jpg", "--tonemap", "neutral"}).view.toneOperator,
              ToneOperator::PbrNeutral);
    // A last bare --tonemap, and the operator's name as a file after "--".
    EXPECT_TRUE(parseRenderOptions({"a", "b.jpg", "--tonemap"}).view.tonemap);
    EXPECT_EQ(parseRenderOptions({"--tonemap", "--", "agx", "b.jpg"}).input, "agx");
    const RenderOptions metered = parseRenderOptions({"--auto-exposure", "a", "b.jpg"});
    EXPECT_TRUE(metered.autoExposure);
    EXPECT_FALSE(parseRenderOptions({"a", "b.jpg"}).autoExposure);
}

TEST(RenderOptionsTest, BadArgumentsSayWhy) {
    const std::string size = "expected WxH with each side from 1 to 8192";
    EXPECT_EQ(parseError({"--size", "0x10", "a", "b.jpg"}), "bad size '0x10': " + size);
    EXPECT_EQ(parseError({"--size", "8193x10", "a", "b.jpg"}), "bad size '8193x10': " + size);
    EXPECT_EQ(parseError({"--size", "12x", "a", "b.jpg"}), "bad size '12x': " + size);
    EXPECT_EQ(parseError({"--size", "-5x5", "a", "b.jpg"}), "bad size '-5x5': " + size);
    EXPECT_EQ(parseError({"--size", "640", "a", "b.jpg"}), "bad size '640': " + size);
    EXPECT_EQ(parseError({"--bogus", "a", "b.jpg"}), "unknown option '--bogus' (see --help)");
    EXPECT_EQ(parseError({"-x", "a", "b.jpg"}), "unknown option '-x' (see --help)");
    EXPECT_EQ(parseError({"a", "b.jpg", "--yaw"}), "option '--yaw' needs a value");
    EXPECT_EQ(parseError({"--yaw", "ten", "a", "b.jpg"}),
              "bad value 'ten' for --yaw: not a number");
    EXPECT_EQ(parseError({"--pitch", "nan", "a", "b.jpg"}),
              "bad value 'nan' for --pitch: not a number");
    EXPECT_EQ(parseError({"--zoom", "0", "a", "b.jpg"}),
              "bad value '0' for --zoom: must be above 0");
    EXPECT_EQ(parseError({"--fov", "360", "a", "b.jpg"}),
              "bad value '360' for --fov: must lie between 0 and 360 degrees");
    EXPECT_EQ(parseError({"--zoom", "1", "--fov", "90", "a", "b.jpg"}),
              "--zoom and --fov exclude each other");
    EXPECT_EQ(parseError({"--projection", "cube", "a", "b.jpg"}),
              "bad value 'cube' for --projection: expected flat, sphere or planet");
    EXPECT_EQ(parseError({"--channels", "rg", "a", "b.jpg"}),
              "bad value 'rg' for --channels: expected rgb, r, g or b");
    EXPECT_EQ(parseError({"--gain-map", "no", "a", "b.jpg"}),
              "bad value 'no' for --gain-map: expected on or off");
    EXPECT_EQ(parseError({"--tonemap=1", "a", "b.jpg"}),
              "bad value '1' for --tonemap: expected reinhard, aces, agx or neutral");
    EXPECT_EQ(parseError({"--auto-exposure=1", "a", "b.jpg"}),
              "option '--auto-exposure' takes no value");
    EXPECT_EQ(parseError({"--auto-exposure", "--fstop", "2", "a", "b.jpg"}),
              "--fstop and --auto-exposure exclude each other");
    EXPECT_EQ(parseError({"a"}), "expected INPUT and OUTPUT (see --help)");
    EXPECT_EQ(parseError({"a", "b.jpg", "c.jpg"}), "expected INPUT and OUTPUT (see --help)");
    EXPECT_EQ(parseError({"a", "b.tif"}),
              "unsupported output type 'b.tif': use .jpg, .ppm, .png, .hdr, .exr or - for PPM "
              "on standard output");
}

TEST(RenderOptionsTest, FieldOfViewMeetsTheViewersZoom) {
    // The viewer's lowest panorama zoom shows a third of the picture: 120 degrees.
    EXPECT_FLOAT_EQ(zoomForFov(120.0f, Projection::Sphere, 4096, 1280),
                    lowestZoom(Projection::Sphere, 4096, 2048, 1280, 720));
    EXPECT_FLOAT_EQ(zoomForFov(60.0f, Projection::Sphere, 4096, 1280),
                    2 * lowestZoom(Projection::Sphere, 4096, 2048, 1280, 720));
    // Stereographic: 4 tan(fov / 4) pixels per radian across the width, 180 degrees -> 4.
    EXPECT_NEAR(zoomForFov(180.0f, Projection::Planet, 1000, 400),
                400 / 4.0 * 2 * 3.14159265358979 / 1000, 1e-5);
    // Narrow views differ little between the two.
    EXPECT_NEAR(zoomForFov(2.0f, Projection::Planet, 1000, 400) /
                    zoomForFov(2.0f, Projection::Sphere, 1000, 400),
                1.0, 1e-4);
    EXPECT_THROW(zoomForFov(180.0f, Projection::Sphere, 1000, 400), std::runtime_error);
    EXPECT_THROW(zoomForFov(90.0f, Projection::Flat, 1000, 400), std::runtime_error);
}

TEST(ViewLimitsTest, ProjectionAndLowestZoomFollowTheViewer) {
    EXPECT_EQ(defaultProjection(4096, 2048), Projection::Sphere);
    EXPECT_EQ(defaultProjection(4096, 2049), Projection::Flat);
    EXPECT_EQ(defaultProjection(1, 1), Projection::Flat);
    EXPECT_FLOAT_EQ(lowestZoom(Projection::Sphere, 3000, 1500, 800, 100), 0.8f);
    EXPECT_FLOAT_EQ(lowestZoom(Projection::Planet, 3000, 1500, 800, 100), 100.0f / 1500);
    EXPECT_FLOAT_EQ(lowestZoom(Projection::Flat, 400, 100, 200, 400), 0.5f);
}

} // namespace
