#pragma once

#include <GL/glew.h>

// Restores the client pixel-store state (alignment, row length) however the scope is left:
// Qt's glyph uploads for the overlay text rely on the defaults, and their letters come out
// sheared otherwise.
struct ClientPixelStoreScope {
    ClientPixelStoreScope() { glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT); }
    ~ClientPixelStoreScope() { glPopClientAttrib(); }
    ClientPixelStoreScope(const ClientPixelStoreScope&) = delete;
    ClientPixelStoreScope& operator=(const ClientPixelStoreScope&) = delete;
};
