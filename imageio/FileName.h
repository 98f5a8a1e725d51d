#pragma once

#include <string>

// True when `path` ends in `suffix` (such as ".hdr"), in any case.
bool hasSuffix(const std::string& path, const std::string& suffix);
