#pragma once

#include <string>

// `name` beside the running executable, or in ../share/marovex-viewer/ from there when only
// that one exists (an installed tree); the path beside the executable when neither exists, and
// `name` alone when the executable's directory cannot be found.
std::string exeDir(const std::string& name);
