#pragma once

#include "PictureFormats.h"

#include <string>

// The readers of the format table (PictureFormats.cpp); each checks sizes against `limit`
// before allocating. Each probe reads no more than its reader's header and fails as its reader
// would on it.
Picture readRadiance(const std::string& path, const SizeLimit& limit);
PictureInfo probeRadiance(const std::string& path, const SizeLimit& limit);
// OpenEXR, TIFF, PFM, BMP, GIF, Targa, WebP and SGI through OpenImageIO, each by the one
// reader its suffix names; any other suffix is "Unsupported picture format: '%s'".
Picture readOiio(const std::string& path, const SizeLimit& limit);
PictureInfo probeOiio(const std::string& path, const SizeLimit& limit);
// Whether readOiio has a reader for the name's suffix.
bool oiioTakes(const std::string& path);
Picture readPng(const std::string& path, const SizeLimit& limit);
PictureInfo probePng(const std::string& path, const SizeLimit& limit);
// .ppm, .pgm, .pbm and .pnm files.
Picture readPnmFile(const std::string& path, const SizeLimit& limit);
PictureInfo probePnmFile(const std::string& path, const SizeLimit& limit);
// .jpg, .jpeg and .jpe, turned upright by their EXIF orientation.
Picture readJpeg(const std::string& path, const SizeLimit& limit);
PictureInfo probeJpeg(const std::string& path, const SizeLimit& limit);
// Through the modules of CodecReaders.h: .avif; .heic, .heif and .hif; .jxl; and the camera
// raws of the "Camera raw" row.
Picture readAvif(const std::string& path, const SizeLimit& limit);
PictureInfo probeAvif(const std::string& path, const SizeLimit& limit);
Picture readHeif(const std::string& path, const SizeLimit& limit);
PictureInfo probeHeif(const std::string& path, const SizeLimit& limit);
Picture readJxl(const std::string& path, const SizeLimit& limit);
PictureInfo probeJxl(const std::string& path, const SizeLimit& limit);
Picture readCameraRaw(const std::string& path, const SizeLimit& limit);
PictureInfo probeCameraRaw(const std::string& path, const SizeLimit& limit);
Picture readRawPreview(const std::string& path, const SizeLimit& limit);
Picture readStandardInput(const SizeLimit& limit);
