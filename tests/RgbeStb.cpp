// The reference decoder of the interoperability tests, compiled from the packaged header.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_HDR
#include <stb/stb_image.h>
