#include "ExeDir.h"
#include "Texture.h"
#include "TextureLoadSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

// A 16 x 16 preview of one colour; the outside programs shrink it to 2 x 2.
const Bytes previewColour = {200, 40, 90};

Bytes preview() {
    Bytes rgb;
    for (int i = 0; i < 16 * 16; ++i) {
        rgb.insert(rgb.end(), previewColour.begin(), previewColour.end());
    }
    return encodeJpeg(16, 16, JCS_RGB, JCS_YCbCr, rgb);
}

class TextureLoadRaw : public testing::Test {
protected:
    TempDir dir;
};

TEST(ExeDir, NamesFilesBesideTheRunningProgram) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(exeDir("djpeg"), (self.parent_path() / "djpeg").string());
    EXPECT_TRUE(fs::equivalent(exeDir(self.filename().string()), "/proc/self/exe"));
}

TEST_F(TextureLoadRaw, PreviewOfAFileWithQuoteSpaceAndShellTextIsShown) {
    ASSERT_TRUE(fs::exists(exeDir("dcraw"))) << "the build links dcraw beside the tests";
    const std::string path = dir.file("it's a $(touch pwned) `touch pwned` raw.CR2");
    writeFile(path, encodeCanonRaw(preview()));

    testing::internal::CaptureStderr();
    Texture texture(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(texture.width, 2);
    EXPECT_EQ(texture.height, 2);
    EXPECT_FALSE(texture.hdr);
    EXPECT_EQ(texture.scaleMean, 0.0);
    const Bytes texels = readTexture(texture, 3);
    Bytes expected;
    for (int i = 0; i < 4; ++i) {
        expected.insert(expected.end(), previewColour.begin(), previewColour.end());
    }
    EXPECT_LE(maxDifference(texels, expected), 3);
    EXPECT_FALSE(fs::exists(dir.file("pwned")));
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(TextureLoadRaw, NameStartingWithADashIsNoOption) {
    writeFile(dir.file("-e.cr2"), encodeCanonRaw(preview()));
    const auto previous = fs::current_path();
    fs::current_path(dir.path);
    std::string error;
    int width = 0;
    try {
        width = Texture("-e.cr2").width;
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    fs::current_path(previous);
    EXPECT_EQ(error, "");
    EXPECT_EQ(width, 2);
}

TEST_F(TextureLoadRaw, FileWithoutPreviewGivesAnErrorNamingIt) {
    const std::string noPreview = dir.file("no preview.cr2");
    writeFile(noPreview, encodeCanonRaw(Bytes()));
    const std::string garbage = dir.file("garbage.cr2");
    writeFile(garbage, Bytes{'j', 'u', 'n', 'k'});
    const std::string missing = dir.file("missing.cr2");
    testing::internal::CaptureStderr();
    for (const std::string& path : {noPreview, garbage}) {
        EXPECT_EQ(loadError(path),
                  "No preview picture could be extracted from raw file '" + path + "'");
    }
    // Found missing before dcraw runs, as by every reader.
    EXPECT_EQ(loadError(missing),
              "Failed to open file '" + missing + "': No such file or directory");
    testing::internal::GetCapturedStderr();
}

// Runs a copy of this program from a folder that lacks the outside programs (or has dcraw
// only) and returns the error its raw load reported.
std::string errorWithout(const TempDir& dir, bool withDcraw) {
    const fs::path bin = dir.path / (withDcraw ? "with-dcraw" : "bare");
    fs::create_directories(bin);
    const fs::path program = bin / "TextureLoadTest";
    fs::copy_file(fs::read_symlink("/proc/self/exe"), program);
    if (withDcraw) {
        fs::create_symlink(fs::canonical(exeDir("dcraw")), bin / "dcraw");
    }
    const std::string raw = dir.file("preview.cr2");
    writeFile(raw, encodeCanonRaw(preview()));
    const std::string report = (bin / "report").string();
    const int status = runChild(program.string(), "TextureLoadChild.RawLoad", "raw:" + raw, report);
    const Bytes text = readFile(report);
    return std::to_string(status) + " " + std::string(text.begin(), text.end());
}

TEST_F(TextureLoadRaw, MissingOutsideProgramsAreNamedInTheError) {
    const std::string raw = dir.file("preview.cr2");
    EXPECT_EQ(errorWithout(dir, false), "0 Failed to run '" + (dir.path / "bare/dcraw").string() +
                                            "' for raw file '" + raw +
                                            "': No such file or directory");
    EXPECT_EQ(errorWithout(dir, true),
              "0 Failed to run '" + (dir.path / "with-dcraw/djpeg").string() + "' for raw file '" +
                  raw + "': No such file or directory");
}

// Runs only as the child of MissingOutsideProgramsAreNamedInTheError.
TEST(TextureLoadChild, RawLoad) {
    const std::string mode = childMode();
    if (mode.compare(0, 4, "raw:") != 0) {
        GTEST_SKIP() << "runs as a child process only";
    }
    writeChildReport(loadError(mode.substr(4)));
}

} // namespace
