#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the device view's Reboot on the named devices: a network search with
the stored settings finds them, their rows are checked, and after the
question (and the network segment question for the last row) one device a
second is queried and sent Reboot. The countdown (reboot period of
Qelta.dat plus the devices still to send) and a pause of 1.2 s per device
follow; then the list is searched again and printed.)";

const char* const kNotes = R"(Messages the device view would show go to stderr with the same texts.
Exit status: 0 when every named device answered its query, was sent Reboot
and is found again by the new search, 1 otherwise, 2 for bad arguments, 3
when a search socket cannot be opened.)";

} // namespace

Runner declareReboot(CLI::App& command)
{
    command.description(kAbout);
    command.footer(kNotes);
    // The same options as restore.
    return declareDeviceSequence(command, Sequence::Reboot);
}

} // namespace qelta
