// devsim: simulated device servers for trying the utility without hardware.
#include "platform/event_loop.h"
#include "platform/termination_signals.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto setup = sim::devsim::parseCommandLine(args);
    if (!setup.ok()) {
        std::fprintf(stderr, "devsim: %s\n", setup.error().message.c_str());
        return 2;
    }
    if (setup->help) {
        std::fputs(sim::devsim::usageText().c_str(), stdout);
        return 0;
    }

    auto loop = platform::makeEpollLoop();
    sim::devsim::Simulator simulator(*loop, setup->options, [](const std::string& line) {
        std::fprintf(stderr, "devsim: %s\n", line.c_str());
        std::fflush(stderr);
    });
    for (auto& device : setup->devices)
        simulator.addDevice(std::move(device));
    if (!platform::quitOnTerminationSignals(*loop)) {
        std::fprintf(stderr, "devsim: cannot install signal handlers\n");
        return 1;
    }
    auto started = simulator.start();
    if (!started.ok()) {
        std::fprintf(stderr, "devsim: %s\n", started.error().message.c_str());
        return 1;
    }
    for (std::size_t i = 0; i < simulator.deviceCount(); ++i) {
        const auto& device = simulator.device(i);
        const auto& settings = device.settings();
        std::printf("%s %s %s serial=%s data=%s\n", platform::formatIpv4(settings.currentAddress).c_str(),
            sim::devsim::formatMac(settings.mac).c_str(), settings.name.c_str(), device.serialPath().c_str(),
            sim::devsim::dataField(device).c_str());
    }
    std::fflush(stdout);
    const int code = loop->run();
    simulator.stop();
    return code;
}
