#pragma once

// A production line under faults: several stations (kellan-mp run
// processes, each board a fresh boardsim process) share one MAC range in a
// PostgreSQL server or an SQLite file while stations are killed, the
// database stops or is locked, the disk fills up, folders turn read-only and
// options are changed mid-run. At the end the boards' EEPROMs are checked
// against the store: the promises hold however many boards passed.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support::chaos {

struct ChaosSetup {
    std::string backend = "postgres"; // or "sqlite"
    int stations = 3;
    int boards = 5; // per station
    int timeScale = 20; // kellan-mp's and boardsim's waits run this much faster
    unsigned seed = 1;
    int faultPeriodMs = 1500; // mean real time between two faults
    int writeLockMs = 2000; // SQLite: a write transaction held this long (past 30000: the busy timeout)
    int downMs = 1000; // PostgreSQL: the server stays stopped this long
    // SQLite: the shared file on a tmpfs of this size that fills up at
    // times (0: none). Needs root in a mount namespace of its own.
    int tmpfsMb = 0;
    std::function<void(const std::string&)> log;
};

struct BoardOutcome {
    std::string station;
    int board = 0;
    int code = -1; // kellan-mp's exit status (128 + signal when killed)
    std::string out;
    std::string eepromMac; // empty: not all six words of the address were written
    bool passing = false; // exit 0, or a pass the store recorded
};

struct ChaosResult {
    std::string setupProblem; // the line could not be set up
    std::vector<BoardOutcome> boards;
    std::map<std::string, int> faults;
    std::vector<std::string> violations; // broken promises
    std::int64_t consumed = 0;
    std::int64_t quarantined = 0;
    std::int64_t leasesLeft = 0;
    std::string summary() const;
};

ChaosResult runChaos(const ChaosSetup& setup);

} // namespace testing_support::chaos
