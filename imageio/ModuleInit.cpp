// Compiled into every reader module and nowhere else: the module's own copy of the picture
// library then follows the loading program's gain-map switch and says its diagnostic lines
// through the program's outlet (which a renderer without --timing keeps quiet).
#include "Diagnostics.h"
#include "GainMapSetting.h"
#include "ReaderModule.h"

#include <boost/dll/alias.hpp>

namespace reader_module {

void initModule(const Host& host) {
    followGainMapSetting(host.gainMapsApplied);
    void (*const say)(const std::string&) = host.diagnostic;
    setDiagnosticSink([say](const std::string& line) { say(line); });
}

} // namespace reader_module

BOOST_DLL_ALIAS(reader_module::initModule, marovexModuleInit)
