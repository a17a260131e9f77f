// devcon: the device console tool against the driver host's control socket.
#include "apps/cli/command_line.h"
#include "apps/devcon/commands.h"
#include "common/vorpil_ioctl.h"

#include <cstdint>
#include <string>

namespace {

const char* const kNotes = R"(The driver host is found through VORPIL_RUNTIME_DIR, else the user's own
daemon when it runs, else the system service at /run/vorpil (root: always
/run/vorpil).
Exit status: 0 done, 1 the host answered with a failure, 2 bad arguments, 3 no driver host, 4 a bad INF.)";

CLI::Validator comName()
{
    return CLI::Validator(
        [](std::string& text) { return devcon::isComName(text) ? std::string() : "'" + text + "' is not COMn"; }, "",
        "");
}

// SECONDS from 1 to 3600, or off.
CLI::Validator reconnectInterval()
{
    return CLI::Validator(
        [](std::string& text) {
            std::string number = text;
            if (text == "off" || cli::wholeNumber(1, 3600)(number).empty())
                return std::string();
            return "'" + text + "' is not a whole number from 1 to 3600 or off";
        },
        "", "");
}

CLI::Option* addPort(CLI::App& command, std::string& port)
{
    return command.add_option("COMn", port, "the port's name")->required()->check(comName());
}

void declareSet(CLI::App& command, devcon::SetArguments& args)
{
    command.footer("The remote endpoint needs --remote, --tcp or --udp, --client or --server and, for the native\n"
                   "protocol, --framed or --raw together. --reconnect, --pacing and --protocol apply from the\n"
                   "port's next open.");
    addPort(command, args.port);
    command.add_option("--remote", args.remote, "the device server's address and port")
        ->type_name("ADDR:PORT")
        ->check(CLI::Validator(
            [](std::string& text) {
                const std::size_t colon = text.rfind(':');
                std::uint32_t address = 0;
                unsigned long port = 0;
                const std::string digits = colon == std::string::npos ? "" : text.substr(colon + 1);
                const bool number = !digits.empty() && digits.size() <= 5
                    && digits.find_first_not_of("0123456789") == std::string::npos
                    && (port = std::stoul(digits)) <= 65535;
                if (colon == std::string::npos || !common::parseAddress(text.substr(0, colon), address) || !number)
                    return "'" + text + "' is not ADDR:PORT (an IPv4 address, a port from 0 to 65535)";
                return std::string();
            },
            "", ""));
    command.add_flag_callback(
        "--tcp", [&args] { args.protocol = "tcp"; }, "carry the data over TCP");
    command.add_flag_callback(
        "--udp", [&args] { args.protocol = "udp"; }, "carry the data over UDP");
    command.add_flag_callback(
        "--client", [&args] { args.connType = "client"; }, "connect to the remote");
    command.add_flag_callback(
        "--server", [&args] { args.connType = "server"; }, "wait for the remote");
    command.add_flag_callback(
        "--framed", [&args] { args.framing = "framed"; }, "data and control in frames");
    command.add_flag_callback(
        "--raw", [&args] { args.framing = "raw"; }, "the bare data");
    command.add_option("--max-packet", args.maxPacket, "the largest packet, 1..65535 (default 450)")
        ->type_name("N")
        ->check(cli::wholeNumber(1, 65535));
    command.add_flag("--connect-at-start", args.connectAtStart, "connect when the driver host starts the port");
    command.add_option("--bind", args.bind, "the local address to bind to")->type_name("ADDR")->check(cli::ipv4());
    command
        .add_option("--reconnect", args.reconnect,
            "a client port whose connection was lost tries again every SECONDS (default 5) while a program has it "
            "open; off leaves it down until connected again")
        ->type_name("SECONDS|off")
        ->check(reconnectInterval());
    command
        .add_option("--pacing", args.pacing,
            "off: writes are not held to the port's baud rate (for device servers that buffer)")
        ->type_name("on|off")
        ->check(cli::oneOf({ "on", "off" }));
    command
        .add_option("--protocol", args.wireProtocol,
            "rfc2217: the port speaks Telnet with COM-PORT-OPTION (RFC 2217) over TCP to any device server that "
            "does (ser2net among them); native: the device servers' own framing (or raw, as --framed/--raw say)")
        ->type_name("native|rfc2217")
        ->check(cli::oneOf({ "native", "rfc2217" }));
    cli::exclusive(command, { "--tcp", "--udp" });
    cli::exclusive(command, { "--client", "--server" });
    cli::exclusive(command, { "--framed", "--raw" });
}

void declareSerial(CLI::App& command, devcon::SerialArguments& args)
{
    command.footer("What a terminal cannot carry (parity, data bits, modem lines, break), while no program holds\n"
                   "the port; a program's own terminal settings change only what it sets.");
    addPort(command, args.port);
    command.add_option("--baud", args.baud, "the baud rate, 50..4000000")
        ->type_name("N")
        ->check(cli::wholeNumber(50, 4000000));
    command.add_option("--data-bits", args.dataBits, "8, 7, 6 or 5")->type_name("N")->check(cli::wholeNumber(5, 8));
    command.add_option("--parity", args.parity, "none, odd, even, mark or space")
        ->type_name("none|odd|even|mark|space")
        ->check(cli::oneOf({ "none", "odd", "even", "mark", "space" }));
    command.add_option("--stop-bits", args.stopBits, "1, 1.5 or 2")
        ->type_name("1|1.5|2")
        ->check(cli::oneOf({ "1", "1.5", "2" }));
    command.add_option("--dtr", args.dtr, "raise or drop DTR")->type_name("on|off")->check(cli::oneOf({ "on", "off" }));
    command.add_option("--rts", args.rts, "raise or drop RTS")->type_name("on|off")->check(cli::oneOf({ "on", "off" }));
    command.add_option("--break", args.breakMs, "send a break of MS milliseconds")
        ->type_name("MS")
        ->check(cli::wholeNumber(0, 60000));
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("The device console of the driver host (vorpild): install, remove, list, set and connect virtual "
                 "serial ports.",
        "devcon");
    cli::setUp(app);
    app.footer(kNotes);
    app.require_subcommand(1, 1);

    std::string infPath, hardwareId, portName, instanceId;
    CLI::App* install = cli::addCommand(app, "install", "Install a port node from the driver package");
    install->add_option("INF", infPath, "the driver package's INF file")->required();
    install->add_option("HARDWARE_ID", hardwareId, "a hardware ID the INF lists")->required();
    addPort(*install, portName);
    CLI::App* remove = cli::addCommand(app, "remove", "remove a port node");
    remove->add_option("INSTANCE_ID", instanceId, "the node's instance ID (as status lists it)")->required();
    CLI::App* status = cli::addCommand(app, "status", "list the nodes and terminals");
    devcon::SetArguments set;
    CLI::App* setCommand = cli::addCommand(app, "set", "set a port's remote endpoint and the host's options of it");
    declareSet(*setCommand, set);
    devcon::SerialArguments serial;
    CLI::App* serialCommand = cli::addCommand(app, "serial", "serial settings a terminal cannot carry");
    declareSerial(*serialCommand, serial);
    std::string port;
    CLI::App* connect = cli::addCommand(app, "connect", "connect the port to its remote (client)");
    addPort(*connect, port);
    CLI::App* server = cli::addCommand(app, "server", "let the port wait for its remote (server)");
    addPort(*server, port);
    CLI::App* disconnect = cli::addCommand(app, "disconnect", "disconnect the port");
    addPort(*disconnect, port);

    cli::addExamples(app,
        {
            { "devcon status", "list the port nodes and the terminals of the driver host" },
            { "devcon install VORPIL.inf 'ZORV\\Rure' COM5", "install the port node COM5" },
            { "devcon install /usr/share/kellan-suite/VORPIL.inf 'ZORV\\Rure' COM6",
                "install COM6 from the installed driver package" },
            { "devcon remove 'ROOT\\PORTS\\0000'", "remove the node status lists with that instance ID" },
            { "devcon status | grep COM5", "see COM5's node, endpoint and state" },
            { "devcon set COM5 --remote 192.168.0.7:4001 --tcp --client --framed",
                "COM5 connects by TCP to the device server at 192.168.0.7" },
            { "devcon set COM5 --protocol rfc2217 --remote 192.168.0.9:2000 --tcp --client",
                "COM5 speaks RFC 2217 to a server such as ser2net" },
            { "devcon set COM5 --reconnect off --pacing off", "options of the host that apply from the next open" },
            { "devcon serial COM5 --baud 9600 --parity even", "9600 baud, even parity, while no program holds COM5" },
            { "devcon serial COM5 --dtr off --break 250", "drop DTR and send a break of 250 ms" },
            { "devcon connect COM5", "connect COM5 to its remote now" },
            { "devcon connect COM5 && devcon status", "connect it and see the link" },
            { "devcon server COM5", "let COM5 wait for its remote" },
            { "devcon server COM5 && devcon status", "and see it waiting" },
            { "devcon disconnect COM5", "end COM5's connection" },
            { "devcon disconnect COM5 && devcon remove 'ROOT\\PORTS\\0000'", "end it and remove the node" },
        });
    if (const int code = cli::parse(app, argc, argv); code != cli::kContinue)
        return code;
    if (install->parsed())
        return devcon::install(infPath, hardwareId, portName);
    if (remove->parsed())
        return devcon::remove(instanceId);
    if (status->parsed())
        return devcon::status();
    if (setCommand->parsed()) {
        const bool remote = set.remote || !set.protocol.empty() || !set.connType.empty() || !set.framing.empty()
            || setCommand->count("--max-packet") || set.connectAtStart || set.bind;
        // RFC 2217 carries the data bare: framing means nothing there.
        const bool rfc2217 = set.wireProtocol == "rfc2217";
        if (rfc2217 && set.framing == "framed")
            return cli::refuse(*setCommand, "--framed does not apply to --protocol rfc2217");
        if (rfc2217)
            set.framing = "raw";
        if (remote && (!set.remote || set.protocol.empty() || set.connType.empty() || set.framing.empty()))
            return cli::refuse(*setCommand,
                rfc2217 ? "the remote endpoint needs --remote, --tcp|--udp and --client|--server"
                        : "the remote endpoint needs --remote, --tcp|--udp, --client|--server and --framed|--raw");
        if (!remote && !set.reconnect && !set.pacing && !set.wireProtocol)
            return cli::refuse(*setCommand, "nothing to set");
        return devcon::set(set);
    }
    if (serialCommand->parsed())
        return devcon::serial(serial);
    if (connect->parsed())
        return devcon::connect(port);
    if (server->parsed())
        return devcon::serve(port);
    return devcon::disconnect(port);
}
