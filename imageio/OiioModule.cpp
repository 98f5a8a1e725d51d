#include "OiioModule.h"

#include "ExeDir.h"
#include "Readers.h"
#include "Stopwatch.h"
#include "rgbe.h"

#include <boost/dll/shared_library.hpp>
#include <fmt/printf.h>

#include <exception>
#include <stdexcept>
#include <utility>

namespace oiio_module {

namespace {

#ifndef MAROVEX_OIIO_LINKED
struct Loaded {
    boost::dll::shared_library library;
    Reader* read;
    ExrWriter* writeExr;
    Prober* probe;
};

const Loaded& loaded() {
    // Never unloaded: pictures and errors it made may outlive any static, and leak reports
    // need its frames. A failed load throws before the static is set, and is tried again.
    static const Loaded* const module = [] {
        const std::string path = besideExecutable("marovex-oiio.so", MAROVEX_INSTALLED_MODULES);
        try {
            boost::dll::shared_library library(path, boost::dll::load_mode::rtld_lazy |
                                                         boost::dll::load_mode::rtld_local);
            Reader& read = library.get_alias<Reader>(readerName);
            ExrWriter& writeExr = library.get_alias<ExrWriter>(exrWriterName);
            Prober& probe = library.get_alias<Prober>(proberName);
            return new Loaded{std::move(library), &read, &writeExr, &probe};
        } catch (const std::exception& error) {
            throw std::runtime_error(
                fmt::sprintf("the OpenImageIO module '%s' did not load: %s", path, error.what()));
        }
    }();
    return *module;
}

template <typename Function>
Function& entry(Function* Loaded::*function, const char* failure, const std::string& path) {
    try {
        return *(loaded().*function);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(fmt::sprintf(failure, path, error.what()));
    }
}
#endif

} // namespace

// The one reader each suffix may use. ImageInput::open would try every other reader on a file
// its own refuses, the movie and camera raw decoders among them.
const char* formatOf(const std::string& path) {
    const PictureFormat* format = pictureFormatOf(path);
    return format != nullptr ? format->oiioName : nullptr;
}

#ifdef MAROVEX_OIIO_LINKED
// Fuzz and sanitizer builds link the module's code into their programs, instrumented with
// them.
bool loadsOnDemand() {
    return false;
}

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
bool loadsOnDemand() {
    return true;
}

Reader& reader(const std::string& path) {
    return entry(&Loaded::read, "Failed to read file '%s': %s", path);
}

ExrWriter& exrWriter(const std::string& path) {
    return entry(&Loaded::writeExr, "Failed to write file '%s': %s", path);
}

Prober& prober(const std::string& path) {
    return entry(&Loaded::probe, "Failed to read file '%s': %s", path);
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
    if (picture.encoding == PixelEncoding::Rgbe) {
        picture.scale = rgbe::exposureScale(rgbe::stats(
            picture.pixels.get(), static_cast<unsigned long>(picture.width) * picture.height, 1));
        stopwatch.lap("stats");
    }
    return picture;
}

PictureInfo probeOiio(const std::string& path, const SizeLimit& limit) {
    if (!oiioTakes(path)) {
        throw std::runtime_error(fmt::sprintf("Unsupported picture format: '%s'", path));
    }
    return oiio_module::prober(path)(path, limit);
}
