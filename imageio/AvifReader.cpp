#include "CodecReaders.h"

#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <stdexcept>

namespace avif_reader {

Picture read(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

PictureInfo probe(const std::string& path, const SizeLimit&) {
    throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
}

} // namespace avif_reader

BOOST_DLL_ALIAS(avif_reader::read, marovexAvifRead)
BOOST_DLL_ALIAS(avif_reader::probe, marovexAvifProbe)
