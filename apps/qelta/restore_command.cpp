#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_commands.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_view.h"

#include <cstdio>
#include <memory>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the device view's Restore on the named devices: a network search with
the stored settings finds them, their rows are checked, and after the
question (and the network segment question for the last row) each device in
list order is queried, sent Restore and awaited for its RestoreReply (the
restore period of Qelta.dat). After the countdown the list is searched
again and printed.)";

const char* const kNotes = R"(Messages the device view would show go to stderr with the same texts.
Exit status: 0 when every named device sent its RestoreReply and is found
again by the new search (by its MAC), 1 otherwise (not found, silent, no
reply, missing from the new search, question answered no), 2 for bad arguments,
3 when a search socket cannot be opened.)";

struct SequenceOptions {
    std::vector<std::string> addresses;
    bool yes = false;
    bool json = false;
};

int runDeviceSequence(Context& context, Sequence sequence, const SequenceOptions& options);

} // namespace

Runner declareDeviceSequence(CLI::App& command, Sequence sequence)
{
    auto options = std::make_shared<SequenceOptions>();
    addDeviceAddresses(command, options->addresses);
    addYes(command, options->yes, "answer yes to the questions (without it they are asked on the terminal)");
    addJson(command, options->json, "print the new search's table as \"qelta search --json\" does");
    return [options, sequence](Context& context) { return runDeviceSequence(context, sequence, *options); };
}

Runner declareRestore(CLI::App& command)
{
    command.description(kAbout);
    command.footer(kNotes);
    return declareDeviceSequence(command, Sequence::Restore);
}

namespace {

int runDeviceSequence(Context& context, Sequence sequence, const SequenceOptions& options)
{
    using namespace utility::devmgmt;

    DeviceSession session(context, options.yes);
    auto& loop = session.loop;
    auto& prompter = session.prompter;
    auto& view = session.view;

    if (!searchAndWait(*loop, view))
        return kExitPortTaken;
    const std::size_t found = checkAddresses(view, options.addresses);
    if (found == 0)
        return kExitFailure;

    std::optional<CommandOutcome> outcome;
    bool searched = false;
    // The rows' MACs, noted before the new search replaces the table.
    std::vector<MacAddress> rowMacs;
    for (std::size_t i = 0; i < view.rowCount(); ++i)
        rowMacs.push_back(view.entry(i).config().mac());
    const std::vector<std::size_t>* answered = nullptr;
    auto ended = [&](CommandOutcome how) {
        outcome = how;
        if (how != CommandOutcome::Restarting)
            loop->quit(0);
    };
    view.setSearchFinishedCallback([&] {
        searched = true;
        loop->quit(0);
    });
    std::unique_ptr<DeviceRestore> restore;
    std::unique_ptr<DeviceReboot> reboot;
    if (sequence == Sequence::Restore) {
        restore = std::make_unique<DeviceRestore>(*loop, view, prompter);
        answered = &restore->answered();
        restore->setFinishedCallback(ended);
        restore->start();
        if (restore->running())
            loop->run();
    } else {
        reboot = std::make_unique<DeviceReboot>(*loop, view, prompter);
        answered = &reboot->answered();
        reboot->setFinishedCallback(ended);
        reboot->start();
        if (reboot->running())
            loop->run();
    }
    session.progress.end();
    const bool everyAnswered = found == options.addresses.size() && answered->size() == found;
    if (!searched)
        return kExitFailure;
    const std::string text = options.json ? formatDeviceJson(view.rows()) : formatDeviceTable(view.rows());
    std::fwrite(text.data(), 1, text.size(), stdout);
    // A device that took the request but is missing from the new search did
    // not come back (a restored one may answer from its factory address, so
    // it is looked for by its MAC).
    bool everyBack = true;
    for (const std::size_t row : *answered) {
        const MacAddress& mac = rowMacs[row];
        bool listed = false;
        for (std::size_t i = 0; i < view.rowCount(); ++i)
            listed = listed || view.entry(i).config().mac() == mac;
        if (!listed) {
            std::fprintf(stderr, "qelta: device %s is missing from the new search\n", formatMac(mac).c_str());
            everyBack = false;
        }
    }
    return everyAnswered && everyBack ? kExitOk : kExitFailure;
}

} // namespace

} // namespace qelta
