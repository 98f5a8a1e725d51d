#pragma once

#include <string>

// The order of file names a person expects: runs of digits compare by their value ("img2"
// before "img10", of any length), ASCII letters without regard to case, other bytes (UTF-8
// above 127 among them) by their value, a digit run standing where a '0' would. Names equal
// so far ("a01" and "a1", "A" and "a") are ordered by their bytes, so that distinct names
// never compare equal: a strict total order, fit for std::sort and binary searches.
bool naturalLess(const std::string& a, const std::string& b);
