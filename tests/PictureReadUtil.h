#pragma once

#include "Diagnostics.h"
#include "PictureReader.h"

#include <stdexcept>
#include <string>

// Reads through the format table without the diagnostic lines.
inline Picture quietRead(const std::string& file, const SizeLimit& limit = SizeLimit()) {
    const DiagnosticsSilenced quiet(true);
    return readPicture(file, limit);
}

// The text of the error reading `file` gives, or "no error".
inline std::string pictureError(const std::string& file, const SizeLimit& limit = SizeLimit()) {
    try {
        quietRead(file, limit);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}
