#include "apps/kellan-mp/command.h"
#include "mfg/gui/main_sheet.h"

namespace kellan_mp {

bool guiBuilt() { return true; }

bool displayAvailable() { return mfg::gui::guiAvailable(); }

int runGui(int argc, char** argv, const std::string& screenshotDir, const std::string& portIoArgument,
    const std::string& recordsUrl, const std::string& station)
{
    mfg::gui::GuiOptions options;
    options.screenshotDir = screenshotDir;
    options.portIoArgument = portIoArgument;
    options.recordsUrl = recordsUrl;
    options.station = station;
    return mfg::gui::runKellanGui(argc, argv, options);
}

} // namespace kellan_mp
