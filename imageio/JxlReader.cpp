#include "CodecReaders.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <stdexcept>

namespace jxl_reader {

Picture read(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

PictureInfo probe(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

} // namespace jxl_reader

BOOST_DLL_ALIAS(jxl_reader::read, marovexJxlRead)
BOOST_DLL_ALIAS(jxl_reader::probe, marovexJxlProbe)
