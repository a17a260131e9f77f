#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/termination_signals.h"
#include "utility/services/dhcp_view.h"

#include <cstdio>
#include <optional>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the DHCP/BOOTP server of the DHCP view on UDP port 67 of the selected
local interface (--local ADDR, a qelta option) until interrupted (Ctrl+C,
SIGTERM, SIGHUP). The view's log (one line per request and per assigned
address) goes to stdout. The mapping list is saved to "dhcp.dat" at every
change and at exit; the values below are kept in Qelta.dat (items 13-19),
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

Exit status: 0 after a run ended by a signal, 1 when the server could not
start or "dhcp.dat" could not be saved, 2 for bad arguments or a range that
cannot be served.)";

struct DhcpOptions {
    std::optional<std::string> start, end, gateway, netmask, dns, server;
    std::optional<std::string> boot;
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
    if (started) {
        if (!platform::quitOnTerminationSignals(*loop))
            std::fprintf(stderr, "qelta: cannot catch termination signals\n");
        loop->run();
        view.toggle();
    }
    const bool saved = view.handOver(shell.settings());
    return started && saved ? kExitOk : kExitFailure;
}

} // namespace

} // namespace qelta
