#include "tests/support/temp_dir.h"
#include "utility/shell/app_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using testing_support::programPath;
using testing_support::TempDir;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs bin/qelta (or another copy of it) with `arguments` in `dir`,
// collecting its output.
ProgramRun runQelta(const TempDir& dir, const std::string& arguments, const std::string& program = programPath("qelta"))
{
    const std::string command = "cd '" + dir.path() + "' && '" + program + "' " + arguments
        + " >qelta.out 2>qelta.err; echo $? >qelta.status";
    ProgramRun run;
    if (std::system(command.c_str()) != 0)
        return run;
    run.status = std::atoi(dir.read("qelta.status").c_str());
    run.out = dir.read("qelta.out");
    run.err = dir.read("qelta.err");
    return run;
}

void copyBuiltInf(const TempDir& dir, const std::string& name)
{
    const std::string source = programPath(name);
    const std::string command = "cp '" + source + "' '" + dir.file(name) + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << source;
}

} // namespace

TEST(QeltaProgram, HelpListsTheCommandsWithoutStartingUp)
{
    TempDir dir;
    const ProgramRun run = runQelta(dir, "--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("startup"), std::string::npos);
    EXPECT_NE(run.out.find("settings"), std::string::npos);
    EXPECT_NE(run.out.find("--local"), std::string::npos);
    EXPECT_TRUE(run.err.empty());
}

TEST(QeltaProgram, BadArgumentsExitWithTwoAndTouchNothing)
{
    for (const char* arguments : { "", "bogus", "startup extra", "--local", "--local 1.2.3 startup" }) {
        TempDir dir;
        copyBuiltInf(dir, "VORPIL.inf");
        const ProgramRun run = runQelta(dir, arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_NE(run.err.find("usage: qelta"), std::string::npos) << arguments;
        EXPECT_EQ(dir.read("Qelta.dat"), "") << arguments;
    }
}

TEST(QeltaProgram, MissingInfEndsWithTheMessageAndStatusOne)
{
    // The built program has the INF files beside it; a lone copy has none.
    TempDir dir;
    TempDir lone;
    const std::string copy = lone.file("qelta");
    ASSERT_EQ(std::system(("cp '" + programPath("qelta") + "' '" + copy + "'").c_str()), 0);
    const ProgramRun run = runQelta(dir, "startup", copy);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
        "Failed to find required KESTRIL driver related files!\n"
        "Please make sure this application is running at correct work directory!\n"
        "( e.g., C:\\Program Files\\VU-232 ru Dudezazu\\ )\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(dir.read("Qelta.dat"), "");
}

TEST(QeltaProgram, StartupWithTheSecondPackageCreatesAndSavesTheSettings)
{
    TempDir dir;
    copyBuiltInf(dir, "KESTRIL.inf");
    const ProgramRun run = runQelta(dir, "startup");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("INF: KESTRIL.inf\n"), std::string::npos);
    EXPECT_NE(run.out.find("Hardware ID: ZORV\\Kesser\n"), std::string::npos);
    EXPECT_NE(run.out.find("Settings: " + dir.file("Qelta.dat") + "\n"), std::string::npos);

    const auto at = run.out.find("Address: ");
    ASSERT_NE(at, std::string::npos);
    const std::string address = run.out.substr(at + 9, run.out.find('\n', at) - at - 9);
    ASSERT_FALSE(address.empty());
    EXPECT_NE(run.out.find("Netmask: "), std::string::npos);

    utility::shell::AppSettings saved;
    ASSERT_EQ(utility::shell::parseSettingsFile(dir.read("Qelta.dat"), saved), utility::shell::ParseStatus::Ok);
    EXPECT_EQ(saved.localHostAddress, address);
}

TEST(QeltaProgram, AnInstalledProgramTakesTheInfBesideItAndKeepsItsSettingsInTheWorkingDirectory)
{
    TempDir dir;
    const ProgramRun run = runQelta(dir, "startup");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("INF: " + programPath("VORPIL.inf") + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Hardware ID: ZORV\\Rure\n"), std::string::npos);
    EXPECT_NE(run.out.find("Settings: " + dir.file("Qelta.dat") + "\n"), std::string::npos);
    EXPECT_NE(dir.read("Qelta.dat"), "");
}

TEST(QeltaProgram, OlderSettingsFileIsReplacedAtExitAndSettingsPrintsTheItems)
{
    TempDir dir;
    copyBuiltInf(dir, "VORPIL.inf");
    std::string older = utility::shell::formatSettingsFile(utility::shell::AppSettings {});
    older.replace(0, 8, "ZORV:1.5");
    dir.write("Qelta.dat", older);

    const ProgramRun run = runQelta(dir, "settings");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("The format of application setting file has been updated with default settings!\n"),
        std::string::npos);
    EXPECT_NE(run.out.find("ZORV:1.6        // (0) Setting File Format Version\n"), std::string::npos);
    int lines = 0;
    for (char c : run.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 39);
    EXPECT_EQ(dir.read("Qelta.dat").substr(0, 8), "ZORV:1.6");
}

namespace {

// Gives this test's network namespace a second interface with two addresses
// (a veth pair: nothing leaves the namespace).
void addTwoAddressesOnOneInterface()
{
    ASSERT_EQ(std::system("ip link add q0 type veth peer name q1 && ip link set q1 up && ip link set q0 up"
                          " && ip addr add 172.16.5.5/24 dev q0 && ip addr add 172.16.6.6/16 dev q0"),
        0);
}

std::string printed(const std::string& out, const std::string& label)
{
    const auto at = out.find(label + ": ");
    if (at == std::string::npos)
        return "<missing>";
    const auto start = at + label.size() + 2;
    return out.substr(start, out.find('\n', start) - start);
}

std::string savedAddress(const TempDir& dir)
{
    utility::shell::AppSettings saved;
    if (utility::shell::parseSettingsFile(dir.read("Qelta.dat"), saved) != utility::shell::ParseStatus::Ok)
        return "<unreadable>";
    return saved.localHostAddress;
}

} // namespace

TEST(QeltaProgram, LocalThatIsNoHostAddressIsReportedAndTheUsedOneNamed)
{
    TempDir dir;
    copyBuiltInf(dir, "VORPIL.inf");
    const ProgramRun run = runQelta(dir, "--local 10.1.2.3 startup");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(printed(run.out, "Address"), "127.0.0.1");
    EXPECT_NE(run.err.find("qelta: --local 10.1.2.3 is not one of this host's addresses (127.0.0.1); using 127.0.0.1"),
        std::string::npos)
        << run.err;
}

TEST(QeltaProgram, EveryAddressOfAnInterfaceCanBeChosenAndTheChoiceStands)
{
    addTwoAddressesOnOneInterface();
    TempDir dir;
    copyBuiltInf(dir, "VORPIL.inf");

    // The second address of the interface, with its own netmask.
    ProgramRun run = runQelta(dir, "--local 172.16.6.6 startup");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(printed(run.out, "Address"), "172.16.6.6");
    EXPECT_EQ(printed(run.out, "Netmask"), "255.255.0.0");

    run = runQelta(dir, "--local 172.16.5.5 startup");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(printed(run.out, "Netmask"), "255.255.255.0");
    EXPECT_EQ(savedAddress(dir), "172.16.5.5");

    // Later runs without --local keep the choice...
    run = runQelta(dir, "startup");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(printed(run.out, "Address"), "172.16.5.5");
    EXPECT_EQ(savedAddress(dir), "172.16.5.5");

    // ...while the host still has the address.
    ASSERT_EQ(std::system("ip addr del 172.16.5.5/24 dev q0"), 0);
    run = runQelta(dir, "startup");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(printed(run.out, "Address"), "172.16.6.6");
    EXPECT_EQ(savedAddress(dir), "172.16.6.6");
}
