#pragma once

#include "Picture.h"
#include "PictureFormats.h"

#include <string>

// The readers that live in modules (ReaderModule.h), one namespace per module; each module's
// source exports its pair under the aliases CodecModules.cpp names. Each reader checks the
// header's size against `limit` and the memory budget before it allocates and turns its
// library's failures into std::runtime_error naming the file.
namespace avif_reader { // marovex-avif.so, libavif
Picture read(const std::string& path, const SizeLimit& limit);
PictureInfo probe(const std::string& path, const SizeLimit& limit);
} // namespace avif_reader

namespace heif_reader { // marovex-heif.so, libheif
Picture read(const std::string& path, const SizeLimit& limit);
PictureInfo probe(const std::string& path, const SizeLimit& limit);
} // namespace heif_reader

namespace jxl_reader { // marovex-jxl.so, libjxl
Picture read(const std::string& path, const SizeLimit& limit);
PictureInfo probe(const std::string& path, const SizeLimit& limit);
} // namespace jxl_reader

namespace camera_raw { // marovex-raw.so, LibRaw
Picture read(const std::string& path, const SizeLimit& limit);
PictureInfo probe(const std::string& path, const SizeLimit& limit);
} // namespace camera_raw
