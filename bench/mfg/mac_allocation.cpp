// MAC allocations per second with concurrent stations: each client leases an
// address and marks it used with its passing run's record, as a passing run
// does, in two transactions of its own connection. Against an SQLite file (stations on one machine) and a
// PostgreSQL server started for the run in a temporary folder (Unix socket,
// no TCP; as an unprivileged user when run as root).

#include "bench/bench_arguments.h"
#include "mfg/records/record_store.h"
#include "tests/mfg/records/postgres_server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Figures {
    long allocations = 0;
    double seconds = 0;
    std::string problem;
};

Figures measure(const std::string& url, int clients, int seconds)
{
    Figures figures;
    {
        auto store = mfg::records::RecordStore::open(url);
        if (!store) {
            figures.problem = store.error().message;
            return figures;
        }
        (void)store.value()->seedMacRange(0x00A0B0000000, 0x00A0BFFFFFFF);
    }
    std::atomic<long> count { 0 };
    std::atomic<bool> stop { false };
    std::vector<std::string> problems(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    const auto begin = std::chrono::steady_clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            auto store = mfg::records::RecordStore::open(url);
            if (!store) {
                problems[static_cast<std::size_t>(c)] = store.error().message;
                return;
            }
            const std::string station = "bench" + std::to_string(c);
            while (!stop) {
                auto lease = store.value()->leaseMac(station);
                if (!lease || !lease.value()) {
                    problems[static_cast<std::size_t>(c)] = lease ? "range used up" : lease.error().message;
                    return;
                }
                mfg::records::RunRecord run;
                run.station = station;
                run.mac = mfg::records::macText(lease.value()->mac);
                run.outcome = mfg::records::Outcome::Pass;
                auto used = store.value()->consumeMac(*lease.value(), run);
                if (!used) {
                    problems[static_cast<std::size_t>(c)] = used.error().message;
                    return;
                }
                ++count;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (auto& thread : threads)
        thread.join();
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    figures.allocations = count;
    for (const auto& problem : problems) {
        if (!problem.empty())
            figures.problem = problem;
    }
    return figures;
}

void print(const char* name, const Figures& figures, int clients)
{
    if (!figures.problem.empty()) {
        std::printf("%-10s %d clients: failed: %s\n", name, clients, figures.problem.c_str());
        return;
    }
    std::printf("%-10s %d clients: %ld allocations in %.1f s, %.0f per second\n", name, clients, figures.allocations,
        figures.seconds, double(figures.allocations) / figures.seconds);
}

} // namespace

int main(int argc, char** argv)
{
    int clients = 8;
    int seconds = 5;
    if (const int status = bench::parseArguments(argc, argv, "bench_mfg_mac_allocation",
            "MAC allocations per second (lease, then mark used) with CLIENTS concurrent\n"
            "connections for SECONDS each, against an SQLite file and against a PostgreSQL\n"
            "server it starts in a temporary folder. Run it in scripts/in-netns.sh like the\n"
            "tests.",
            { { "CLIENTS", &clients, "concurrent connections" },
                { "SECONDS", &seconds, "seconds of each measurement" } });
        status != cli::kContinue)
        return status;
    char pattern[] = "/tmp/bench-mac-XXXXXX";
    if (!::mkdtemp(pattern))
        return 1;
    const std::string file = std::string(pattern) + "/records.db";
    print("SQLite", measure("sqlite:" + file, clients, seconds), clients);
    for (const char* suffix : { "", "-wal", "-shm" })
        ::unlink((file + suffix).c_str());
    ::rmdir(pattern);

    testing_support::PostgresServer server;
    std::string problem;
    // Durable, as a line's server would be: commits wait for the disk.
    if (!server.start(problem, true)) {
        std::printf("PostgreSQL not measured: %s\n", problem.c_str());
        return 0;
    }
    const std::string url = server.createDatabase("bench", problem);
    if (url.empty()) {
        std::printf("PostgreSQL not measured: %s\n", problem.c_str());
        return 0;
    }
    print("PostgreSQL", measure(url, clients, seconds), clients);
    return 0;
}
