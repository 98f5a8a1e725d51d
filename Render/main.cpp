// marovex-render: one view of a picture, drawn offscreen through the viewer's program and
// saved as a file. See renderHelp for the usage.
#include "GainMapSetting.h"
#include "PictureReader.h"
#include "PixelMemory.h"
#include "RenderBatch.h"
#include "RenderOptions.h"
#include "RenderView.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

MAROVEX_RESTART_EARLY

int main(int argc, char** argv) {
    RenderOptions options;
    try {
        options = parseRenderOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        reportLine(error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(renderHelp, stdout);
        return 0;
    }
    setGainMapsApplied(options.gainMaps);
    if (!options.outputDir.empty()) {
        return renderBatch(options, argv[0]);
    }
    try {
        // Before any display or GL set-up, so that a mistyped name costs nothing; without
        // opening the name, which would wait for ever on a FIFO.
        checkPictureFile(options.input);
        renderView(options, argv[0]);
    } catch (const std::exception& error) {
        reportLine(error.what());
        return 1;
    }
    return 0;
}
