#pragma once

#include <string>
#include <vector>

namespace kellan_mp {

// `kellan-mp run [--yes] [--portio MODULE]`: one board through the production
// sequence. Ctrl+C ends it between two steps (exit status 130).
int runCommand(const std::vector<std::string>& arguments);

// The Option page without a window: shows its fields, or sets and applies
// them (exit status 1 when Apply refused a MAC field).
int optionsCommand(const std::vector<std::string>& arguments);
// The Option page's port check: 0 when the port opened, 1 when not.
int checkPortCommand(const std::vector<std::string>& arguments);
// "Test Item Selection": shows the items of item.dat, or selects and saves.
int itemsCommand(const std::vector<std::string>& arguments);

// `kellan-mp report`: boards per day, yield, failures per item, the MAC
// range, as text, JSON or an HTML page. `kellan-mp history MAC`: every run
// of one board. Exit status 1 when the records cannot be read (history: or
// hold nothing about the MAC).
int reportCommand(const std::vector<std::string>& arguments);
int historyCommand(const std::vector<std::string>& arguments);

// The window (gui_qt.cpp), or nothing in a build without Qt (gui_none.cpp).
bool guiBuilt();
bool displayAvailable();
// Shows the window until it closes; with a folder, saves pictures of the
// pages there off screen instead. Exit status 0, or 1 when the program
// ended itself (no COM port) or the pictures could not be saved.
int runGui(int argc, char** argv, const std::string& screenshotDir, const std::string& portIoArgument,
    const std::string& recordsUrl = {}, const std::string& station = {});

} // namespace kellan_mp
