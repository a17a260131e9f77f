// devsim: simulated device servers for trying the utility without hardware.
#include "apps/cli/command_line.h"
#include "platform/event_loop.h"
#include "platform/termination_signals.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Declared {
    const char* names;
    const char* value; // empty for a switch
    const char* description;
};

// The options as the simulator's setup reads them; it checks their values
// (each option's values in the order given).
const Declared kOptions[] = {
    { "--devices", "N", "simulate N generated devices (default 1 without --config)" },
    { "--first-address", "ADDR",
        "address of device 1; device n gets ADDR + n - 1 (default 127.0.0.10; every 127.x.y.z is local on lo)" },
    { "--config", "FILE", "devices from FILE (see below); --devices adds more after them" },
    { "--reboot-time", "SECONDS", "how long a restarting device stays silent (default 3)" },
    { "--reboot-reply", "", "answer Reboot with a RebootReply before restarting" },
    { "--http-port", "PORT", "port of each device's web page (default 80, 0 = none)" },
    { "--tftp-port", "PORT", "port of the TFTP server named by Upgrade (default 69)" },
    { "--tftp-timeout", "SECONDS", "wait before a TFTP packet is sent again (default 1)" },
    { "--tftp-retries", "N", "resends of one TFTP packet before giving up (default 5)" },
    { "--group", "ADDR", "multicast group to join on lo (default 225.1.2.3)" },
    { "--broadcast-port", "PORT", "listen on another port than 25122" },
    { "--multicast-port", "PORT", "listen on another port than 25123" },
    { "--unicast-port", "PORT", "listen on another port than 25124" },
    { "--firmware", "VERSION", "firmware version of the generated devices (default 1.0.0)" },
    { "--fault", "[N=]MODE",
        "misbehave, every device (or device N only, counted from 1): none, silent (answer and do nothing), twice "
        "(every reply two times), short (replies cut to 64 bytes, StatusReply to 20), bad-signature (replies start "
        "with \"ZORVVROX\")" },
    { "--framing", "[N=]on|off",
        "framed data channel (typed packets with serial settings and modem lines beside the data; default on) or raw "
        "bytes; N=on|off for device N only" },
    { "--serial", "[N=]pty|echo",
        "serial side: a pseudo-terminal for a peer program (default), or a loopback plug that sends every byte back "
        "and wires RTS to CTS, DTR to DSR and DCD; N=pty|echo for device N only" },
    { "--reconnect-time", "SECONDS", "wait before a client-mode device tries its destination again (default 5)" },
    { "-v,--verbose", "", "log every datagram and data-channel packet (with the serial settings it leaves) to stderr" },
};

} // namespace

int main(int argc, char** argv)
{
    CLI::App app(sim::devsim::usageAbout(), "devsim");
    cli::setUp(app);
    app.footer(sim::devsim::usageNotes());
    // Each option with its values, for the setup to read as one command line.
    std::vector<std::pair<std::string, std::vector<std::string>>> given;
    for (const Declared& option : kOptions) {
        const std::string names = option.names;
        const std::string name = names.substr(names.find("--"));
        if (*option.value == '\0') {
            app.add_flag_callback(
                names,
                [&given, name] {
                    given.push_back({ name, {} });
                },
                option.description);
            continue;
        }
        app.add_option_function<std::vector<std::string>>(
               names,
               [&given, name](const std::vector<std::string>& values) {
                   given.push_back({ name, values });
               },
               option.description)
            ->type_name(option.value)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    cli::setExitStatus(app, "0 stopped by a signal, 1 when a socket or terminal could not be made, 2 bad arguments.");
    cli::addExamples(app,
        {
            { "devsim --devices 3", "three device servers answering searches on this host" },
            { "devsim --devices 2 --serial echo --framing 2=off", "loopback plugs; device 2 with a raw data channel" },
            { "devsim --config devices.txt --fault 1=silent -v",
                "devices of a file, the first one doing nothing asked; log all" },
        });
    if (const int status = cli::parse(app, argc, argv); status != cli::kContinue)
        return status;
    std::vector<std::string> args;
    for (const auto& [name, values] : given) {
        if (values.empty())
            args.push_back(name);
        for (const auto& value : values) {
            args.push_back(name);
            args.push_back(value);
        }
    }
    auto setup = sim::devsim::parseCommandLine(args);
    if (!setup.ok())
        return cli::refuse(app, setup.error().message);

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
