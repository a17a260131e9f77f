#pragma once

#include <string>

namespace utility::gui {

struct GuiOptions {
    // When set: search, render the main window and each dialog into PNG
    // files in this folder, then quit.
    std::string screenshotDir;
};

// True when a window can be shown (a display, or a Qt platform chosen).
bool guiAvailable();

// Runs the qelta window with the common start-up and the exit save; returns
// the exit code.
int runQeltaGui(int argc, char** argv, const GuiOptions& options);

} // namespace utility::gui
