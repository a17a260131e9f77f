#pragma once

#include "apps/cli/command_line.h"

#include <map>
#include <optional>
#include <string>

namespace kellan_mp {

// An option's value may not be empty: an empty module name or store would
// read as "not given".
CLI::Validator notEmpty();

// `kellan-mp run [--yes] [--portio MODULE] [--records URL] [--station NAME]`:
// one board through the production sequence, recorded. Ctrl+C ends it
// between two steps (exit status 130).
struct RunArguments {
    bool yes = false;
    std::string portIo;
    std::string records;
    std::string station; // empty: the host name
};
int runCommand(const RunArguments& arguments);

// The Option page without a window: shows its fields, or sets and applies
// them (exit status 1 when Apply refused a MAC field). `changes` maps an
// option's name without "--" to its value; `command` refuses a value only
// the page can judge (a port it does not list).
struct OptionsArguments {
    const CLI::App* command = nullptr;
    bool json = false;
    std::map<std::string, std::string> changes;
};
int optionsCommand(const OptionsArguments& arguments);
// The Option page's port check: 0 when the port opened, 1 when not.
struct CheckPortArguments {
    std::optional<std::string> port;
    std::string portIo;
};
int checkPortCommand(const CheckPortArguments& arguments);
// "Test Item Selection": shows the items of item.dat, or selects and saves.
struct ItemsArguments {
    bool json = false;
    std::optional<std::string> select;
};
int itemsCommand(const ItemsArguments& arguments);

// `kellan-mp report`: boards per day, yield, failures per item, the MAC
// range, as text, JSON or an HTML page. `kellan-mp history MAC`: every run
// of one board. Exit status 1 when the records cannot be read (history: or
// hold nothing about the MAC).
struct ReportArguments {
    std::string since; // YYYY-MM-DD, empty: every day
    std::string records;
    std::string html;
    bool json = false;
};
void declareReport(CLI::App& app, ReportArguments& arguments);
int reportCommand(const ReportArguments& arguments);
struct HistoryArguments {
    std::string mac;
    std::string records;
    bool json = false;
};
void declareHistory(CLI::App& app, HistoryArguments& arguments);
int historyCommand(const HistoryArguments& arguments);

// `kellan-mp records init|upgrade [--records URL]`: makes the records
// schema or brings it up to date, with a role that may create tables.
struct RecordsArguments {
    std::string action; // init or upgrade
    std::string records;
};
void declareRecords(CLI::App& app, RecordsArguments& arguments);
int recordsCommand(const RecordsArguments& arguments);

// The window (gui_qt.cpp), or nothing in a build without Qt (gui_none.cpp).
bool guiBuilt();
bool displayAvailable();
// Shows the window until it closes; with a folder, saves pictures of the
// pages there off screen instead. Exit status 0, or 1 when the program
// ended itself (no COM port) or the pictures could not be saved.
int runGui(int argc, char** argv, const std::string& screenshotDir, const std::string& portIoArgument,
    const std::string& recordsUrl = {}, const std::string& station = {});

} // namespace kellan_mp
