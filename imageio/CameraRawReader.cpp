#include "CodecReaders.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <stdexcept>

namespace camera_raw {

Picture read(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

PictureInfo probe(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

} // namespace camera_raw

BOOST_DLL_ALIAS(camera_raw::read, marovexRawRead)
BOOST_DLL_ALIAS(camera_raw::probe, marovexRawProbe)
