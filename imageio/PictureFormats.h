#pragma once

#include "Picture.h"

#include <string>
#include <vector>

// What a picture's header says of it, before any pixel is read. A width and height of 0 mean
// that the format cannot tell without decoding (raw previews, standard input, a pipe); the
// encoding then means nothing.
struct PictureInfo {
    int width = 0;
    int height = 0;
    PixelEncoding encoding = PixelEncoding::Rgb8;
};

// One format the readers take: the one list that the readers, the open dialog, drops, the
// folder listing, --help and the desktop entry are made from. Adding a format is adding a row
// and its reader's file.
struct PictureFormat {
    // As --help shows it: "RADIANCE", "JPEG", "OpenEXR".
    const char* name;
    // The open dialog's entry, "HDR Image"; nullptr for none.
    const char* dialogName;
    // Suffixes with their dot, in any case in file names.
    std::vector<const char*> suffixes;
    // The one whole name it takes instead ("-", standard input); nullptr for a suffix format.
    const char* wholeName;
    std::vector<const char*> mimeTypes;
    // Throws std::runtime_error naming the file; sizes are checked against `limit` and the
    // memory budget before the pixels are allocated.
    Picture (*read)(const std::string& path, const SizeLimit& limit);
    // Reads the header only and checks it as `read` would, with the same errors; nullptr where
    // the format cannot tell its size cheaply.
    PictureInfo (*probe)(const std::string& path, const SizeLimit& limit);
    // Whether the reader takes a FIFO or a device too (it bounds its own waits and reads);
    // for the other formats such names are refused before they are opened.
    bool takesStreams;
    // The OpenImageIO reader that reads it ("openexr"); nullptr for our own readers.
    const char* oiioName;
};

// Every format, in the open dialog's order. No suffix ends in another's, so that the order in
// which names are matched changes nothing.
const std::vector<PictureFormat>& pictureFormats();

// The format a name is read as, by its suffix (case-insensitive) or whole name; nullptr where
// no row takes it. readPicture judges such names by their first bytes still (PNG and PNM).
const PictureFormat* pictureFormatOf(const std::string& path);

// Whether pictureFormatOf knows the name: for folder listings and drops.
bool readsName(const std::string& path);

// The open dialog's filter in Qt's syntax, entries separated by ";;": first "Supported Images
// (*.hdr *.jpg ...)" with every suffix, then one entry per format with a dialog name.
std::string openDialogFilter();

// The desktop entry's MimeType value: every format's types, each followed by ';'.
std::string desktopMimeTypes();
