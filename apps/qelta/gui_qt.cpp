#include "apps/qelta/command.h"
#include "utility/gui/qelta_gui.h"

namespace qelta {

bool guiBuilt() { return true; }

bool displayAvailable() { return utility::gui::guiAvailable(); }

int runGui(int argc, char** argv, const std::string& screenshotDir, unsigned monitorCycles)
{
    utility::gui::GuiOptions options;
    options.screenshotDir = screenshotDir;
    options.monitorCycles = monitorCycles;
    return utility::gui::runQeltaGui(argc, argv, options);
}

} // namespace qelta
