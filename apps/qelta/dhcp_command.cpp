#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/privileges.h"
#include "platform/termination_signals.h"
#include "platform/text_file.h"
#include "utility/services/dhcp_view.h"

#include <cstdio>
#include <optional>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the DHCP/BOOTP server of the DHCP view on UDP port 67 of the selected
local interface (--local ADDR, a qelta option) until interrupted (Ctrl+C,
SIGTERM, SIGHUP). The view's log (one line per request and per assigned
address) goes to stdout. The mapping list is saved to "dhcp.dat" at every
change and at exit, as a change of the file (rows another program sharing the
folder added or dropped meanwhile stay so); the values below are kept in
Qelta.dat (items 13-19),
as the window does.
Options left out take the values in Qelta.dat.)";

const char* const kNotes = R"(The range must run upwards (start not above end), lie in one subnet of the
netmask, hold at most 256 addresses, and leave out the subnet's network and
broadcast addresses and this server's own address, in this server's subnet;
otherwise the server does not start.
Each device keeps the address it was given: when every address of the range
has its device, a new device gets no offer and the log says the pool is
exhausted. An offer not requested within a minute gives its address back.
Renewing devices are acknowledged for the address the mapping list gives
them and refused (NAK) any other; a device the list does not know is left
to its own server. A declined address is not offered for ten minutes; a
released one is free again.

Once port 67 is bound, the datagrams are handled by a worker that has
given up root: it takes the ids of --user (default nobody) and keeps no
capability; "dhcp.dat" is written for it by the process that started it.
Run without root (with CAP_NET_BIND_SERVICE for port 67) the worker stays
who it is and drops the capability.

Exit status: 0 after a run ended by a signal, 1 when the server could not
start or "dhcp.dat" could not be saved, 2 for bad arguments or a range that
cannot be served.)";

struct DhcpOptions {
    std::optional<std::string> start, end, gateway, netmask, dns, server;
    std::optional<std::string> boot;
    std::string user = "nobody";
};

int runDhcp(Context& context, const DhcpOptions& options);

} // namespace

Runner declareDhcp(CLI::App& command)
{
    auto options = describe<DhcpOptions>(command, kAbout, kNotes);
    const struct {
        const char* name;
        const char* value;
        std::optional<std::string> DhcpOptions::*field;
        const char* description;
    } addresses[] = { { "--start", "A", &DhcpOptions::start, "first address of the pool" },
        { "--end", "B", &DhcpOptions::end, "last address of the pool" },
        { "--gateway", "G", &DhcpOptions::gateway, "router option" },
        { "--netmask", "M", &DhcpOptions::netmask, "subnet mask option" },
        { "--dns", "D", &DhcpOptions::dns, "domain name server option" },
        { "--server", "S", &DhcpOptions::server, "server address field (siaddr), normally the TFTP server" } };
    for (const auto& item : addresses)
        command.add_option(item.name, (*options).*item.field, item.description)
            ->type_name(item.value)
            ->check(cli::ipv4());
    command.add_option("--boot", options->boot, "boot file name, at most 32 characters")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& name) {
                return name.size() > utility::services::kDhcpBootFileMax
                    ? std::string("the name has more than 32 characters")
                    : std::string();
            },
            "", "FILE"));
    command.add_option("--user", options->user, "serve as this user once the port is bound (default: nobody)")
        ->type_name("NAME");
    return [options](Context& context) { return runDhcp(context, *options); };
}

namespace {

int runDhcp(Context& context, const DhcpOptions& options)
{
    auto& shell = context.shell;
    auto loop = platform::makeEpollLoop();
    utility::services::DhcpView view(*loop, context.prompter);
    view.setLogCallback(printLog);
    view.firstShown(shell.settings(), shell.selection().effectiveAddress,
        shell.store().directory() + utility::services::kDhcpFileName);
    utility::services::DhcpFields fields = view.fields();
    if (options.start)
        fields.start = *platform::parseIpv4(*options.start);
    if (options.end)
        fields.end = *platform::parseIpv4(*options.end);
    if (options.gateway)
        fields.gateway = *platform::parseIpv4(*options.gateway);
    if (options.netmask)
        fields.netmask = *platform::parseIpv4(*options.netmask);
    if (options.dns)
        fields.dns = *platform::parseIpv4(*options.dns);
    if (options.server)
        fields.server = *platform::parseIpv4(*options.server);
    fields.bootFile = options.boot.value_or(fields.bootFile);
    (void)view.setFields(fields);

    view.toggle();
    const bool started = view.running();
    // The view has said why in its log; a range that cannot be served is the
    // caller's to mend, as a bad argument is.
    if (!started && !utility::services::checkDhcpRange(view.fields(), view.server().serverIdentifier()).empty())
        return kExitBadArguments;
    if (!started) {
        (void)view.handOver(shell.settings());
        return kExitFailure;
    }
    if (!platform::quitOnTerminationSignals(*loop))
        std::fprintf(stderr, "qelta: cannot catch termination signals\n");
    // The datagrams from the network are handled by a worker without root;
    // this process writes "dhcp.dat" for it and then saves the settings.
    auto split = platform::PrivilegeSplit::start();
    if (!split) {
        std::fprintf(stderr, "qelta: cannot start the server's worker: %s\n", split.error().message.c_str());
        view.toggle();
        (void)view.handOver(shell.settings());
        return kExitFailure;
    }
    if (!split->isWorker()) {
        const std::string mappingFile = shell.store().directory() + utility::services::kDhcpFileName;
        bool saved = true;
        // As the worker's list was when it started: each save is a change of
        // the file as it is then (another program may share the folder).
        utility::services::DhcpFileSaver saver = view.fileSaver();
        const int status = split->serve([&](const std::string& text) {
            const bool ok = saver.save(mappingFile, utility::services::parseDhcpFile(text)).ok();
            // Said once until a save succeeds again.
            if (!ok && saved)
                std::fprintf(stderr, "%s\n", utility::services::kDhcpSaveFailed);
            saved = ok;
        });
        view.handOverSettings(shell.settings());
        return status == 0 && saved ? kExitOk : kExitFailure;
    }
    view.setMappingWriter([&split](const std::string&, const std::string& text) { return split->send(text); });
    auto dropped = platform::dropPrivileges(options.user);
    if (!dropped) {
        std::fprintf(stderr, "qelta: cannot give up root for user %s: %s\n", options.user.c_str(),
            dropped.error().message.c_str());
        view.toggle();
        platform::PrivilegeSplit::exitWorker(kExitFailure);
    }
    std::fprintf(stderr, "Serving as %s.\n", dropped->user.c_str());
    loop->run();
    view.toggle();
    platform::PrivilegeSplit::exitWorker(view.saveMappingFile() ? kExitOk : kExitFailure);
}

} // namespace

} // namespace qelta
