#pragma once

#include "Picture.h"

#include <string>

// One reader per road of readPicture; each checks sizes against `limit` before allocating.
Picture readRadiance(const std::string& path, const SizeLimit& limit);
// OpenEXR, TIFF and PFM through OpenImageIO.
Picture readOiio(const std::string& path, const SizeLimit& limit);
Picture readJpeg(const std::string& path, const SizeLimit& limit);
Picture readRawPreview(const std::string& path, const SizeLimit& limit);
Picture readStandardInput(const SizeLimit& limit);
Picture readGeneric(const std::string& path, const SizeLimit& limit);
