#pragma once

#include "Picture.h"

#include <string>

// The readers readPicture chooses among; each checks sizes against `limit` before allocating.
Picture readRadiance(const std::string& path, const SizeLimit& limit);
// OpenEXR, TIFF, PFM, BMP, GIF, Targa, WebP and .jpeg through OpenImageIO, each by the one
// reader its suffix names; any other suffix is "Unsupported picture format: '%s'".
Picture readOiio(const std::string& path, const SizeLimit& limit);
// Whether readOiio has a reader for the name's suffix.
bool oiioTakes(const std::string& path);
Picture readPng(const std::string& path, const SizeLimit& limit);
// .ppm, .pgm, .pbm and .pnm files.
Picture readPnmFile(const std::string& path, const SizeLimit& limit);
Picture readJpeg(const std::string& path, const SizeLimit& limit);
Picture readRawPreview(const std::string& path, const SizeLimit& limit);
Picture readStandardInput(const SizeLimit& limit);
// Names the other readers leave: OpenImageIO's suffixes, else PNG or PNM by their first bytes.
Picture readGeneric(const std::string& path, const SizeLimit& limit);
