#include "CodecReaders.h"
#include "ReaderModule.h"
#include "Readers.h"

namespace {

using reader_module::ModuleFormat;

#ifdef MAROVEX_MODULES_LINKED
#define MAROVEX_LINKED(reader, prober) reader, prober
#else
#define MAROVEX_LINKED(reader, prober) nullptr, nullptr
#endif

const ModuleFormat avif{"marovex-avif.so", "marovexAvifRead", "marovexAvifProbe",
                        MAROVEX_LINKED(avif_reader::read, avif_reader::probe)};
const ModuleFormat heif{"marovex-heif.so", "marovexHeifRead", "marovexHeifProbe",
                        MAROVEX_LINKED(heif_reader::read, heif_reader::probe)};
const ModuleFormat jxl{"marovex-jxl.so", "marovexJxlRead", "marovexJxlProbe",
                       MAROVEX_LINKED(jxl_reader::read, jxl_reader::probe)};
const ModuleFormat raw{"marovex-raw.so", "marovexRawRead", "marovexRawProbe",
                       MAROVEX_LINKED(camera_raw::read, camera_raw::probe)};

} // namespace

Picture readAvif(const std::string& path, const SizeLimit& limit) {
    return reader_module::read(avif, path, limit);
}

PictureInfo probeAvif(const std::string& path, const SizeLimit& limit) {
    return reader_module::probe(avif, path, limit);
}

Picture readHeif(const std::string& path, const SizeLimit& limit) {
    return reader_module::read(heif, path, limit);
}

PictureInfo probeHeif(const std::string& path, const SizeLimit& limit) {
    return reader_module::probe(heif, path, limit);
}

Picture readJxl(const std::string& path, const SizeLimit& limit) {
    return reader_module::read(jxl, path, limit);
}

PictureInfo probeJxl(const std::string& path, const SizeLimit& limit) {
    return reader_module::probe(jxl, path, limit);
}

Picture readCameraRaw(const std::string& path, const SizeLimit& limit) {
    return reader_module::read(raw, path, limit);
}

PictureInfo probeCameraRaw(const std::string& path, const SizeLimit& limit) {
    return reader_module::probe(raw, path, limit);
}
