#include "platform/child_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using testing_support::programPath;
using testing_support::TempDir;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// qelta's device commands against devsim's devices in this test's network
// namespace. Qelta.dat is set to the shortest periods the dialogs allow.
class QeltaDeviceCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system(("cp '" + programPath("VORPIL.inf") + "' '" + dir.path() + "/'").c_str()), 0);
        ASSERT_EQ(qelta("settings").status, 0);
        // Search 0.5 s, reboot period 10 s.
        ASSERT_EQ(std::system(("cd '" + dir.path()
                      + "' && sed -i -e '4s/^10 /5  /' -e '6s/^15/10/' Qelta.dat && grep -q '^5 ' Qelta.dat")
                                  .c_str()),
            0);
    }

    void startDevsim(std::vector<std::string> extra = {})
    {
        // Its event lines (stderr) follow the device lines on the same pipe.
        std::string command = "exec '" + programPath("devsim")
            + "' --devices 3 --first-address 127.0.0.10 --reboot-time 2 --http-port 0";
        for (const auto& argument : extra)
            command += " " + argument;
        std::vector<std::string> argv { "/bin/sh", "-c", command + " 2>&1" };
        auto started = platform::ChildProcess::start(argv);
        ASSERT_TRUE(started.ok());
        devsim = std::move(started.value());
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(devsim.readLine(10s).ok()) << "devsim did not start";
    }

    void TearDown() override
    {
        if (devsim.running()) {
            devsim.terminate();
            devsim.wait(5s);
        }
    }

    ProgramRun qelta(const std::string& arguments)
    {
        const std::string command = "cd '" + dir.path() + "' && '" + programPath("qelta") + "' " + arguments
            + " </dev/null >out.txt 2>err.txt; echo $? >status.txt";
        ProgramRun run;
        if (std::system(command.c_str()) != 0)
            return run;
        run.status = std::atoi(dir.read("status.txt").c_str());
        run.out = dir.read("out.txt");
        run.err = dir.read("err.txt");
        return run;
    }

    static nlohmann::json rowOf(const std::string& json, const std::string& address)
    {
        auto parsed = nlohmann::json::parse(json, nullptr, false);
        if (parsed.is_array())
            for (const auto& row : parsed)
                if (row["ip"] == address)
                    return row;
        return {};
    }

    // The value of one item line of Qelta.dat.
    std::string settingsItem(int item)
    {
        std::istringstream in(dir.read("Qelta.dat"));
        std::string line;
        for (int i = 0; i <= item && std::getline(in, line); ++i) { }
        return line.substr(0, line.find(' '));
    }

    // The progress lines of stderr ("... s left"), a search's without its
    // count of devices found so far; only the steps' names with `namesOnly`.
    static std::vector<std::string> stepLines(const std::string& err, bool namesOnly = false)
    {
        std::vector<std::string> steps;
        std::istringstream lines(err);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 7 || line.compare(line.size() - 7, 7, " s left") != 0)
                continue;
            if (line.rfind("Searching for devices: ", 0) == 0 || namesOnly)
                line = line.substr(0, line.find(": "));
            steps.push_back(line);
        }
        return steps;
    }

    TempDir dir;
    platform::ChildProcess devsim;
};

} // namespace

TEST_F(QeltaDeviceCommands, RestoreBringsAChangedNameBackToItsDefault)
{
    startDevsim();
    ASSERT_EQ(qelta("setup --ip 127.0.0.11 --set 1=Changed --yes").status, 0);
    std::this_thread::sleep_for(2500ms); // the device reboots after the setup
    ProgramRun run = qelta("search --json");
    ASSERT_EQ(rowOf(run.out, "127.0.0.11")["name"], "Changed") << run.out << run.err;

    run = qelta("restore --ip 127.0.0.11 --yes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(stepLines(run.err),
        std::vector<std::string>({ "Searching for devices", "Asking 127.0.0.11 whether it answers: 1 s left",
            "Waiting for 127.0.0.11 to answer Restore: 16 s left",
            "Waiting for the devices to restart before the new search: 11 s left", "Searching for devices" }))
        << run.err;
    EXPECT_NE(run.err.find("This operation will return the device's default setting and reboot."), std::string::npos)
        << run.err;
    EXPECT_EQ(rowOf(run.out, "127.0.0.11")["name"], "DS-0002") << run.out;
    EXPECT_EQ(rowOf(run.out, "127.0.0.10")["name"], "DS-0001") << run.out;

    // A device nobody answers for: exit 1 and the address named.
    run = qelta("restore --ip 127.0.0.99 --yes");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("127.0.0.99"), std::string::npos) << run.err;
}

TEST_F(QeltaDeviceCommands, RebootRestartsTheNamedDevicesAndListsThemAgain)
{
    startDevsim();
    const auto started = std::chrono::steady_clock::now();
    const ProgramRun run = qelta("reboot --ip 127.0.0.10 --ip 127.0.0.12 --yes --json");
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Do you really want to REBOOT device(s) ?"), std::string::npos);
    EXPECT_EQ(stepLines(run.err, true),
        std::vector<std::string>(
            { "Searching for devices", "Asking 127.0.0.10 whether it answers", "Asking 127.0.0.12 whether it answers",
                "Waiting for the devices to restart before the new search", "Searching for devices" }))
        << run.err;
    // Countdown of reboot period 10 + 1 remaining ticks, then 2 x 1.2 s.
    EXPECT_GE(took, 13s);
    for (const char* address : { "127.0.0.10", "127.0.0.11", "127.0.0.12" })
        EXPECT_FALSE(rowOf(run.out, address).is_null()) << address << run.out;
    bool rebooted10 = false;
    bool rebooted12 = false;
    bool rebooted11 = false;
    while (true) {
        auto line = devsim.readLine(200ms);
        if (!line.ok())
            break;
        if (line.value().find("reboot requested") == std::string::npos)
            continue;
        rebooted10 = rebooted10 || line.value().find("127.0.0.10") != std::string::npos;
        rebooted11 = rebooted11 || line.value().find("127.0.0.11") != std::string::npos;
        rebooted12 = rebooted12 || line.value().find("127.0.0.12") != std::string::npos;
    }
    EXPECT_TRUE(rebooted10);
    EXPECT_TRUE(rebooted12);
    EXPECT_FALSE(rebooted11);
}

TEST_F(QeltaDeviceCommands, TheMonitorSeesARebootedDeviceGoSilentAndAnswerAgain)
{
    startDevsim({ "--reboot-time", "6" });
    // The monitor sees the device answer, go silent while it reboots, and
    // answer again: one cycle every 3 s.
    auto monitor = platform::ChildProcess::start({ "/bin/sh", "-c",
        "cd '" + dir.path() + "' && exec '" + programPath("qelta") + "' monitor --ip 127.0.0.10 --cycles 4 --json" });
    ASSERT_TRUE(monitor.ok());
    // Both search first, on the same port: the reboot starts once the
    // monitor's search is over and its first row is out. The Reboot follows a
    // second after the reboot's own search, before the monitor's second cycle,
    // and silences the device for two cycles.
    std::vector<std::string> statuses;
    auto first = monitor->readLine(15s);
    ASSERT_TRUE(first.ok());
    auto firstRow = nlohmann::json::parse(first.value(), nullptr, false);
    ASSERT_TRUE(firstRow.is_object()) << first.value();
    statuses.push_back(firstRow["status"]);
    auto reboot = platform::ChildProcess::start({ "/bin/sh", "-c",
        "cd '" + dir.path() + "' && exec '" + programPath("qelta")
            + "' reboot --ip 127.0.0.10 --yes >/dev/null 2>&1" });
    ASSERT_TRUE(reboot.ok());
    for (int i = 0; i < 5; ++i) {
        auto line = monitor->readLine(15s);
        if (!line.ok())
            break;
        auto parsed = nlohmann::json::parse(line.value(), nullptr, false);
        if (parsed.is_object())
            statuses.push_back(parsed["status"]);
    }
    monitor->wait(15s);
    reboot->terminate();
    reboot->wait(5s);
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[0], "Success");
    EXPECT_EQ(statuses[1], "Fail");
    EXPECT_EQ(statuses[2], "Success");
}

TEST_F(QeltaDeviceCommands, UpgradeFetchesFromQeltasTftpServerAndTheMonitorShowsTheNewVersion)
{
    ASSERT_EQ(std::system(("mkdir -p '" + dir.path() + "/fw'").c_str()), 0);
    dir.write("fw/new-fw.bin", "VERSION=2.5-new\nbinary image follows\n");
    auto tftp = platform::ChildProcess::start({ "/bin/sh", "-c",
        "cd '" + dir.path() + "' && exec '" + programPath("qelta") + "' tftp --dir fw --port 16969 >tftp.log" });
    ASSERT_TRUE(tftp.ok());
    startDevsim({ "--tftp-port", "16969" });
    std::this_thread::sleep_for(500ms);

    ProgramRun run = qelta("monitor --ip 127.0.0.12 --cycles 1 --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["firmware"], "1.0.0");

    const auto started = std::chrono::steady_clock::now();
    run = qelta("upgrade --ip 127.0.0.12 --server 127.0.0.1 --file new-fw.bin --period 5 --yes --json "
                "--tftp-log tftp.log");
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Do you really want to upgrade firmware code?"), std::string::npos);
    EXPECT_NE(run.err.find("127.0.0.12 upgraded: firmware version 2.5-new, before 1.0.0"), std::string::npos)
        << run.err;
    EXPECT_GE(took, 21s); // period 5 becomes 10: the search on the 21st tick of 1 s
    EXPECT_FALSE(rowOf(run.out, "127.0.0.12").is_null()) << run.out;
    // stderr is no terminal: one line per step, each saying what it waits
    // for and how long is left; the fetch, read from the TFTP server's
    // output, is a line of its own with the bytes; stdout holds nothing but
    // the JSON rows.
    EXPECT_EQ(stepLines(run.err, true),
        std::vector<std::string>({ "Searching for devices", "Asking 127.0.0.12 for its firmware version",
            "Waiting for 127.0.0.12 to fetch new-fw.bin from 127.0.0.1 and restart",
            "Waiting for 127.0.0.12 to restart", "Searching for devices",
            "Asking 127.0.0.12 for its firmware version" }))
        << run.err;
    EXPECT_NE(run.err.find("\nWaiting for 127.0.0.12 to fetch new-fw.bin from 127.0.0.1 and restart: 21 s left\n"
                           "127.0.0.12 fetched new-fw.bin: 37 of 37 bytes (100 %)\nWaiting for 127.0.0.12 to "
                           "restart: "),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
    EXPECT_TRUE(nlohmann::json::parse(run.out, nullptr, false).is_array()) << run.out;
    EXPECT_EQ(settingsItem(8), "10");
    EXPECT_EQ(settingsItem(9), "7F000001");
    EXPECT_EQ(settingsItem(10), "new-fw.bin");

    run = qelta("monitor --ip 127.0.0.12 --ip 127.0.0.11 --cycles 1 --json");
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string first;
    std::string second;
    std::getline(lines, first);
    std::getline(lines, second);
    // The rows follow the device table, as in the view.
    const auto upgraded = nlohmann::json::parse(first)["ip"] == "127.0.0.12" ? first : second;
    const auto other = upgraded == first ? second : first;
    EXPECT_EQ(nlohmann::json::parse(upgraded)["firmware"], "2.5-new") << run.out;
    EXPECT_EQ(nlohmann::json::parse(other)["firmware"], "1.0.0");
    tftp->terminate();
    tftp->wait(5s);

    // Values the dialog refuses: its message and exit 2.
    run = qelta("upgrade --ip 127.0.0.12 --server 0.0.0.0 --file x.bin --yes");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("Invalid TFTP Server IP address!"), std::string::npos) << run.err;
}

TEST_F(QeltaDeviceCommands, AnUpgradeThatLeavesTheFirmwareVersionAsItWasEndsWithOne)
{
    ASSERT_EQ(std::system(("mkdir -p '" + dir.path() + "/fw'").c_str()), 0);
    dir.write("fw/empty.bin", "");
    auto tftp = platform::ChildProcess::start({ "/bin/sh", "-c",
        "cd '" + dir.path() + "' && exec '" + programPath("qelta") + "' tftp --dir fw --port 16969 >tftp.log" });
    ASSERT_TRUE(tftp.ok());
    startDevsim({ "--tftp-port", "16969" });
    std::this_thread::sleep_for(500ms);

    // A file the server does not have, and an empty one the device refuses.
    for (const char* file : { "absent.bin", "empty.bin" }) {
        SCOPED_TRACE(file);
        const ProgramRun run = qelta(
            std::string("upgrade --ip 127.0.0.12 --server 127.0.0.1 --file ") + file + " --period 10 --yes --json");
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("127.0.0.12 still reports firmware version 1.0.0: the device did not upgrade"),
            std::string::npos)
            << run.err;
        EXPECT_FALSE(rowOf(run.out, "127.0.0.12").is_null()) << run.out;
    }
    tftp->terminate();
    tftp->wait(5s);
}

TEST_F(QeltaDeviceCommands, EveryCommandTheHelpListsRunsAndTellsItsOwnUsage)
{
    const ProgramRun run = qelta("--help");
    ASSERT_EQ(run.status, 0);
    // The command names of the "commands:" list.
    std::vector<std::string> names;
    std::istringstream lines(run.out.substr(run.out.find("commands:")));
    std::string line;
    std::getline(lines, line);
    // The list ends at its blank line (the examples that follow are
    // indented too).
    while (std::getline(lines, line) && !line.empty())
        if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ')
            names.push_back(line.substr(2, line.find(' ', 2) - 2));
    for (const char* expected : { "search", "setup", "monitor", "restore", "reboot", "upgrade" })
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        // Each one is a command qelta runs: its help, or its own usage for
        // an option it does not know.
        const ProgramRun help = qelta(name + " --help");
        EXPECT_EQ(help.status, 0);
        EXPECT_FALSE(help.out.empty());
        EXPECT_EQ(help.out.find("COMMAND [ARGS...]"), std::string::npos) << "the command's own help";
        const ProgramRun bad = qelta(name + " --no-such-option");
        EXPECT_EQ(bad.status, 2);
        EXPECT_NE(bad.err.find("usage: qelta [--local ADDR] " + name), std::string::npos) << bad.err;
        EXPECT_EQ(bad.err.find("COMMAND [ARGS...]"), std::string::npos) << bad.err;
    }
}

TEST_F(QeltaDeviceCommands, ARestoredDeviceMissingFromTheNewSearchEndsWithOne)
{
    // The devices stay silent far longer than the countdown before the new
    // search (reboot period 10 s).
    startDevsim({ "--reboot-time", "60" });
    const ProgramRun run = qelta("restore --ip 127.0.0.11 --yes --json");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(rowOf(run.out, "127.0.0.11").is_null()) << run.out;
    EXPECT_NE(run.err.find("device 02-44-53-00-00-02 is missing from the new search"), std::string::npos) << run.err;
}

TEST_F(QeltaDeviceCommands, ANamelessDeviceTakesTheRebootSentToItsRowName)
{
    dir.write("nameless.cfg", "[device]\nname =\n");
    startDevsim({ "--config", dir.path() + "/nameless.cfg", "-v" });
    ProgramRun run = qelta("search --json");
    ASSERT_EQ(rowOf(run.out, "127.0.0.10")["name"], "ZIR1") << run.out;
    run = qelta("reboot --ip 127.0.0.10 --yes --json");
    EXPECT_EQ(run.status, 0) << run.err;
    bool restarted = false;
    for (int i = 0; i < 200 && !restarted; ++i) {
        auto line = devsim.readLine(5s);
        if (!line.ok())
            break;
        EXPECT_EQ(line.value().find("Reboot ignored"), std::string::npos) << line.value();
        restarted = line.value().find("127.0.0.10: restarting: reboot requested") != std::string::npos;
    }
    EXPECT_TRUE(restarted);
}

TEST_F(QeltaDeviceCommands, TheMonitorNumbersRowsByTheTableAndWritesEveryCycleAsCsv)
{
    startDevsim();
    const ProgramRun search = qelta("search --json");
    const auto eleven = rowOf(search.out, "127.0.0.11");
    const auto twelve = rowOf(search.out, "127.0.0.12");
    ASSERT_FALSE(eleven.is_null() || twelve.is_null()) << search.out;

    ProgramRun run = qelta("monitor --ip 127.0.0.12 --ip 127.0.0.11 --interval 3 --cycles 2 --json --csv m.csv");
    ASSERT_EQ(run.status, 0) << run.err;
    // "NO." is the table index: the search's row number less one.
    std::istringstream lines(run.out);
    std::string line;
    std::map<std::string, int> numbers;
    while (std::getline(lines, line)) {
        const auto row = nlohmann::json::parse(line);
        numbers[row["ip"]] = row["no"];
    }
    EXPECT_EQ(numbers["127.0.0.11"], eleven["no"].get<int>() - 1);
    EXPECT_EQ(numbers["127.0.0.12"], twelve["no"].get<int>() - 1);

    const std::string csv = dir.read("m.csv");
    std::istringstream records(csv);
    std::vector<std::string> rows;
    while (std::getline(records, line))
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 5u) << csv; // the header and two rows in each of two cycles
    EXPECT_EQ(rows[0], "time,index,name,ip,status,tx,rx\r");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i]);
        EXPECT_EQ(rows[i].size() > 20 && rows[i][4] == '-' && rows[i][19] == ',', true) << "YYYY-MM-DD HH:MM:SS,";
        EXPECT_NE(rows[i].find(",Success,"), std::string::npos);
        const bool isEleven = rows[i].find(",127.0.0.11,") != std::string::npos;
        const auto& expected = isEleven ? eleven : twelve;
        EXPECT_NE(rows[i].find("," + std::to_string(expected["no"].get<int>() - 1) + ","
                      + expected["name"].get<std::string>() + ","),
            std::string::npos);
    }
    // A device no search lists cannot be monitored.
    run = qelta("monitor --ip 127.0.0.99 --cycles 1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("127.0.0.99"), std::string::npos) << run.err;
}
