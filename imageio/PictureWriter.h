#pragma once

#include <string>

// Saves `pixels` (w * h * channels bytes, row 0 first) by the path's extension: ".hdr" takes
// RGBE quadruples, "-" or ".ppm" with 3 channels a binary PPM (to standard output for "-"),
// ".jpg" with 3 channels JPEG at quality 95, anything else CImg. Throws std::runtime_error.
void saveImage(const std::string& path, int w, int h, int channels, const unsigned char* pixels);

// Saves w * h interleaved RGB values through CImg, which picks the format by the extension.
template <typename T> void saveRgb(const std::string& path, int w, int h, const T* values);

// Saves w * h interleaved RGB values of linear light as an OpenEXR file of half floats, row 0
// first, through OpenImageIO. Throws "Failed to write file '%s': %s" with its message.
void saveLinearExr(const std::string& path, int w, int h, const float* rgb);
