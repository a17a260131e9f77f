// A line of kellan-mp stations under random faults, on a shared PostgreSQL
// server or a shared SQLite file, checked at the end from every board's
// EEPROM against the store. Prints the boards, the faults injected and every
// broken promise; exit status 1 when one was broken. bench/mfg/chaos.sh
// runs it on both back ends.

#include "tests/mfg/records/chaos_line.h"
#include "bench/bench_arguments.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv)
{
    int stations = 4;
    int boards = 30;
    testing_support::chaos::ChaosSetup setup;
    setup.timeScale = 10;
    setup.faultPeriodMs = 4000;
    // Past the stations' 30-second busy timeout.
    setup.writeLockMs = 35000;
    setup.downMs = 3000;
    setup.seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string backend = "postgres";
    CLI::App app(
        "a line of kellan-mp stations under random faults, checked from the boards' EEPROMs", "bench_mfg_chaos");
    cli::setUp(app);
    app.add_option("STATIONS", stations, "stations (default 4)")->check(cli::wholeNumber(1, 64));
    app.add_option("BOARDS", boards, "boards per station (default 30)")->check(cli::wholeNumber(1, 100000));
    app.add_option("--backend", backend, "postgres or sqlite")->check(CLI::IsMember({ "postgres", "sqlite" }));
    app.add_option("--seed", setup.seed, "the faults' random seed (default: from the clock)");
    app.add_option("--time-scale", setup.timeScale, "how much faster the waits run (default 10)")
        ->check(cli::wholeNumber(1, 50));
    app.add_option("--fault-period-ms", setup.faultPeriodMs, "mean time between faults (default 4000)")
        ->check(cli::wholeNumber(100, 600000));
    app.add_option("--write-lock-ms", setup.writeLockMs, "SQLite: how long a write lock is held (default 35000)")
        ->check(cli::wholeNumber(1, 600000));
    app.add_option("--tmpfs-mb", setup.tmpfsMb,
           "SQLite: the shared file on a tmpfs this big that fills up at times (root, own mount namespace)")
        ->check(cli::wholeNumber(1, 1024));
    if (const int status = cli::parse(app, argc, argv); status != cli::kContinue)
        return status;
    setup.backend = backend;
    setup.stations = stations;
    setup.boards = boards;
    setup.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    const auto started = std::chrono::steady_clock::now();
    const auto result = testing_support::chaos::runChaos(setup);
    if (!result.setupProblem.empty()) {
        std::fprintf(stderr, "bench_mfg_chaos: %s\n", result.setupProblem.c_str());
        return 2;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s, %d stations x %d boards, seed %u, %.0f s\n%s", backend.c_str(), stations, boards, setup.seed,
        seconds, result.summary().c_str());
    return result.violations.empty() ? 0 : 1;
}
