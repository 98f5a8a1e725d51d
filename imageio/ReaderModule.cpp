#include "ReaderModule.h"

#include "Diagnostics.h"
#include "ExeDir.h"
#include "GainMapSetting.h"
#include "Stopwatch.h"
#include "rgbe.h"

#include <boost/dll/shared_library.hpp>
#include <fmt/printf.h>

#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>

namespace reader_module {

bool loadsOnDemand() {
#ifdef MAROVEX_MODULES_LINKED
    return false;
#else
    return true;
#endif
}

#ifdef MAROVEX_MODULES_LINKED
void* symbol(const char*, const char* alias, const std::string&, const char*) {
    throw std::logic_error(fmt::sprintf("'%s' asked of a build that links modules in", alias));
}
#else
void* symbol(const char* fileName, const char* alias, const std::string& path,
             const char* failure) {
    // Never unloaded: pictures and errors a module made may outlive any static, and leak
    // reports need its frames. A failed load leaves no entry, and is tried again.
    static std::mutex mutex;
    static std::map<std::string, boost::dll::shared_library*> modules;
    std::lock_guard<std::mutex> lock(mutex);
    try {
        auto found = modules.find(fileName);
        if (found == modules.end()) {
            const std::string where = besideExecutable(fileName, MAROVEX_INSTALLED_MODULES);
            try {
                auto* library = new boost::dll::shared_library(
                    where, boost::dll::load_mode::rtld_lazy | boost::dll::load_mode::rtld_local);
                library->get_alias<Init>(initName)(Host{&gainMapsApplied, &diagnostic});
                found = modules.emplace(fileName, library).first;
            } catch (const std::exception& error) {
                throw std::runtime_error(
                    fmt::sprintf("the module '%s' did not load: %s", where, error.what()));
            }
        }
        return found->second->get<void*>(alias);
    } catch (const std::exception& error) {
        throw std::runtime_error(fmt::sprintf(failure, path, error.what()));
    }
}
#endif

void setExposureScale(Picture& picture) {
    if (picture.encoding == PixelEncoding::Rgbe) {
        Stopwatch stopwatch;
        picture.scale = rgbe::exposureScale(rgbe::stats(
            picture.pixels.get(), static_cast<unsigned long>(picture.width) * picture.height, 1));
        stopwatch.lap("stats");
    }
}

Picture read(const ModuleFormat& format, const std::string& path, const SizeLimit& limit) {
    Stopwatch stopwatch;
    Reader& reader = format.linkedRead != nullptr
                         ? *format.linkedRead
                         : entry<Reader>(format.fileName, format.readAlias, path);
    Picture picture = reader(path, limit);
    stopwatch.lap("read");
    // Here rather than in the module, whose own copy of this library would say it elsewhere.
    setExposureScale(picture);
    return picture;
}

PictureInfo probe(const ModuleFormat& format, const std::string& path, const SizeLimit& limit) {
    Prober& prober = format.linkedProbe != nullptr
                         ? *format.linkedProbe
                         : entry<Prober>(format.fileName, format.probeAlias, path);
    return prober(path, limit);
}

} // namespace reader_module
