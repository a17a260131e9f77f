#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

namespace qelta {

const std::string_view kRebootUsage = "--ip ADDR [--ip ADDR]... [--yes] [--json]";

const std::string_view kRebootHelp = R"(usage: qelta [--local ADDR] reboot --ip ADDR [--ip ADDR]... [OPTIONS]

Runs the device view's Reboot on the named devices: a network search with
the stored settings finds them, their rows are checked, and after the
question (and the network segment question for the last row) one device a
second is queried and sent Reboot. The countdown (reboot period of
Qelta.dat plus the devices still to send) and a pause of 1.2 s per device
follow; then the list is searched again and printed.

options:
  --ip ADDR   a device's address; may be given many times
  --yes       answer yes to the questions (without it they are asked on the
              terminal)
  --json      print the new search's table as "qelta search --json" does

Messages the device view would show go to stderr with the same texts.
Exit status: 0 when every named device answered its query, was sent Reboot
and is found again by the new search, 1 otherwise, 2 for bad arguments, 3
when a search socket cannot be opened.
)";

std::string checkRebootArguments(const std::vector<std::string>& arguments)
{
    // The same options as restore.
    return checkRestoreArguments(arguments);
}

int runReboot(Context& context) { return runDeviceSequence(context, Sequence::Reboot); }

} // namespace qelta
