#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/json_text.h"
#include "platform/termination_signals.h"
#include "utility/devmgmt/device_view.h"
#include "utility/vsp/device_link.h"
#include "utility/vsp/vsp_manager.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace qelta {

namespace {

const char* const kUsage = R"(qelta [--local ADDR] vsp list [--json]
       qelta [--local ADDR] vsp add [--com N]
       qelta [--local ADDR] vsp remove COMn
       qelta [--local ADDR] vsp set COMn [--remote ADDR:PORT | --listen PORT] [--tcp | --udp]
                 [--flow-packets | --no-flow-packets] [--max-packet N]
                 [--connect-at-start | --no-connect-at-start] [--com M]
                 [--protocol native|rfc2217]
       qelta [--local ADDR] vsp connect COMn
       qelta [--local ADDR] vsp close COMn
       qelta [--local ADDR] vsp watch [--duration S])";

const char* const kAbout = R"(Manages the virtual serial ports of the driver host (vorpild, found through
VORPIL_RUNTIME_DIR as devcon finds it) exactly as the Virtual Serial Port view
does: the same requests, the same message texts (on stderr) and the same
"vsp.dat" in the working directory.)";

const char* const kNotes = R"(A port that another program holds open is listed all the same (marked held,
"held": true in --json); the other ports stay usable. The driver host
(vorpild) is looked for as devcon looks for it (VORPIL_RUNTIME_DIR, else the
user's own daemon, else the system service at /run/vorpil); remove starts the devcon that sits beside qelta, else the one on PATH.
Log lines go to stderr (to stdout for watch). "set COMn --com 1" is refused:
the first entry of the port number list changes nothing.

Exit status: 0 when the command did what it was asked (and "vsp.dat" keeps
it), 1 when it failed (setting a connected port, closing an idle one, a
"vsp.dat" that cannot be written), 2 for bad arguments, 3 when the driver
host is not running or the watch's UDP port 25126 is taken.)";

struct VspArguments {
    std::string action;
    std::string port;
    bool json = false;
    std::optional<int> com;
    std::optional<std::string> remote;
    std::optional<std::uint16_t> listen;
    std::optional<std::uint8_t> protocol;
    std::optional<bool> flowPackets;
    std::optional<std::uint32_t> maxPacket;
    std::optional<bool> connectAtStart;
    std::optional<utility::vsp::WireProtocol> wireProtocol;
    std::optional<double> duration;
};

bool number(const std::string& text, unsigned long low, unsigned long high, unsigned long& value)
{
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size() && value >= low && value <= high;
}

CLI::Validator remoteAddress()
{
    return CLI::Validator(
        [](std::string& text) {
            const std::size_t colon = text.rfind(':');
            std::uint32_t address = 0;
            unsigned long port = 0;
            if (colon == std::string::npos || !utility::vsp::parseHostAddress(text.substr(0, colon), address)
                || !number(text.substr(colon + 1), 0, 65535, port))
                return "'" + text + "' is not ADDR:PORT (an IPv4 address, a port from 0 to 65535)";
            return std::string();
        },
        "", "ADDR:PORT");
}

int runVsp(Context& context, VspArguments& args);

} // namespace

Runner declareVsp(CLI::App& command)
{
    auto args = describe<VspArguments>(command, kAbout, kNotes);
    cli::setUsage(command, kUsage);
    command.require_subcommand(1, 1);
    auto action = [&](const char* name, const char* description, bool named) {
        CLI::App* sub = cli::addCommand(command, name, description);
        if (named)
            sub->add_option("COMn", args->port, "the port's name")
                ->required()
                ->check(CLI::Validator(
                    [](std::string& text) {
                        return utility::vsp::comNumber(text) == 0 ? "'" + text + "' is not a port name (COMn)"
                                                                  : std::string();
                    },
                    "", "COMn"));
        return sub;
    };
    CLI::App* list = action("list", "the port list (Port ID, Port Name, Status, Remote IP, Remote Port)", false);
    list->add_flag("--json", args->json,
        "print an array of objects with the keys id, name, status, remote_ip, remote_port, protocol, type, "
        "flow_packets, max_packet, connect_at_start, held, wire_protocol (\"native\" or \"rfc2217\")");
    CLI::App* add = action("add", "adds a port as the Add button does", false);
    auto com = [&](CLI::App* sub, const char* description) {
        sub->add_option("--com", args->com, description)->type_name("N")->check(cli::wholeNumber(1, 256));
    };
    com(add, "the COM number instead of the first free one");
    action("remove", "removes the port as the Remove button does (devcon remove, then the three-second wait)", true);
    CLI::App* set = action("set",
        "changes the port's settings as the Setting button does; options not given keep the port's values", true);
    auto* remote = set->add_option("--remote", args->remote, "client mode: the device server's address and port")
                       ->check(remoteAddress())
                       ->type_name("ADDR:PORT");
    set->add_option("--listen", args->listen, "server mode: the local port to listen on")
        ->type_name("PORT")
        ->check(cli::wholeNumber(0, 65535))
        ->excludes(remote);
    set->add_flag_callback(
        "--tcp", [args] { args->protocol = 0; }, "carry the data over TCP");
    set->add_flag_callback(
        "--udp", [args] { args->protocol = 1; }, "carry the data over UDP");
    set->add_flag_callback(
        "--flow-packets", [args] { args->flowPackets = true; }, "send flow control packets");
    set->add_flag_callback(
        "--no-flow-packets", [args] { args->flowPackets = false; }, "no flow control packets");
    set->add_option("--max-packet", args->maxPacket, "the largest packet, 1..65535 (default 450)")
        ->type_name("N")
        ->check(cli::wholeNumber(1, 65535));
    set->add_flag_callback(
        "--connect-at-start", [args] { args->connectAtStart = true; }, "connect when the driver host starts the port");
    set->add_flag_callback(
        "--no-connect-at-start", [args] { args->connectAtStart = false; }, "do not connect at start");
    set->add_option_function<std::string>(
           "--protocol",
           [args](const std::string& text) { args->wireProtocol = utility::vsp::parseWireProtocol(text); },
           "what the port speaks to the device server: native (its framing) or rfc2217 (Telnet COM port control)")
        ->type_name("native|rfc2217")
        ->check(cli::oneOf({ "native", "rfc2217" }));
    com(set, "rename the port to COM<N>");
    cli::exclusive(*set, { "--tcp", "--udp" });
    cli::exclusive(*set, { "--flow-packets", "--no-flow-packets" });
    cli::exclusive(*set, { "--connect-at-start", "--no-connect-at-start" });
    action("connect", "the Connect (client) or Server button", true);
    action("close", "the Close button", true);
    CLI::App* watch = action("watch",
        "reconnects the ports \"vsp.dat\" remembers as connected and watches the connections (the connection "
        "status check) until interrupted or for S seconds; the watch's log lines go to stdout",
        false);
    watch->add_option("--duration", args->duration, "watch for S seconds")
        ->type_name("S")
        ->check(cli::wholeNumber(1, 86400 * 365));
    return [args, &command](Context& context) {
        args->action = command.get_subcommands().front()->get_name();
        return runVsp(context, *args);
    };
}

namespace {

// The "COM Port Configuration" dialog of the command line: the number given
// with --com, else the dialog's preselection.
class CommandDialogs final : public utility::vsp::VspDialogs {
public:
    explicit CommandDialogs(std::optional<int> com)
        : m_com(com)
    {
    }
    std::optional<int> comPortConfiguration(const std::vector<std::string>&, int preselected) override
    {
        return m_com ? *m_com - 1 : preselected;
    }

private:
    std::optional<int> m_com;
};

// The device view behind `watch` only sends ConnectNotice; it shows no dialog.
class NoDeviceDialogs final : public utility::devmgmt::DeviceDialogs {
public:
    utility::devmgmt::DialogResult devicesSearching(utility::devmgmt::SearchSettings&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
    utility::devmgmt::DialogResult ipSearching(std::string&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
    utility::devmgmt::DialogResult setting(utility::devmgmt::Periods&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
};

std::string listJson(const utility::vsp::VspManager& vsp)
{
    nlohmann::ordered_json ports = nlohmann::ordered_json::array();
    for (const auto& row : vsp.rows()) {
        const auto& e = row.entry;
        nlohmann::ordered_json port;
        unsigned long id = 0;
        (void)number(e.portId, 0, 1000000, id);
        port["id"] = id;
        port["name"] = e.portName;
        port["status"] = row.status;
        port["remote_ip"] = e.remoteHostIp ? utility::vsp::hostAddressText(e.remoteHostIp) : "";
        port["remote_port"] = e.remoteHostPort;
        port["protocol"] = e.protocol ? "udp" : "tcp";
        port["type"] = e.connType ? "client" : "server";
        port["flow_packets"] = e.cmdByte != 0;
        port["max_packet"] = e.maxPacketLen;
        port["connect_at_start"] = e.connectAtWinStart != 0;
        port["held"] = row.held;
        port["wire_protocol"] = std::string(utility::vsp::wireProtocolName(row.wireProtocol));
        ports.push_back(std::move(port));
    }
    return platform::jsonText(ports, 2) + "\n";
}

void listText(const utility::vsp::VspManager& vsp)
{
    std::printf("%-8s %-10s %-14s %-16s %s\n", "Port ID", "Port Name", "Status", "Remote IP", "Remote Port");
    for (const auto& row : vsp.rows())
        std::printf("%-8s %-10s %-14s %-16s %s%s\n", row.entry.portId.c_str(), row.entry.portName.c_str(),
            row.status.c_str(), row.remoteIp.c_str(), row.remotePort.c_str(), row.held ? " (held)" : "");
}

void printError(const std::string& text)
{
    printStatus(text);
    if (!text.empty() && text.back() != '\n')
        printStatus("\n");
}

int runVsp(Context& context, VspArguments& args)
{
    if (args.action == "set" && args.com && *args.com == 1) {
        std::fprintf(stderr, "qelta vsp: --com 1 changes nothing (the list's first entry keeps the port's number)\n");
        return kExitFailure;
    }
    auto loop = platform::makeEpollLoop();
    CommandDialogs dialogs(args.com);
    utility::vsp::VspOptions options;
    options.hardwareId = std::string(context.shell.hardwareId());
    options.infName = context.shell.driverInf();
    options.bindAddress = context.shell.selection().effectiveAddress;
    options.showMaxPacket = context.shell.settings().maxTxPacketSizeSwitch != 0;
    options.watch = args.action == "watch";
    options.devcon = utility::vsp::devconBesideProgram();
    utility::vsp::VspManager vsp(*loop, context.prompter, dialogs, options);
    // The status line goes where the message boxes go.
    vsp.setStatusSink([](const std::string& text) {
        if (!text.empty())
            std::fprintf(stderr, "%s\n", text.c_str());
    });
    // The log goes beside the messages; only watch prints it as its output.
    vsp.setLogSink(args.action == "watch" ? printLogLine : printError);
    vsp.setErrorSink(printError);
    if (!vsp.hostReachable()) {
        std::fprintf(stderr, "qelta vsp: the driver host (vorpild) is not running: no control socket at %s\n",
            vsp.hostSocketPath().c_str());
        return kExitNoDriverHost;
    }
    vsp.start(true);

    const auto row = args.port.empty() ? std::nullopt : vsp.rowOf(args.port);
    if (!args.port.empty() && !row) {
        std::fprintf(stderr, "qelta vsp: no virtual serial port %s\n", args.port.c_str());
        return kExitFailure;
    }
    if (args.action == "list") {
        if (args.json)
            std::fputs(listJson(vsp).c_str(), stdout);
        else
            listText(vsp);
        return kExitOk;
    }
    // A change the driver host took but "vsp.dat" could not keep is a
    // failure too: the reconnect at the next start would miss it.
    auto saved = [&](bool done) { return done && !vsp.saveFailed() ? kExitOk : kExitFailure; };
    if (args.action == "add")
        return saved(vsp.clickAdd());
    if (args.action == "remove") {
        if (!vsp.removeByName(args.port))
            return kExitFailure;
        loop->startTimer(std::chrono::milliseconds(50), [&] {
            if (!vsp.removing())
                loop->quit();
        });
        loop->run();
        return saved(!vsp.rowOf(args.port));
    }
    if (args.action == "connect") {
        vsp.selectRow(row);
        return saved(vsp.clickConnect());
    }
    if (args.action == "close")
        return saved(vsp.closeByName(args.port));
    if (args.action == "set") {
        vsp.selectRow(row);
        if (!vsp.clickSetting())
            return kExitFailure;
        auto& controls = vsp.controls();
        if (args.remote) {
            vsp.chooseClient();
            const std::size_t colon = args.remote->rfind(':');
            controls.address = args.remote->substr(0, colon);
            controls.remoteHostPort = args.remote->substr(colon + 1);
        } else if (args.listen) {
            vsp.chooseServer();
            controls.listenPort = std::to_string(*args.listen);
        }
        if (args.protocol)
            controls.protocol = *args.protocol;
        if (args.wireProtocol)
            controls.wireProtocol = *args.wireProtocol;
        if (args.flowPackets)
            controls.cmdByte = *args.flowPackets;
        if (args.connectAtStart)
            controls.connectAtWinStart = *args.connectAtStart;
        if (args.maxPacket)
            vsp.setMaxPacketLen(*args.maxPacket);
        else
            vsp.setMaxPacketLen(controls.maxPacketLen);
        if (args.com)
            controls.comIndex = *args.com - 1;
        if (!vsp.clickSetting())
            return kExitFailure;
        return saved(!args.com || vsp.rows()[*row].entry.portName == "COM" + std::to_string(*args.com));
    }
    // watch: the device view asks for the reconnect one second after start;
    // its command socket carries the ConnectNotice datagrams. A watch that
    // cannot hear the devices' answers (another watch has its port) would
    // watch nothing.
    if (!vsp.listenForWatch())
        return kExitPortTaken;
    if (!platform::quitOnTerminationSignals(*loop))
        return kExitFailure;
    NoDeviceDialogs deviceDialogs;
    utility::devmgmt::DeviceView deviceView(*loop, context.prompter, deviceDialogs);
    deviceView.setLocalAddress(context.shell.selection().effectiveAddress, context.shell.selection().netmask);
    utility::vsp::DeviceViewLink link(vsp, deviceView);
    vsp.checkConnectedPorts();
    if (args.duration)
        loop->startTimer(std::chrono::milliseconds(static_cast<long>(*args.duration * 1000)), [&] { loop->quit(); });
    loop->run();
    vsp.save();
    return kExitOk;
}

} // namespace

} // namespace qelta
