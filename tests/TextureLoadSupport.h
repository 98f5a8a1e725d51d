#pragma once

#include "Texture.h"

#include <jpeglib.h>

#include <filesystem>
#include <string>
#include <vector>

// A fresh folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path / name).string(); }

    std::filesystem::path path;
};

using Bytes = std::vector<unsigned char>;

void writeFile(const std::string& path, const Bytes& bytes);

// The message of the std::runtime_error that loading `path` throws, or "no exception".
std::string loadError(const std::string& path);
Bytes readFile(const std::string& path);

// Level 0 of the texture's first piece, `channels` (3 or 4) bytes per texel.
Bytes readTexture(const Texture& texture, int channels);

// A JPEG at quality 100 without chroma subsampling; `in` gives the layout of `pixels`
// (JCS_RGB, JCS_GRAYSCALE or JCS_CMYK), `stored` the colour space written to the file.
Bytes encodeJpeg(int width, int height, J_COLOR_SPACE in, J_COLOR_SPACE stored,
                 const Bytes& pixels);

// A flat RADIANCE file of RGBE bytes.
Bytes encodeRgbe(int width, int height, const Bytes& pixels);

// A little-endian TIFF with the maker "Canon" whose only content is `preview`, recorded as
// the JPEG thumbnail that raw converters extract.
Bytes encodeCanonRaw(const Bytes& preview);

// A binary PPM.
Bytes encodePpm(int width, int height, const Bytes& rgb);

// Runs `program` (this test program or a copy) with only `test` selected, telling it its
// mode and the file for its report through the environment, with `stdinPath` (when not
// empty) as standard input. Returns the exit status.
int runChild(const std::string& program, const std::string& test, const std::string& mode,
             const std::string& reportPath, const std::string& stdinPath = "");

// The child mode this process runs in; empty in the ordinary run.
std::string childMode();
// Where a child writes what it saw, for the parent to check.
void writeChildReport(const std::string& text);

// Largest difference between corresponding bytes; the sizes must agree.
int maxDifference(const Bytes& a, const Bytes& b);
