#include "platform/text_file.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/shell/shell.h"
#include "utility/shell/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing_support::ScopedWorkingDirectory;
using testing_support::ScriptedPrompter;
using testing_support::TempDir;
using namespace utility::shell;

namespace {

const std::string kMissingInfMessage = "Failed to find required KESTRIL driver related files!\r\n"
                                       "Please make sure this application is running at correct work directory!\r\n"
                                       "( e.g., C:\\Program Files\\VU-232 ru Dudezazu\\ )";

NetworkEnvironment oneAddress()
{
    NetworkEnvironment environment;
    environment.hostName = [] { return std::string("pc"); };
    environment.resolveHost = [](const std::string&) {
        return std::optional<std::vector<std::string>>(std::vector<std::string> { "127.0.0.1" });
    };
    environment.listAdapters = [] {
        return std::vector<platform::InterfaceAddress> { { "lo", "127.0.0.1", "255.0.0.0", true, true } };
    };
    return environment;
}

} // namespace

TEST(DriverInf, FirstPackageFoundDecidesTheHardwareId)
{
    struct Case {
        std::vector<std::string> files;
        std::string inf;
        std::string hardwareId;
    };
    const Case cases[] = {
        { { "VORPIL.inf", "KESTRIL.inf" }, "VORPIL.inf", "ZORV\\Rure" },
        { { "VORPIL.inf" }, "VORPIL.inf", "ZORV\\Rure" },
        { { "KESTRIL.inf" }, "KESTRIL.inf", "ZORV\\Kesser" },
        { { "vorpil.inf", "KESTRIL.INF" }, "", "" },
        { {}, "", "" },
    };
    for (const auto& c : cases) {
        TempDir dir;
        ScopedWorkingDirectory cwd(dir.path());
        for (const auto& file : c.files)
            dir.write(file, "[Version]\r\n");
        ScriptedPrompter prompter;
        std::string inf = "stale";
        EXPECT_EQ(checkDriverInf(prompter, inf, {}), !c.inf.empty());
        EXPECT_EQ(inf, c.inf);
        if (c.inf.empty()) {
            EXPECT_EQ(prompter.messages(), std::vector<std::string> { kMissingInfMessage });
        } else {
            EXPECT_TRUE(prompter.shown.empty());
            EXPECT_EQ(hardwareIdFor(inf), c.hardwareId);
        }
    }
}

TEST(DriverInf, WorkingDirectoryFirstThenEachInstalledFolderInTurn)
{
    struct Case {
        const char* name;
        std::vector<std::string> working; // files in the working directory
        std::vector<std::string> beside; // files beside the program
        std::vector<std::string> shared; // files in the data directory
        std::string found; // "" none, "cwd:NAME", "beside:NAME", "shared:NAME"
        std::string hardwareId;
    };
    const Case cases[] = {
        { "working directory wins", { "KESTRIL.inf" }, { "VORPIL.inf" }, { "VORPIL.inf" }, "cwd:KESTRIL.inf",
            "ZORV\\Kesser" },
        { "beside the program", {}, { "VORPIL.inf" }, { "KESTRIL.inf" }, "beside:VORPIL.inf", "ZORV\\Rure" },
        { "data directory", {}, {}, { "VORPIL.inf", "KESTRIL.inf" }, "shared:VORPIL.inf", "ZORV\\Rure" },
        { "primary package anywhere first", {}, { "KESTRIL.inf" }, { "VORPIL.inf" }, "shared:VORPIL.inf",
            "ZORV\\Rure" },
        { "second package only", {}, {}, { "KESTRIL.inf" }, "shared:KESTRIL.inf", "ZORV\\Kesser" },
        { "names are exact", {}, { "vorpil.inf" }, { "KESTRIL.INF" }, "", "" },
        { "nowhere", {}, {}, {}, "", "" },
    };
    for (const auto& c : cases) {
        TempDir working;
        TempDir beside;
        TempDir shared;
        ScopedWorkingDirectory cwd(working.path());
        for (const auto& file : c.working)
            working.write(file, "[Version]\r\n");
        for (const auto& file : c.beside)
            beside.write(file, "[Version]\r\n");
        for (const auto& file : c.shared)
            shared.write(file, "[Version]\r\n");
        std::string expected;
        if (c.found.rfind("cwd:", 0) == 0)
            expected = c.found.substr(4);
        else if (c.found.rfind("beside:", 0) == 0)
            expected = beside.file(c.found.substr(7));
        else if (c.found.rfind("shared:", 0) == 0)
            expected = shared.file(c.found.substr(7));
        // The data directory is given without its trailing separator, as a
        // configured path may be.
        const std::string inf = findDriverInf({ beside.path() + "/", shared.path() });
        EXPECT_EQ(inf, expected) << c.name;
        if (!expected.empty()) {
            EXPECT_EQ(hardwareIdFor(inf), c.hardwareId) << c.name;
        }
    }
}

TEST(WindowTitle, FirstBytesOfTheTitleFileOrTheProgramsOwnTitle)
{
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    AppSettings settings;
    EXPECT_EQ(windowTitle(settings), "QELTA Configuration Utility v1.9.0");

    dir.write("QELTA_Title.dat", "Bench Tool");
    EXPECT_EQ(windowTitle(settings), "Bench Tool");
    dir.write("QELTA_Title.dat", std::string(63, 'a') + "bcdef");
    EXPECT_EQ(windowTitle(settings), std::string(63, 'a'));
    dir.write("QELTA_Title.dat", std::string("Short\0hidden", 12));
    EXPECT_EQ(windowTitle(settings), "Short");

    settings.titleFileName = "Other";
    dir.write("Other.dat", "Other title");
    EXPECT_EQ(windowTitle(settings), "Other title");
    EXPECT_EQ(iconFileName(settings), "QELTA_Logo.ico");
}

TEST(Shell, MissingInfEndsTheStartUpBeforeTheSettingsAreTouched)
{
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    ScriptedPrompter prompter;
    Shell shell(prompter, oneAddress());
    shell.setDataDirectories({});
    EXPECT_FALSE(shell.startUp());
    EXPECT_EQ(prompter.messages(), std::vector<std::string> { kMissingInfMessage });
    EXPECT_FALSE(platform::fileExists(dir.file("Qelta.dat")));
}

TEST(Shell, StartUpLoadsSelectsAndTheExitSaveRemembersTheAddress)
{
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    dir.write("KESTRIL.inf", "[Version]\r\n");
    ScriptedPrompter prompter;
    {
        Shell shell(prompter, oneAddress());
        ASSERT_TRUE(shell.startUp());
        EXPECT_EQ(shell.driverInf(), "KESTRIL.inf");
        EXPECT_EQ(shell.hardwareId(), "ZORV\\Kesser");
        EXPECT_EQ(shell.selection().effectiveAddress, "127.0.0.1");
        EXPECT_EQ(shell.selection().netmask, "255.0.0.0");
        EXPECT_EQ(shell.store().path(), dir.file("Qelta.dat"));
        // Created with the defaults at start-up; item 38 reaches the file at exit.
        EXPECT_NE(dir.read("Qelta.dat").find("0.0.0.0         // (38)"), std::string::npos);
        EXPECT_TRUE(shell.shutDown());
    }
    EXPECT_NE(dir.read("Qelta.dat").find("\r\n127.0.0.1       // (38)"), std::string::npos);
    EXPECT_TRUE(prompter.shown.empty());

    NetworkEnvironment noSockets = oneAddress();
    noSockets.startSockets = [] { return false; };
    Shell shell(prompter, noSockets);
    EXPECT_FALSE(shell.startUp());
    EXPECT_EQ(prompter.messages(), std::vector<std::string> { "Windows sockets initialization failed." });
}
