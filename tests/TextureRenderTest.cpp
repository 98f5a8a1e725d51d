// Render passes into textures, readback into files and the file writers, checked through real
// files in a temporary folder and against pixels read straight from GL.
#include "GlError.h"
#include "Shader.h"
#include "Texture.h"
#include "TextureRender.h"
#include "rgbe.h"

#include <CImg.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using cimg_library::CImg;

namespace {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/texture-render-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// A texture of one colour; the red byte names it in the unit checks.
std::unique_ptr<Texture> marked(int width, std::uint8_t mark, std::uint8_t rightMark = 0) {
    Bytes pixels(static_cast<std::size_t>(width) * 4);
    for (int x = 0; x < width; ++x) {
        pixels[x * 4] = x < width / 2 || rightMark == 0 ? mark : rightMark;
        pixels[x * 4 + 3] = 255;
    }
    return std::make_unique<Texture>(width, 1, pixels.data(), GL_RGBA8, GL_RGBA);
}

// Wider than any piece may be, so it is stored as two: left half `mark`, right half `right`.
std::unique_ptr<Texture> split(std::uint8_t mark, std::uint8_t right) {
    auto texture = marked(8194, mark, right);
    EXPECT_EQ(texture->numTextures, 2);
    return texture;
}

Bytes readRgba(const Texture& texture) {
    Bytes pixels(static_cast<std::size_t>(texture.width) * texture.height * 4);
    texture.bindFB();
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, texture.width, texture.height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    return pixels;
}

GLint integer(GLenum name) {
    GLint value = 0;
    glGetIntegerv(name, &value);
    return value;
}

class RenderToTest : public testing::Test {
protected:
    void SetUp() override { shader = std::make_unique<Shader>("render-unit", ""); }
    void TearDown() override {
        Shader::useNone();
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        throwIfGlFailed(glError(__FILE__, __LINE__));
    }

    // The mark of what unit 0..5 holds after `render` has bound the inputs.
    template <typename Render> std::vector<int> marksOfUnits(Render render, int units) {
        std::vector<int> marks;
        for (int unit = 0; unit < units; ++unit) {
            shader->use(true);
            shader->setUniform1i("unit", unit);
            render();
            marks.push_back(readRgba(output)[0]);
        }
        return marks;
    }

    std::unique_ptr<Shader> shader;
    Texture output{4, 2, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA};
};

TEST_F(RenderToTest, InputsTakeConsecutiveUnitsWithSplitInputsTakingTwo) {
    auto a = marked(4, 10);
    auto b = marked(4, 20);
    auto c = marked(4, 30);
    auto d = marked(4, 40);
    auto e = marked(4, 50);
    auto s = split(60, 61);

    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *a, true); }, 1), std::vector<int>({10}));
    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *a, *b, true); }, 2), std::vector<int>({10, 20}));
    EXPECT_EQ(integer(GL_ACTIVE_TEXTURE), GL_TEXTURE1);
    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *s, *b, true); }, 3),
              std::vector<int>({60, 61, 20}));
    EXPECT_EQ(integer(GL_ACTIVE_TEXTURE), GL_TEXTURE2);
    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *a, *b, *c, true); }, 3),
              std::vector<int>({10, 20, 30}));
    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *a, *b, *c, *d, true); }, 4),
              std::vector<int>({10, 20, 30, 40}));
    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *a, *b, *c, *d, *e, true); }, 5),
              std::vector<int>({10, 20, 30, 40, 50}));
    EXPECT_EQ(integer(GL_ACTIVE_TEXTURE), GL_TEXTURE4);
    EXPECT_EQ(marksOfUnits([&] { renderTo(output, *a, *b, *s, *d, *e, true); }, 6),
              std::vector<int>({10, 20, 60, 61, 40, 50}));
    EXPECT_EQ(integer(GL_ACTIVE_TEXTURE), GL_TEXTURE5);
}

TEST_F(RenderToTest, CoordinatesArePixelsAndTheTargetStaysSet) {
    auto a = marked(4, 10);
    shader->use(true);
    shader->setUniform1i("unit", -1);
    renderTo(output, *a, true);

    EXPECT_EQ(integer(GL_FRAMEBUFFER_BINDING_EXT), static_cast<GLint>(output.framebuffer));
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(std::vector<GLint>(viewport, viewport + 4), std::vector<GLint>({0, 0, 4, 2}));
    const Bytes pixels = readRgba(output);
    // Pixel centres x + 0.5 and y + 0.5, scaled by 255 / 64, row 0 first.
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            const std::uint8_t* p = &pixels[(y * 4 + x) * 4];
            EXPECT_NEAR(p[0], (x + 0.5) * 255 / 64, 0.6) << x << "," << y;
            EXPECT_NEAR(p[1], (y + 0.5) * 255 / 64, 0.6) << x << "," << y;
        }
    }
}

TEST_F(RenderToTest, ClearFlagDecidesWhetherTheOldContentGoes) {
    auto a = marked(4, 10);
    shader->use(true);
    shader->setUniform1i("unit", 0);
    renderTo(output, *a, true);
    // The program draws nothing now, so only the clear can change the target.
    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
    shader->use(true);
    shader->setUniform1i("unit", -2);
    renderTo(output, *a, false);
    EXPECT_EQ(readRgba(output)[0], 10);
    EXPECT_EQ(readRgba(output)[2], 0);
    renderTo(output, *a, true);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(readRgba(output)[0], 0);
    EXPECT_EQ(readRgba(output)[2], 255);
}

TEST(RenderTo2Test, FillsBothOutputsAndLeavesTheirFramebuffersAlone) {
    Shader shader("render-two", "");
    Bytes pixels(3 * 2 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(i * 10);
    }
    Texture input(3, 2, pixels.data(), GL_RGBA8, GL_RGBA);
    Texture first(3, 2, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
    Texture second(3, 2, static_cast<const std::uint8_t*>(nullptr), GL_RGBA8, GL_RGBA);
    shader.use(true);
    shader.setUniform2f("size", 3.0f, 2.0f);
    renderTo2(first, second, input, true);
    Shader::useNone();
    EXPECT_EQ(first.framebuffer, 0u);
    EXPECT_EQ(second.framebuffer, 0u);

    const Bytes one = readRgba(first);
    const Bytes two = readRgba(second);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (i % 4 == 3) {
            continue;
        }
        EXPECT_EQ(one[i], pixels[i]) << i;
        EXPECT_EQ(two[i], 255 - pixels[i]) << i;
    }
}

// A 5 x 3 texture whose pixel (x, y) holds x, y and 100 + x + 10 y.
class SaveTest : public testing::Test {
protected:
    void SetUp() override {
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 5; ++x) {
                const std::uint8_t p[4] = {static_cast<std::uint8_t>(x),
                                           static_cast<std::uint8_t>(y),
                                           static_cast<std::uint8_t>(100 + x + 10 * y), 130};
                pixels.insert(pixels.end(), p, p + 4);
            }
        }
        texture = std::make_unique<Texture>(5, 3, pixels.data(), GL_RGBA8, GL_RGBA);
    }
    void TearDown() override { glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0); }

    void expectPattern(const CImg<unsigned char>& saved, int x0, int y0) {
        for (int y = 0; y < saved.height(); ++y) {
            for (int x = 0; x < saved.width(); ++x) {
                EXPECT_EQ(saved(x, y, 0, 0), x0 + x);
                EXPECT_EQ(saved(x, y, 0, 1), y0 + y) << "rows are not flipped";
                EXPECT_EQ(saved(x, y, 0, 2), 100 + x0 + x + 10 * (y0 + y));
            }
        }
    }

    TempDir dir;
    Bytes pixels;
    std::unique_ptr<Texture> texture;
};

TEST_F(SaveTest, ZeroSizeSavesTheWholeTextureAndARectangleItsPart) {
    texture->save<unsigned char>(dir / "whole.png", 0, 0, 0, 0);
    CImg<unsigned char> whole((dir / "whole.png").c_str());
    ASSERT_EQ(whole.width(), 5);
    ASSERT_EQ(whole.height(), 3);
    ASSERT_EQ(whole.spectrum(), 3);
    expectPattern(whole, 0, 0);

    texture->save<unsigned char>(dir / "part.png", 1, 1, 3, 0);
    CImg<unsigned char> part((dir / "part.png").c_str());
    ASSERT_EQ(part.width(), 3);
    ASSERT_EQ(part.height(), 2);
    expectPattern(part, 1, 1);
}

TEST_F(SaveTest, ElementTypesReachTheFileAsRead) {
    texture->save<float>(dir / "f.cimg", 0, 0, 0, 0);
    const CImg<float> floats((dir / "f.cimg").c_str());
    ASSERT_EQ(floats.width(), 5);
    EXPECT_FLOAT_EQ(floats(4, 2, 0, 2), (100 + 4 + 20) / 255.0f);
    texture->save<unsigned short>(dir / "s.cimg", 0, 0, 0, 0);
    const CImg<unsigned short> shorts((dir / "s.cimg").c_str());
    EXPECT_EQ(shorts(4, 2, 0, 2), (100 + 4 + 20) * 257);
}

TEST_F(SaveTest, HdrInAnyCaseWritesTheBytesAsRadiance) {
    texture->save<float>(dir / "picture.HDR", 0, 0, 0, 0);
    EXPECT_EQ(fileText(dir / "picture.HDR").compare(0, 2, "#?"), 0);
    int width = 0;
    int height = 0;
    std::unique_ptr<unsigned char[]> read(rgbe::read(dir / "picture.HDR", width, height));
    ASSERT_EQ(width, 5);
    ASSERT_EQ(height, 3);
    EXPECT_EQ(Bytes(read.get(), read.get() + pixels.size()), pixels);
}

TEST_F(SaveTest, RectangleOutsideTheTextureIsRefused) {
    try {
        texture->save<unsigned char>(dir / "bad.png", 4, 0, 2, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Rectangle 2x3 at (4, 0) is outside the 5x3 texture");
    }
    EXPECT_FALSE(exists(dir / "bad.png"));
}

const std::uint8_t twoPixels[6] = {1, 2, 3, 250, 251, 252};

TEST(SaveImageTest, TwoByOnePpmHasFourHeaderLinesAndSixBytes) {
    TempDir dir;
    saveImage(dir / "two.PPM", 2, 1, 3, twoPixels);
    EXPECT_EQ(fileText(dir / "two.PPM"),
              std::string("P6\n# CREATOR: Marovex Stitcher\n2 1\n255\n") +
                  std::string(twoPixels, twoPixels + 6));
}

// Runs `write` in a child whose standard output is a file, and returns what it wrote.
template <typename Write> std::string childStdout(const std::string& path, Write write) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        try {
            write();
        } catch (...) {
            _exit(3);
        }
        std::fflush(stdout);
        _exit(0);
    }
    int status = -1;
    for (int i = 0; i < 200 && waitpid(child, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the child did not finish";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return fileText(path);
}

TEST(SaveImageTest, DashWritesToStandardOutput) {
    TempDir dir;
    EXPECT_EQ(childStdout(dir / "ppm", [] { saveImage("-", 2, 1, 3, twoPixels); }),
              std::string("P6\n# CREATOR: Marovex Stitcher\n2 1\n255\n") +
                  std::string(twoPixels, twoPixels + 6));
    // Four channels are CImg's business: its own header, the first three channels.
    const std::uint8_t rgba[8] = {1, 2, 3, 4, 250, 251, 252, 253};
    EXPECT_EQ(childStdout(dir / "pnm", [&] { saveImage("-", 2, 1, 4, rgba); }),
              std::string("P6\n2 1\n255\n") + std::string(twoPixels, twoPixels + 6));
}

TEST(SaveImageTest, JpegAndCimgFormatsRoundTrip) {
    TempDir dir;
    Bytes pixels(16 * 8 * 3);
    for (std::size_t i = 0; i < pixels.size(); i += 3) {
        const bool left = (i / 3) % 16 < 8;
        pixels[i] = left ? 200 : 20;
        pixels[i + 1] = 90;
        pixels[i + 2] = left ? 20 : 200;
    }
    saveImage(dir / "p.JPG", 16, 8, 3, pixels.data());
    const std::string jpeg = fileText(dir / "p.JPG");
    ASSERT_GE(jpeg.size(), 4u);
    EXPECT_EQ(jpeg.substr(0, 3), "\xFF\xD8\xFF");
    CImg<unsigned char> decoded;
    decoded.load_jpeg((dir / "p.JPG").c_str());
    ASSERT_EQ(decoded.width(), 16);
    ASSERT_EQ(decoded.height(), 8);
    EXPECT_NEAR(decoded(2, 2, 0, 0), 200, 8);
    EXPECT_NEAR(decoded(13, 5, 0, 2), 200, 8);
    EXPECT_NEAR(decoded(13, 5, 0, 0), 20, 8);

    saveImage(dir / "p.png", 16, 8, 3, pixels.data());
    const CImg<unsigned char> png((dir / "p.png").c_str());
    ASSERT_EQ(png.width(), 16);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(png(13, 5, 0, c), pixels[(5 * 16 + 13) * 3 + c]);
    }

    const std::uint8_t rgbePixels[8] = {128, 64, 32, 129, 0, 0, 0, 0};
    saveImage(dir / "p.hdr", 2, 1, 3, rgbePixels);
    int width = 0;
    int height = 0;
    std::unique_ptr<unsigned char[]> read(rgbe::read(dir / "p.hdr", width, height));
    EXPECT_EQ(Bytes(read.get(), read.get() + 8), Bytes(rgbePixels, rgbePixels + 8));
}

TEST(SaveImageTest, UnopenableFilesThrowAndWriteNothing) {
    TempDir dir;
    for (const char* name : {"p.ppm", "p.jpg"}) {
        const std::string path = dir.path + "/missing/" + name;
        try {
            saveImage(path, 2, 1, 3, twoPixels);
            ADD_FAILURE() << "no exception for " << name;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Failed to open file '" + path + "': No such file or directory");
        }
    }
    // CImg's own failure arrives as a std::runtime_error with CImg's text.
    EXPECT_THROW(saveImage(dir / "missing/p.png", 2, 1, 3, twoPixels), std::runtime_error);
    EXPECT_FALSE(exists(dir / "missing"));
}

} // namespace
