#include "OiioModule.h"

#include "CFile.h"
#include "FileName.h"
#include "OiioHeader.h"
#include "PanoramaMetadata.h"

#include <OpenImageIO/imageio.h>
#include <boost/dll/alias.hpp>
#include <fmt/printf.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

// The module's reader up to where it allocates the picture: the same opening, the same
// checks in the same order, so the same errors.
PictureInfo probeOiioPicture(const std::string& path, const SizeLimit& limit) {
    const char* const format = oiio_module::formatOf(path);
    if (format == nullptr) {
        throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
    }
    openFile(path, "rb");
    const bool tagged = hasSuffix(path, ".tif") || hasSuffix(path, ".tiff");
    const PanoramaMetadata metadata = tagged ? readPanoramaMetadata(path) : PanoramaMetadata();
    oiio_header::checkBeforeOpening(format, path, limit);
    std::unique_ptr<OIIO::ImageInput> input = OIIO::ImageInput::create(format);
    if (!input) {
        throw oiio_header::readFailure(path, OIIO::geterror());
    }
    OIIO::ImageSpec opened;
    if (!input->open(path, opened)) {
        throw oiio_header::readFailure(path, input->geterror());
    }
    const oiio_header::Selection selection = oiio_header::choose(*input, path);
    return oiio_header::checkSelection(selection, metadata, path, limit);
}

} // namespace

namespace oiio_module {

PictureInfo probe(const std::string& path, const SizeLimit& limit) {
    try {
        return probeOiioPicture(path, limit);
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        throw oiio_header::readFailure(path, error.what());
    }
}

} // namespace oiio_module

BOOST_DLL_ALIAS(oiio_module::probe, marovexOiioProbe)
