#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/termination_signals.h"
#include "utility/services/dhcp_view.h"

#include <cstdio>
#include <optional>

namespace qelta {

const std::string_view kDhcpUsage = "[--start A] [--end B] [--gateway G] [--netmask M] [--dns D] [--server S] "
                                    "[--boot FILE]";

const std::string_view kDhcpHelp = R"(usage: qelta [--local ADDR] dhcp [OPTIONS]

Runs the DHCP/BOOTP server of the DHCP view on UDP port 67 of the selected
local interface until interrupted (Ctrl+C, SIGTERM). The view's log (one
line per request and per assigned address) goes to stdout. At exit the
mapping list is saved to "dhcp.dat" and the values below are kept in
Qelta.dat (items 13-19), as the window does.

options (defaults: the values in Qelta.dat):
  --start A      first address of the pool
  --end B        last address of the pool
  --gateway G    router option
  --netmask M    subnet mask option
  --dns D        domain name server option
  --server S     server address field (siaddr), normally the TFTP server
  --boot FILE    boot file name, at most 32 characters
  --local ADDR   serve the interface with this address (a qelta option)

The range must run upwards (start not above end), lie in one subnet of the
netmask and hold at most 256 addresses; otherwise the server does not start.
Each device keeps the address it was given: when every address of the range
has its device, a new device gets no offer and the log says the pool is
exhausted. Renewing devices are acknowledged for the address the mapping
list gives them and refused (NAK) any other.

Exit status: 0 after a run ended by a signal, 1 when the server could not
start or "dhcp.dat" could not be saved, 2 for bad arguments or a range that
cannot be served.
)";

namespace {

struct DhcpOptions {
    std::optional<platform::Ipv4> start, end, gateway, netmask, dns, server;
    std::optional<std::string> boot;
};

std::string parse(const std::vector<std::string>& arguments, DhcpOptions& options)
{
    const struct {
        const char* name;
        std::optional<platform::Ipv4> DhcpOptions::*field;
    } addresses[] = { { "--start", &DhcpOptions::start }, { "--end", &DhcpOptions::end },
        { "--gateway", &DhcpOptions::gateway }, { "--netmask", &DhcpOptions::netmask }, { "--dns", &DhcpOptions::dns },
        { "--server", &DhcpOptions::server } };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (i + 1 >= arguments.size())
            return argument.rfind("--", 0) == 0 ? argument + " needs a value"
                                                : "unexpected argument '" + argument + "'";
        const std::string& value = arguments[++i];
        if (argument == "--boot") {
            if (value.size() > utility::services::kDhcpBootFileMax)
                return "--boot: the name has more than 32 characters";
            options.boot = value;
            continue;
        }
        bool known = false;
        for (const auto& item : addresses) {
            if (argument != item.name)
                continue;
            known = true;
            const auto address = platform::parseIpv4(value);
            if (!address)
                return "'" + value + "' is not an IPv4 address";
            options.*item.field = *address;
        }
        if (!known)
            return "unknown option '" + argument + "'";
    }
    return {};
}

} // namespace

std::string checkDhcpArguments(const std::vector<std::string>& arguments)
{
    DhcpOptions options;
    return parse(arguments, options);
}

int runDhcp(Context& context)
{
    DhcpOptions options;
    if (!parse(context.arguments, options).empty())
        return kExitBadArguments;
    auto& shell = context.shell;
    auto loop = platform::makeEpollLoop();
    utility::services::DhcpView view(*loop, context.prompter);
    view.setLogCallback(printLog);
    view.firstShown(shell.settings(), shell.selection().effectiveAddress,
        shell.store().directory() + utility::services::kDhcpFileName);
    utility::services::DhcpFields fields = view.fields();
    fields.start = options.start.value_or(fields.start);
    fields.end = options.end.value_or(fields.end);
    fields.gateway = options.gateway.value_or(fields.gateway);
    fields.netmask = options.netmask.value_or(fields.netmask);
    fields.dns = options.dns.value_or(fields.dns);
    fields.server = options.server.value_or(fields.server);
    fields.bootFile = options.boot.value_or(fields.bootFile);
    (void)view.setFields(fields);

    view.toggle();
    const bool started = view.running();
    // The view has said why in its log; a range that cannot be served is the
    // caller's to mend, as a bad argument is.
    if (!started && !utility::services::checkDhcpRange(view.fields()).empty())
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

} // namespace qelta
