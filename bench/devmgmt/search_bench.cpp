// Times a network search over many simulated device servers and reports it
// as a ratio to the floor the tick design imposes: one reply is taken per
// 10 ms tick, and the search ends one search period after the last reply.
//
// Run inside a private network namespace:
//   scripts/in-netns.sh build/bin/bench_devmgmt_search [devices] [runs]

#include "bench/bench_arguments.h"
#include "platform/child_process.h"
#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/devmgmt/device_view.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class NoDialogs final : public utility::devmgmt::DeviceDialogs {
public:
    utility::devmgmt::DialogResult devicesSearching(utility::devmgmt::SearchSettings&) override
    {
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult ipSearching(std::string&) override
    {
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult setting(utility::devmgmt::Periods&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
};

} // namespace

int main(int argc, char** argv)
{
    int devices = 256;
    int runs = 3;
    if (const int status = bench::parseArguments(argc, argv, "bench_devmgmt_search",
            "Searches DEVICES simulated device servers RUNS times (inside a network namespace: "
            "scripts/in-netns.sh).",
            { { "DEVICES", &devices, "simulated device servers" }, { "RUNS", &runs, "searches" } });
        status != cli::kContinue)
        return status;
    const std::string bin = SUITE_BIN_DIR;
    auto started = platform::ChildProcess::start(
        { bin + "/devsim", "--devices", std::to_string(devices), "--first-address", "127.0.1.1" });
    if (!started.ok()) {
        std::fprintf(stderr, "cannot start devsim: %s\n", started.error().message.c_str());
        return 1;
    }
    platform::ChildProcess devsim = std::move(started.value());
    for (int i = 0; i < devices; ++i) {
        if (!devsim.readLine(std::chrono::seconds(30)).ok()) {
            std::fprintf(stderr, "devsim did not start (run inside a network namespace)\n");
            return 1;
        }
    }

    const int searchPeriod = 10; // 100 ms units, the default
    const double floorMs = devices * 10.0 + searchPeriod * 100.0;
    std::printf("search over %d simulated devices, floor %.0f ms (%d x 10 ms + one search period)\n", devices, floorMs,
        devices);
    int worstRows = devices;
    double total = 0;
    for (int run = 0; run < runs; ++run) {
        auto loop = platform::makeEpollLoop();
        platform::ConsolePrompter prompter;
        NoDialogs dialogs;
        utility::devmgmt::DeviceView view(*loop, prompter, dialogs);
        view.setLocalAddress("127.0.0.1", "255.0.0.0");
        view.setPeriods({ searchPeriod, 15, 15 });
        view.setSearchFinishedCallback([&] { loop->quit(0); });
        const auto start = std::chrono::steady_clock::now();
        view.networkSearch(true);
        loop->run();
        const double elapsed
            = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        total += elapsed;
        worstRows = std::min(worstRows, static_cast<int>(view.rowCount()));
        std::printf(
            "run %d: %zu rows in %.0f ms, ratio to floor %.3f\n", run + 1, view.rowCount(), elapsed, elapsed / floorMs);
    }
    std::printf(
        "mean ratio to floor: %.3f; fewest rows in a run: %d of %d\n", total / runs / floorMs, worstRows, devices);
    devsim.terminate();
    devsim.wait(std::chrono::seconds(5));
    return worstRows == devices ? 0 : 2;
}
