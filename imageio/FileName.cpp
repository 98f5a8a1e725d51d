#include "FileName.h"

#include <boost/algorithm/string/predicate.hpp>

bool hasSuffix(const std::string& path, const std::string& suffix) {
    return boost::algorithm::iends_with(path, suffix);
}
