// marovex-render on servers: without DISPLAY through EGL, the same picture as on the X display;
// batches in one process that go on after a bad file; thumbnails fitted to a square.
// Runs under the virtual X display, which the headless runs take away from themselves.
#include "Diagnostics.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

std::string shellQuoted(const std::string& path) {
    return "'" + path + "'";
}

// The exit status of marovex-render with `arguments`; its standard error in `err`.
int render(const std::string& environment, const std::string& arguments, std::string& err,
           const std::string& errFile) {
    const std::string command = environment + " " + MAROVEX_RENDER + " " + arguments + " 2>" +
                                shellQuoted(errFile) + " >/dev/null";
    const int status = std::system(command.c_str());
    std::ifstream stream(errFile);
    std::stringstream text;
    text << stream.rdbuf();
    err = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A panorama whose bands move with `shift`, so that every file of a batch differs.
void writePanorama(const std::string& file, int shift) {
    const int width = 128;
    const int height = 64;
    Bytes pixels(4 * static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = 2 * M_PI * (x + shift) / width;
            const double v = M_PI * y / height;
            rgbe::encode(std::exp2(3 * std::sin(u) * std::sin(v)), 0.5 + 0.4 * std::cos(u),
                         std::exp2(-2 + 2 * std::cos(v)),
                         &pixels[4 * (static_cast<std::size_t>(y) * width + x)]);
        }
    }
    const DiagnosticsSilenced quiet(true);
    rgbe::write(file, width, height, pixels.data(), true);
}

using RenderServer = RgbeFiles;

TEST_F(RenderServer, WithoutDisplayTheSamePictureAsOnTheXDisplay) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run";
    const std::string view = "--size 320x160 --yaw 30 --pitch 10 --fov 100 ";
    std::string err;
    const std::string onX = path("x.ppm");
    const std::string headless = path("egl.ppm");
    ASSERT_EQ(
        render("", view + shellQuoted(MAROVEX_SAMPLE) + " " + shellQuoted(onX), err, path("err")),
        0)
        << err;
    ASSERT_EQ(render("env -u DISPLAY",
                     view + shellQuoted(MAROVEX_SAMPLE) + " " + shellQuoted(headless), err,
                     path("err")),
              0)
        << err;
    EXPECT_EQ(err, "");
    int width = 0;
    int height = 0;
    const Bytes a = readPpm(onX, width, height);
    const Bytes b = readPpm(headless, width, height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 160);
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        worst = std::max(worst, std::abs(a[i] - b[i]));
    }
    EXPECT_LE(worst, 1);
    const auto [low, high] = std::minmax_element(b.begin(), b.end());
    EXPECT_GT(*high - *low, 100) << "a flat picture";
}

TEST_F(RenderServer, WithoutDisplayOrEglTheErrorNamesWhatIsMissing) {
    std::string err;
    // libglvnd finds no EGL driver at all with this vendor list.
    const int code =
        render("env -u DISPLAY __EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent.json",
               shellQuoted(MAROVEX_SAMPLE) + " " + shellQuoted(path("out.png")), err, path("err"));
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("EGL_MESA_platform_surfaceless"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST_F(RenderServer, BatchRendersTheGoodFilesAndReportsTheBadOne) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 3; ++i) {
        inputs.push_back(path("pano" + std::to_string(i) + ".hdr"));
        writePanorama(inputs.back(), 20 * i);
    }
    const std::string broken = path("broken.hdr");
    std::ofstream(broken) << "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 64 +X 128\n\x02\x02";
    const std::string options = "--size 96x48 --yaw 15 ";
    std::string list;
    // The broken one in the middle: the files after it must still be drawn.
    for (const std::string& input : {inputs[0], broken, inputs[1], inputs[2]}) {
        list += " " + shellQuoted(input);
    }
    std::string err;
    const std::string folder = path("out/views");
    const int code =
        render("", options + "--output-dir " + shellQuoted(folder) + " --format ppm" + list, err,
               path("err"));
    EXPECT_EQ(code, 1);
    // One line for the one bad file, naming it; no progress on a pipe.
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("marovex-render: " + broken + ": ", 0), 0u) << err;
    EXPECT_FALSE(std::filesystem::exists(folder + "/broken.ppm"));

    std::vector<Bytes> views;
    for (int i = 0; i < 3; ++i) {
        const std::string single = path("single" + std::to_string(i) + ".ppm");
        ASSERT_EQ(render("", options + shellQuoted(inputs[i]) + " " + shellQuoted(single), err,
                         path("err")),
                  0)
            << err;
        int width = 0;
        int height = 0;
        views.push_back(readPpm(folder + "/pano" + std::to_string(i) + ".ppm", width, height));
        EXPECT_EQ(width, 96);
        EXPECT_EQ(height, 48);
        EXPECT_EQ(views.back(), readPpm(single, width, height)) << "file " << i;
    }
    EXPECT_NE(views[0], views[1]);
    EXPECT_NE(views[1], views[2]);

    // All good: status 0, nothing on standard error; the format replaces the extension.
    EXPECT_EQ(render("",
                     options + "--output-dir " + shellQuoted(folder) + " --format png " +
                         shellQuoted(inputs[0]),
                     err, path("err")),
              0);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(std::filesystem::exists(folder + "/pano0.png"));
}

TEST_F(RenderServer, ThumbnailFitsTheSquareWithThePictureShape) {
    std::string err;
    const std::string wide = path("wide.hdr");
    writePanorama(wide, 0);
    // No extension: the format decides, as for a file manager's temporary names.
    const std::string out = path("thumb");
    ASSERT_EQ(render("env -u DISPLAY",
                     "--thumbnail 100 --format ppm " + shellQuoted(wide) + " " + shellQuoted(out),
                     err, path("err")),
              0)
        << err;
    int width = 0;
    int height = 0;
    const Bytes flat = readPpm(out, width, height);
    EXPECT_EQ(width, 100);
    EXPECT_EQ(height, 50);
    // The whole flat picture: its left and right columns meet as the panorama's seam does.
    ASSERT_EQ(flat.size(), 3u * 100 * 50);
    int seam = 0;
    for (int y = 0; y < 50; ++y) {
        for (int c = 0; c < 3; ++c) {
            seam = std::max(seam, std::abs(flat[3 * (y * 100) + c] - flat[3 * (y * 100 + 99) + c]));
        }
    }
    EXPECT_LE(seam, 24);

    EXPECT_EQ(
        render("", "--thumbnail 0 " + shellQuoted(wide) + " " + shellQuoted(out), err, path("err")),
        2);
    EXPECT_EQ(err, "marovex-render: bad value '0' for --thumbnail: expected 1 to 8192 pixels\n");
}

} // namespace
