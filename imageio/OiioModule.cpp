#include "OiioModule.h"

#include "ReaderModule.h"
#include "Readers.h"
#include "Stopwatch.h"
#include "rgbe.h"

#include <fmt/printf.h>

#include <exception>
#include <stdexcept>
#include <utility>

namespace oiio_module {

// The one reader each suffix may use. ImageInput::open would try every other reader on a file
// its own refuses, the movie and camera raw decoders among them.
const char* formatOf(const std::string& path) {
    const PictureFormat* format = pictureFormatOf(path);
    return format != nullptr ? format->oiioName : nullptr;
}

#ifdef MAROVEX_MODULES_LINKED
// Fuzz and sanitizer builds link the module's code into their programs, instrumented with
// them.
Reader& reader(const std::string&) {
    return read;
}

ExrWriter& exrWriter(const std::string&) {
    return writeExr;
}

Prober& prober(const std::string&) {
    return probe;
}
#else
constexpr const char* moduleName = "marovex-oiio.so";

Reader& reader(const std::string& path) {
    return reader_module::entry<Reader>(moduleName, readerName, path);
}

ExrWriter& exrWriter(const std::string& path) {
    return reader_module::entry<ExrWriter>(moduleName, exrWriterName, path,
                                           "Failed to write file '%s': %s");
}

Prober& prober(const std::string& path) {
    return reader_module::entry<Prober>(moduleName, proberName, path);
}
#endif

} // namespace oiio_module

bool oiioTakes(const std::string& path) {
    return oiio_module::formatOf(path) != nullptr;
}

Picture readOiio(const std::string& path, const SizeLimit& limit) {
    // Refused without loading the module for a suffix none of its readers has.
    if (!oiioTakes(path)) {
        throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
    }
    Stopwatch stopwatch;
    Picture picture = oiio_module::reader(path)(path, limit);
    stopwatch.lap("read");
    // Here rather than in the module, whose own copy of this library would say it elsewhere.
    reader_module::setExposureScale(picture);
    return picture;
}

PictureInfo probeOiio(const std::string& path, const SizeLimit& limit) {
    if (!oiioTakes(path)) {
        throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
    }
    return oiio_module::prober(path)(path, limit);
}
