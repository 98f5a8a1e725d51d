#pragma once

#include "CimgSupport.h"
#include "Picture.h"

#include <string>

// Any channel count and 8 or 16 bits as an 8-bit RGB picture: grey is repeated, alpha and
// further channels dropped, 16-bit values scaled down. An empty picture is "No picture in
// '%s'"; one beyond `limit` the size error.
Picture rgb8FromCimg(const cimg_library::CImg<unsigned short>& picture, bool sixteenBits,
                     const std::string& path, const SizeLimit& limit);
