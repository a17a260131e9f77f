// The line's promise under faults, checked from the boards' EEPROMs: a few
// stations and boards on each back end, with stations killed, the database
// stopped or locked and options changed while they run. How many boards
// pass depends on the faults and on the machine; the promise does not.

#include "tests/mfg/records/chaos_line.h"
#include "tests/mfg/records/postgres_server.h"

#include <gtest/gtest.h>

#include <chrono>

using testing_support::chaos::ChaosSetup;

class ChaosLine : public testing::TestWithParam<std::string> { };

TEST_P(ChaosLine, NoAddressOnTwoPassingBoardsWhateverFails)
{
    if (GetParam() == "postgres" && testing_support::PostgresServer::binDir().empty())
        GTEST_SKIP() << "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
    ChaosSetup setup;
    setup.backend = GetParam();
    setup.stations = 3;
    setup.boards = 8;
    setup.timeScale = 20;
    // A new draw of faults each time; the seed is printed to replay it.
    setup.seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    setup.faultPeriodMs = 500;
    setup.writeLockMs = 1000;
    setup.downMs = 500;
    const auto result = testing_support::chaos::runChaos(setup);
    ASSERT_TRUE(result.setupProblem.empty()) << result.setupProblem;
    EXPECT_EQ(result.boards.size(), 24u);
    EXPECT_TRUE(result.violations.empty()) << "seed " << setup.seed << "\n" << result.summary();
    std::printf("seed %u: %s", setup.seed, result.summary().c_str());
}

INSTANTIATE_TEST_SUITE_P(Backends, ChaosLine, testing::Values("sqlite", "postgres"),
    [](const testing::TestParamInfo<std::string>& info) { return info.param; });
