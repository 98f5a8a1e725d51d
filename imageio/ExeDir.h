#pragma once

#include <string>

// `name` joined to the directory of the running executable; `name` alone when that
// directory cannot be found.
std::string exeDir(const std::string& name);
