#pragma once

#include <string>

// `name` beside the running executable, or in ../share/marovex-viewer/ from there when only
// that one exists (an installed tree); the path beside the executable when neither exists, and
// `name` alone when the executable's directory cannot be found.
std::string exeDir(const std::string& name);

// `name` beside the running executable, or in the folder `installed` (relative to the
// executable's) when only that one exists; the path beside the executable when neither exists.
std::string besideExecutable(const std::string& name, const std::string& installed);
