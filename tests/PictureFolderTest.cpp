// The order of file names and the pictures of a folder, as the viewer steps through them.
#include "NaturalOrder.h"
#include "PictureFolder.h"
#include "FileName.h"
#include "RgbeTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

TEST(NaturalOrder, OrdersNamesAsPeopleDo) {
    struct Case {
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"img2.png", "img10.png"},
        {"img9", "img10"},
        {"a", "a0"},
        {"x1y2", "x1y10"},
        {"1", "a"},
        // A digit run stands where '0' would: after '.', before '_' and letters.
        {"a.png", "a1.png"},
        {"a1", "a_1"},
        // Letters without case, then the bytes: 'B' (66) after 'a' (97) only once folded.
        {"apple", "Banana"},
        {"IMG_0001", "img_0002"},
        {"A", "a"},
        // Equal values: the bytes decide, '0' (48) before '1'.
        {"a01", "a1"},
        {"a001", "a01"},
        {"a01b2", "a1b02"},
        // Runs far beyond 64 bits compare by value.
        {"n99999999999999999999999999999", "n100000000000000000000000000000"},
        {"n0000000000000000000000000000001", "n2"},
        // Bytes above 127 by their value, after ASCII letters.
        {"zebra", "\xc3\xa9t\xc3\xa9"},
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9s"},
        {"", "0"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(naturalLess(c.before, c.after)) << c.before << " < " << c.after;
        EXPECT_FALSE(naturalLess(c.after, c.before)) << c.after << " < " << c.before;
    }
    for (const char* name : {"", "img10", "a01", "\xff"}) {
        EXPECT_FALSE(naturalLess(name, name)) << name;
    }

    // The same order whatever the order of the input, and every neighbour strictly before
    // the next: a strict total order on these names.
    Names names = {"img10.png", "img2.png",  "IMG2.png",   "img02.png",  "img1.png",  "img",
                   "img.png",   "Img10.png", "img10b.png", "img10a.png", "img_3.png", "img 3.png",
                   "1000",      "999",       "0999",       "a",          "A",         "b",
                   "\xc3\xa9",  "z9z",       "z10z",       "z9",         ""};
    Names sorted = names;
    std::sort(sorted.begin(), sorted.end(), naturalLess);
    std::mt19937 random(7);
    for (int run = 0; run < 20; ++run) {
        std::shuffle(names.begin(), names.end(), random);
        Names again = names;
        std::sort(again.begin(), again.end(), naturalLess);
        ASSERT_EQ(again, sorted);
    }
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        for (std::size_t j = 0; j < sorted.size(); ++j) {
            EXPECT_EQ(naturalLess(sorted[i], sorted[j]), i < j) << sorted[i] << ", " << sorted[j];
        }
    }
    const Names expected = {"",          "0999",       "999",        "1000",      "A",
                            "a",         "b",          "img",        "img 3.png", "img.png",
                            "img1.png",  "IMG2.png",   "img02.png",  "img2.png",  "Img10.png",
                            "img10.png", "img10a.png", "img10b.png", "img_3.png", "z9",
                            "z9z",       "z10z",       "\xc3\xa9"};
    EXPECT_EQ(sorted, expected);
}

using PictureFolder = RgbeFiles;

bool takesPictures(const std::string& name) {
    return hasSuffix(name, ".png") || hasSuffix(name, ".jpg") || hasSuffix(name, ".exr") ||
           hasSuffix(name, ".hdr");
}

TEST_F(PictureFolder, ListsThePicturesInNaturalOrderAndSteps) {
    for (const char* name : {"img10.png", "img2.png", "b.JPG", "A.exr", "notes.txt", ".hidden.png",
                             "c.hdr", "img1.png"}) {
        put(name, "x");
    }
    std::filesystem::create_directories(path("folder.png"));
    ASSERT_EQ(mkfifo(path("pipe.hdr").c_str(), 0600), 0);
    ASSERT_EQ(symlink("img1.png", path("link.png").c_str()), 0);
    ASSERT_EQ(symlink("gone.png", path("dangling.png").c_str()), 0);
    ASSERT_EQ(symlink("folder.png", path("folder-link.png").c_str()), 0);

    const Names pictures = picturesInFolder(dir.string(), takesPictures);
    const Names expected = {path("A.exr"),    path("b.JPG"),     path("c.hdr"),   path("img1.png"),
                            path("img2.png"), path("img10.png"), path("link.png")};
    ASSERT_EQ(pictures, expected);

    struct Step {
        std::string from;
        long steps;
        std::string to;
    };
    const std::string last = path("link.png");
    const Step steps[] = {
        {path("img2.png"), 1, path("img10.png")},
        {path("img2.png"), -1, path("img1.png")},
        {path("img2.png"), 0, path("img2.png")},
        {path("b.JPG"), 3, path("img2.png")},
        {path("img10.png"), 5, last},
        {path("c.hdr"), -10, path("A.exr")},
        // Home and End, then one more step beyond each.
        {pictures.front(), -1, path("A.exr")},
        {pictures.back(), 1, last},
        {path("A.exr"), -2147483647L - 1, path("A.exr")},
        {path("A.exr"), 2147483647L, last},
        // Not listed: the text file and a removed picture stand between their neighbours.
        {path("notes.txt"), 1, last},
        {path("notes.txt"), -1, last},
        {path("img3.png"), 1, path("img10.png")},
        {path("img3.png"), -1, path("img2.png")},
        {path("img3.png"), 0, path("img10.png")},
        {path("img3.png"), 2, last},
        {path("0.png"), -1, path("A.exr")},
        {path("0.png"), 1, path("A.exr")},
        {path("zz.png"), 1, last},
        {path("zz.png"), -1, last},
        // Matched by name, whatever the folder's spelling.
        {dir.string() + "/./img1.png", 1, path("img2.png")},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(pictureStepsAway(pictures, step.from, step.steps), step.to)
            << step.from << " by " << step.steps;
    }
    EXPECT_TRUE(placeInFolder(pictures, path("img10.png")).listed);
    EXPECT_EQ(placeInFolder(pictures, path("img10.png")).index, 5u);
    EXPECT_FALSE(placeInFolder(pictures, path("img3.png")).listed);
    EXPECT_EQ(pictureStepsAway({}, path("img1.png"), 1), "");

    // Names are joined to the folder as given; "" is the current folder.
    const std::string saved = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    const Names here = picturesInFolder("", takesPictures);
    std::filesystem::current_path(saved);
    ASSERT_EQ(here.size(), expected.size());
    EXPECT_EQ(here.front(), "A.exr");
}

TEST_F(PictureFolder, UnlistableFolderNamesIt) {
    const std::string missing = path("missing");
    EXPECT_EQ(errorOf([&] { picturesInFolder(missing, takesPictures); }),
              "Failed to list folder '" + missing + "': No such file or directory");
    const std::string file = put("file.png", "x");
    EXPECT_EQ(errorOf([&] { picturesInFolder(file, takesPictures); }),
              "Failed to list folder '" + file + "': Not a directory");
}

} // namespace
