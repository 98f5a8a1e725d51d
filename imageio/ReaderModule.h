#pragma once

#include "Picture.h"
#include "PictureFormats.h"

#include <string>

// Readers whose libraries bring many more (OpenImageIO, the AV1 and HEVC decoders, LibRaw)
// live in modules of their own: marovex-NAME.so beside the executable, or in the installed
// tree's library folder, loaded when a file first needs one and kept to the process's end, so
// that a start maps none of those libraries. Sanitizer and fuzz builds link them in instead
// (MAROVEX_MODULES_LINKED), instrumented with the rest.
namespace reader_module {

using Reader = Picture(const std::string& path, const SizeLimit& limit);

// What a module's own copy of the picture library takes from the program that loads it: the
// gain-map switch and the outlet of diagnostic lines. Every module exports `initName`
// (ModuleInit.cpp), called once with these when it is loaded.
struct Host {
    bool (*gainMapsApplied)();
    void (*diagnostic)(const std::string& line);
};
using Init = void(const Host& host);
constexpr const char* initName = "marovexModuleInit";
using Prober = PictureInfo(const std::string& path, const SizeLimit& limit);

// Whether this build loads modules on first use.
bool loadsOnDemand();

// The export `alias` of module `fileName` ("marovex-avif.so"), loading the module on the
// first call from any thread. When it cannot be loaded, throws `failure` formatted with
// `path` and the reason ("Failed to read file '%s': %s").
void* symbol(const char* fileName, const char* alias, const std::string& path,
             const char* failure);

template <typename Function>
Function& entry(const char* fileName, const char* alias, const std::string& path,
                const char* failure = "Failed to read file '%s': %s") {
    return *reinterpret_cast<Function*>(symbol(fileName, alias, path, failure));
}

// The reader and probe of one module format: the exports `readAlias` and `probeAlias` of
// `fileName`, or, in builds that link modules in, the functions themselves.
struct ModuleFormat {
    const char* fileName;
    const char* readAlias;
    const char* probeAlias;
    Reader* linkedRead;
    Prober* linkedProbe;
};

// Reads through the module and sets the exposure scale of RGBE pictures here, where the
// statistics line is said, with the "[T] read" and "[T] stats" lines.
Picture read(const ModuleFormat& format, const std::string& path, const SizeLimit& limit);
PictureInfo probe(const ModuleFormat& format, const std::string& path, const SizeLimit& limit);

// Sets picture.scale from its pixels when they are RGBE, timed as "stats".
void setExposureScale(Picture& picture);

} // namespace reader_module
