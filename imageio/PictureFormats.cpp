#include "PictureFormats.h"

#include "FileName.h"
#include "Readers.h"

namespace {

Picture readStandardInputNamed(const std::string&, const SizeLimit& limit) {
    return readStandardInput(limit);
}

} // namespace

const std::vector<PictureFormat>& pictureFormats() {
    static const std::vector<PictureFormat> formats = {
        {"RADIANCE", "HDR Image", {".hdr"}, nullptr, {"image/vnd.radiance", "image/x-hdr"},
         readRadiance, probeRadiance, true, nullptr},
        {"JPEG", "JPEG Image", {".jpg", ".jpeg", ".jpe"}, nullptr, {"image/jpeg"}, readJpeg,
         probeJpeg, false, nullptr},
        {"OpenEXR", "OpenEXR Image", {".exr"}, nullptr, {"image/x-exr"}, readOiio, probeOiio,
         false, "openexr"},
        {"TIFF", "TIFF Image", {".tif", ".tiff"}, nullptr, {"image/tiff"}, readOiio, probeOiio,
         false, "tiff"},
        {"PFM", "PFM Image", {".pfm"}, nullptr, {"image/x-portable-floatmap"}, readOiio,
         probeOiio, false, "pnm"},
        {"PNG", "PNG Image", {".png"}, nullptr, {"image/png"}, readPng, probePng, false, nullptr},
        {"PNM", "PNM Image", {".ppm", ".pgm", ".pbm", ".pnm"}, nullptr,
         {"image/x-portable-pixmap", "image/x-portable-graymap", "image/x-portable-bitmap",
          "image/x-portable-anymap"},
         readPnmFile, probePnmFile, false, nullptr},
        // The embedded JPEG through dcraw and djpeg: its size shows only once it is decoded.
        {"Canon raw preview", "Canon Raw Preview", {".cr2"}, nullptr, {"image/x-canon-cr2"},
         readRawPreview, nullptr, false, nullptr},
        {"BMP", "BMP Image", {".bmp", ".dib"}, nullptr, {"image/bmp"}, readOiio, probeOiio, false,
         "bmp"},
        {"GIF", "GIF Image", {".gif"}, nullptr, {"image/gif"}, readOiio, probeOiio, false, "gif"},
        {"Targa", "Targa Image", {".tga"}, nullptr, {"image/x-tga"}, readOiio, probeOiio, false,
         "targa"},
        {"WebP", "WebP Image", {".webp"}, nullptr, {"image/webp"}, readOiio, probeOiio, false,
         "webp"},
        {"SGI", "SGI Image", {".sgi"}, nullptr, {"image/x-sgi"}, readOiio, probeOiio, false,
         "sgi"},
        {"AVIF", "AVIF Image", {".avif"}, nullptr, {"image/avif"}, readAvif, probeAvif, false,
         nullptr},
        {"HEIF", "HEIF Image", {".heic", ".heif", ".hif"}, nullptr, {"image/heic", "image/heif"},
         readHeif, probeHeif, false, nullptr},
        {"JPEG XL", "JPEG XL Image", {".jxl"}, nullptr, {"image/jxl"}, readJxl, probeJxl, false,
         nullptr},
        {"Camera raw",
         "Camera Raw",
         {".dng", ".cr3", ".nef", ".arw", ".raf", ".orf", ".rw2", ".pef", ".srw"},
         nullptr,
         {"image/x-adobe-dng", "image/x-canon-cr3", "image/x-nikon-nef", "image/x-sony-arw",
          "image/x-fuji-raf", "image/x-olympus-orf", "image/x-panasonic-rw2",
          "image/x-pentax-pef", "image/x-samsung-srw"},
         readCameraRaw,
         probeCameraRaw,
         false,
         nullptr},
        // A stream: read once, so nothing is probed.
        {"PNM on standard input", nullptr, {}, "-", {}, readStandardInputNamed, nullptr, true,
         nullptr},
    };
    return formats;
}

const PictureFormat* pictureFormatOf(const std::string& path) {
    for (const PictureFormat& format : pictureFormats()) {
        if (format.wholeName != nullptr && path == format.wholeName) {
            return &format;
        }
        for (const char* suffix : format.suffixes) {
            if (hasSuffix(path, suffix)) {
                return &format;
            }
        }
    }
    return nullptr;
}

bool readsName(const std::string& path) {
    return pictureFormatOf(path) != nullptr;
}

std::string openDialogFilter() {
    std::string all;
    std::string entries;
    for (const PictureFormat& format : pictureFormats()) {
        if (format.dialogName == nullptr) {
            continue;
        }
        std::string patterns;
        for (const char* suffix : format.suffixes) {
            patterns += (patterns.empty() ? "*" : " *") + std::string(suffix);
        }
        all += (all.empty() ? "" : " ") + patterns;
        entries += ";;" + std::string(format.dialogName) + " (" + patterns + ")";
    }
    return "Supported Images (" + all + ")" + entries;
}

std::string desktopMimeTypes() {
    std::string types;
    for (const PictureFormat& format : pictureFormats()) {
        for (const char* type : format.mimeTypes) {
            types += std::string(type) + ";";
        }
    }
    return types;
}
