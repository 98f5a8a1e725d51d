#pragma once

#include "Picture.h"
#include "PictureFormats.h"

#include <string>

// OpenImageIO, and the 260 libraries it brings, are mapped only when a file needs them: its
// reader and writer live in a module of their own (marovex-oiio.so beside the executable, or
// in the installed tree's library folder), loaded on first use and kept to the process's end.
// A start that opens a RADIANCE or JPEG file maps none of them (0.45 s here).
namespace oiio_module {

// What the module exports, under these names.
using Reader = Picture(const std::string& path, const SizeLimit& limit);
using ExrWriter = void(const std::string& path, int w, int h, const float* rgb);
using Prober = PictureInfo(const std::string& path, const SizeLimit& limit);
constexpr const char* readerName = "marovexOiioRead";
constexpr const char* exrWriterName = "marovexOiioWriteExr";
constexpr const char* proberName = "marovexOiioProbe";

// The OpenImageIO reader the format table gives the name's suffix ("openexr", "tiff", ...),
// or nullptr.
const char* formatOf(const std::string& path);

// The module's functions, loading it on the first call. When it cannot be loaded they throw
// "Failed to read file '%s': %s" or "Failed to write file '%s': %s" for `path`, naming it.
Reader& reader(const std::string& path);
ExrWriter& exrWriter(const std::string& path);
Prober& prober(const std::string& path);

// Defined in the module: readOiio's reader, an OpenEXR file of half floats, and probeOiio's
// header probe (OiioProbe.cpp).
Picture read(const std::string& path, const SizeLimit& limit);
void writeExr(const std::string& path, int w, int h, const float* rgb);
PictureInfo probe(const std::string& path, const SizeLimit& limit);

} // namespace oiio_module
