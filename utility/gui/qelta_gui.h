#pragma once

#include <string>

namespace utility::gui {

struct GuiOptions {
    // When set: search, render the main window and each dialog into PNG
    // files in this folder, then quit.
    std::string screenshotDir;
    // Monitor cycles run before its picture is taken: one is quick; a few
    // show the rates moving (the documentation's picture).
    unsigned monitorCycles = 1;
};

// True when a window can be shown (a display, or a Qt platform chosen).
bool guiAvailable();

// Runs the qelta window with the common start-up and the exit save; returns
// the exit code.
int runQeltaGui(int argc, char** argv, const GuiOptions& options);

} // namespace utility::gui
