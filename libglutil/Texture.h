#pragma once

#include <GL/glew.h>

#include "Picture.h"

#include <string>
#include <vector>

// One picture on the graphics card: one GL texture, or two side by side when the picture is
// wider than the card allows. Every operation needs the creating GL context current.
class Texture {
public:
    // Null data allocates the pieces without uploading anything.
    Texture(int width, int height, const float* data, int internalFormat, int format);
    Texture(int width, int height, const unsigned short* data, int internalFormat, int format);
    Texture(int width, int height, const unsigned char* data, int internalFormat, int format);
    // Reads a picture file with readPicture, checked against this card's limit, and uploads
    // it. Throws std::runtime_error.
    explicit Texture(const std::string& path);
    // Uploads a decoded picture: on OpenGL 3 and later as one texture up to the card's limit
    // with a mip pyramid of radiance, else as setup does. The moving form releases the
    // picture's bytes as soon as they are no longer needed. Throws std::runtime_error.
    explicit Texture(const Picture& picture);
    explicit Texture(Picture&& picture);
    // Uploads the levels mipLevels made (level 0 alone where there is no mip pyramid, or for
    // pixels the upload refuses) as Texture(Picture&&) does, letting go of each level's bytes
    // once the next is on its way. Throws std::runtime_error.
    explicit Texture(std::vector<Picture>&& levels);
    enum class Texels { Later };
    // Makes the card's storage for these mip levels (level 0 first, as mipLevels makes them)
    // and takes the picture's exposure scale, without a texel: firstLevel is `levels` until a
    // TextureUpload has filled it. Needs OpenGL 3. Throws std::runtime_error.
    Texture(const std::vector<Picture>& levels, Texels);
    // The same from a picture's size alone, before its pixels exist: the caller sets
    // radianceShift and takes the picture's scale once they do.
    Texture(int width, int height, PixelEncoding encoding, Texels);
    ~Texture();

    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    // Creates and uploads the pieces; called once per object. Throws std::runtime_error.
    void setup(int width, int height, int internalFormat, int format, unsigned type,
               const void* data);

    // The widest or highest piece this card takes here (its limit, at most 8192).
    static int pieceLimit();
    // The largest picture a Texture(const Picture&) takes on this card, for readers to check
    // before they allocate.
    static SizeLimit sizeLimit();
    // Throws the "Maximum texture size" error for a picture setup would refuse.
    static void checkSize(long width, long height);
    // Whether pictures get a mip pyramid here (OpenGL 3 and later).
    static bool mipmapped();

    unsigned glType(const float*) const { return GL_FLOAT; }
    unsigned glType(const unsigned short*) const { return GL_UNSIGNED_SHORT; }
    unsigned glType(const unsigned char*) const { return GL_UNSIGNED_BYTE; }

    // Binds the pieces to consecutive units from `firstUnit`, leaves `firstUnit` active and
    // returns the first unit after them, so that calls chain.
    unsigned bind(unsigned firstUnit) const;
    // Whether the filter of the levels above the tiles wraps round the 360-degree edge (the
    // spherical views) or stops at the picture's sides. Binds the texture to the active unit.
    void wrapColumns(bool wrap) const;
    // Makes the left (or only) piece the render target; the framebuffer stays bound.
    void bindFB() const;
    void clear();

    // Reads the rectangle back from the framebuffer and saves it, row 0 first; a w or h of 0
    // reaches to the right or top edge. ".hdr" takes the bytes as RGBE; other extensions go to
    // CImg with components of type T (float, unsigned short or unsigned char).
    template <typename T> void save(const std::string& path, int x, int y, int w, int h) const;

    GLuint glTextures[2] = {0, 0};
    // Mip levels of the picture: 1 unless it was uploaded with its pyramid. Levels below
    // tileLevels (0 or 1) are tiles of texWidth x texHeight, the layers of the array texture
    // glTextures[1], tileColumns to a row; the rest are the levels of glTextures[0].
    int levels = 1;
    int tileLevels = 0;
    // The level from which on every level is on the card (`levels` while none is); the shader
    // reads none below it. 0 except while a TextureUpload fills the texture.
    int firstLevel = 0;
    int tileColumns = 1;
    int tileRows = 1;
    int numTextures = 0;
    mutable GLuint framebuffer = 0;
    int width = 0;
    int height = 0;
    int texWidth = 0;
    int texHeight = 0;
    // The pieces hold radiance (RGBE bytes, or floating point) rather than display values.
    bool hdr = false;
    // Radiance with a mip pyramid goes up as GL_RGB9_E5 texels (SharedExponent.h), which the
    // card filters: the radiance is their value times 2^radianceShift.
    bool sharedExponent = false;
    int radianceShift = 0;
    double scaleMean = 0.0;
    double scaleMin = 0.0;
    double scaleMax = 0.0;

    // The picture's exposure scale factors; its other metadata is PictureMetadata's.
    void takeScale(const Picture& picture);

private:
    void makeStorage(const std::vector<Picture>& levels);
    // `ready`, when given, holds the levels from 0 on; they are made here otherwise.
    void upload(const Picture& picture, Picture* owned, std::vector<Picture>* ready = nullptr);
    static void checkEncoding(const Picture& picture);
    void deletePieces();
    // Sizes, level count and names of a picture with mip levels; returns the card's limit.
    GLint beginPyramid(const Picture& picture, const std::vector<Picture>* ready);
    void setupPyramid(const Picture& picture, Picture* owned, std::vector<Picture>* ready);
    void allocateTiles(const Picture& picture, int max);
    void allocateLevels(const Picture& picture, int max, const std::vector<Picture>& ready);
    void uploadLevels(const Picture& picture, Picture* owned, int max, std::vector<Picture>* ready);
};
