#pragma once

// A production station for end-to-end tests: its folder of settings files
// and two simulated boards behind pseudo-terminals (boardsim processes), and
// kellan-mp started in that folder.

#include "platform/child_process.h"
#include "tests/mfg/station_files.h"
#include "tests/support/eventually.h"
#include "tests/support/shared_idle_clock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support::stations {

using namespace std::chrono_literals;

// How long the test waits for a program's next sign of life before it calls
// it hung. The waits that count run on the shared clock, which a busy machine
// slows down: this only has to end a test whose program hangs.
inline constexpr auto kHung = std::chrono::seconds(300);

inline constexpr const char* kOption
    = "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D2FF\n4\n";

struct Finished {
    std::string out;
    int code = -1;
};

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

// A station: its folder of settings files and two boards behind ptys, one
// good and one whose EEPROM test fails; com-ports says which one is COM2.
//
// kellan-mp waits fixed times for a board (a self test's reply, the EEPROM
// dump), and the boards are processes of their own. The station's kellan-mp
// and boards read one clock, whose time passes only while all of them sleep
// (`speedUp` times faster than real time): a busy machine slows that time
// down instead of making a board late, and a kellan-mp held still (SIGSTOP)
// finds no time gone by when it goes on.
class Station {
public:
    explicit Station(const std::string& name, double speedUp = 5)
        : m_name(name)
        , m_clock(m_clockDir.file("clock"), speedUp)
    {
        writeFiles();
    }

    // The station's settings and firmware files (again, after a test put a
    // disk of its own over the folder).
    void writeFiles()
    {
        testing_support::writeStationFiles(dir);
        dir.write("Option.dat", kOption);
        dir.write("com.dat", "COM2\n921.6K");
        // RAM, CPU, EEPROM, HSUART and the EEPROM data.
        dir.write("item.dat", "124\n");
    }

    bool startBoards()
    {
        return startBoard("good", "normal,test-firmware") && startBoard("bad", "normal,test-firmware,fail-et");
    }

    void useBoard(const std::string& which) { dir.write("com-ports", "COM2 " + boards.file(which) + "\n"); }

    // kellan-mp in the station's folder; `prefix` runs it through another
    // program (unshare), `errors` names where its stderr goes.
    platform::ChildProcess start(
        const std::string& arguments, const std::string& prefix = {}, const std::string& errors = {})
    {
        const std::string command = "cd '" + dir.path()
            + "' && SUITE_COM_MAP=com-ports PORTIO_MODULE=none KELLAN_MP_CLOCK_FILE='" + m_clock.path()
            + "' LOGNAME=op-" + m_name + " exec " + prefix + " '" + testing_support::programPath("kellan-mp") + "' "
            + arguments + " 2>>'" + (errors.empty() ? dir.file("err.txt") : errors) + "'";
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        EXPECT_TRUE(started) << (started ? "" : started.error().message);
        if (!started)
            return platform::ChildProcess();
        m_clock.watch(started.value().pid());
        return std::move(started.value());
    }

    Finished run(const std::string& arguments, const std::string& prefix = {}, const std::string& errors = {})
    {
        auto process = start(arguments, prefix, errors);
        return finish(process);
    }

    static Finished finish(platform::ChildProcess& process)
    {
        Finished finished;
        while (auto line = process.readLine(kHung))
            finished.out += line.value() + "\n";
        finished.code = process.wait(kHung).value_or(-1);
        return finished;
    }

    // Waits until the good board has seen a command line beginning so.
    bool boardSaw(const std::string& command, int times = 1) const
    {
        return testing_support::eventually([&] { return seen(command) >= times; }, kHung);
    }

    // Stops the station's time once the good board has seen a command line
    // beginning so (`times` in all): kellan-mp goes no further than its next
    // wait until go(). True once the time stands still.
    bool stopAt(const std::string& command, int times = 1)
    {
        m_clock.stopWhen([this, command, times] { return seen(command) >= times; });
        return testing_support::eventually([&] { return m_clock.stopped(); }, kHung);
    }
    void go() { m_clock.go(); }

    // The MACs the good board held when kellan-mp read its EEPROM back.
    std::vector<std::string> macsReadBack() const
    {
        std::vector<std::string> macs;
        for (const auto& line : lines(boards.read("good.events"))) {
            if (line.rfind("command er mac ", 0) == 0)
                macs.push_back(line.substr(15));
        }
        return macs;
    }

    std::string name() const { return m_name; }
    testing_support::TempDir dir;
    // The boards' links and what they saw ("good.events"), apart from the
    // station's folder, which a test may fill up or make read-only.
    testing_support::TempDir boards;

private:
    int seen(const std::string& command) const
    {
        int count = 0;
        for (const auto& line : lines(boards.read("good.events")))
            count += line.rfind("command " + command, 0) == 0;
        return count;
    }

    bool startBoard(const std::string& which, const std::string& options)
    {
        const std::string command = "exec '" + testing_support::programPath("boardsim") + "' --events --clock-file '"
            + m_clock.path() + "' --link '" + boards.file(which) + "' --options " + options + " > '"
            + boards.file(which + ".events") + "'";
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        if (!started)
            return false;
        m_clock.watch(started.value().pid());
        m_boards.push_back(std::move(started.value()));
        return testing_support::eventually([&] { return !boards.read(which + ".events").empty(); }, 60s);
    }

    std::string m_name;
    testing_support::TempDir m_clockDir;
    testing_support::SharedIdleClock m_clock;
    std::vector<platform::ChildProcess> m_boards;
};

} // namespace testing_support::stations
