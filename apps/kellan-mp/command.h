#pragma once

#include <string>
#include <vector>

namespace kellan_mp {

// `kellan-mp run [--yes]`: one board through the production sequence.
int runCommand(const std::vector<std::string>& arguments);

// The window (gui_qt.cpp), or nothing in a build without Qt (gui_none.cpp).
bool guiBuilt();
bool displayAvailable();
// Shows the window until it closes; with a folder, saves pictures of the
// pages there off screen instead. Exit status 0, or 1 when the program
// ended itself (no COM port) or the pictures could not be saved.
int runGui(int argc, char** argv, const std::string& screenshotDir);

} // namespace kellan_mp
