#include "OiioModule.h"

#include "OiioHeader.h"

#include <boost/dll/alias.hpp>

#include <exception>
#include <stdexcept>

namespace oiio_module {

// The module's reader up to where it allocates the picture: the same opening and checks, so
// the same errors.
PictureInfo probe(const std::string& path, const SizeLimit& limit) {
    try {
        return oiio_header::openChecked(path, limit).info;
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        throw oiio_header::readFailure(path, error.what());
    }
}

} // namespace oiio_module

BOOST_DLL_ALIAS(oiio_module::probe, marovexOiioProbe)
