#pragma once

#include <cstdio>
#include <memory>
#include <string>

// A C stdio file that closes itself.
using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

// fopen; failure throws "Failed to open file '%s': %s" with the system's text.
File openFile(const std::string& path, const char* mode);

// Closes a file that was written to. A full disk shows only in the error flag or in the
// close, so either throws "Failed to write file '%s': %s" rather than pass as success.
void closeWritten(File file, const std::string& path);
