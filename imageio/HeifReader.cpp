#include "CodecReaders.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <stdexcept>

namespace heif_reader {

Picture read(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

PictureInfo probe(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

} // namespace heif_reader

BOOST_DLL_ALIAS(heif_reader::read, marovexHeifRead)
BOOST_DLL_ALIAS(heif_reader::probe, marovexHeifProbe)
