#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/privileges.h"
#include "platform/termination_signals.h"
#include "utility/services/tftp_server.h"
#include "utility/services/tftp_workers.h"

#include <charconv>
#include <cstdio>
#include <mutex>
#include <optional>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the TFTP server exactly as the TFTP view's Start button does, until
interrupted (Ctrl+C, SIGTERM or SIGHUP), then stops it as the Stop button
does. The view's log lines go to stdout; its message boxes go to stderr.

Read requests only; blksize, tsize, timeout and windowsize options and the
netascii mode are honoured (a netascii file over 16 MiB is sent without
tsize: its converted length would take a read of all of it). A file that
cannot be read to its end, or gets shorter while it is sent, ends the
transfer with ERROR 0. A missing file is answered with ERROR 1, a write
request with ERROR 2, and a name that leads out of the folder (through "..",
an absolute path or a symbolic link pointing outside) with ERROR 2. Each
client gets its own transfer port; up to 32 transfers run side by side, more
are refused with ERROR 0. Each transfer runs on a thread of its own. A
transfer logs the bytes acknowledged each tenth of the file and at its end;
"qelta upgrade --tftp-log" reads those lines from this output.

Once port 69 is bound, the server gives up root: it is shut into the folder
(which becomes its "/"), takes the ids of --user and keeps no capability.
The files served must be readable by that user. Run without root (with
CAP_NET_BIND_SERVICE for port 69) it stays who it is and drops the
capability.)";

const char* const kNotes = R"(--local ADDR (qelta's interface choice, before or after the command) binds
the server to the local interface with this address.

Exit status: 0 when the server ran and was stopped, 1 when it could not
start, 2 for bad arguments or no folder to serve.)";

struct TftpOptions {
    std::optional<std::string> dir;
    std::uint16_t port = utility::services::TftpServer::kListenPort;
    std::string user = "nobody";
    std::size_t transfers = utility::services::TftpServer::kDefaultTransferLimit;
};

int runTftp(Context& context, const TftpOptions& options);

} // namespace

Runner declareTftp(CLI::App& command)
{
    auto options = describe<TftpOptions>(command, kAbout, kNotes);
    command
        .add_option("--dir", options->dir,
            "serve files from DIR (default: the TFTP file path, item 20 of Qelta.dat); not saved. Without a folder "
            "chosen either way, or with one that does not exist or cannot be read, the server does not start.")
        ->type_name("DIR");
    command.add_option("--port", options->port, "listen on UDP port N instead of 69, 1..65535")
        ->type_name("N")
        ->check(cli::wholeNumber(1, 65535));
    command.add_option("--user", options->user, "serve as this user once the port is bound (default: nobody)")
        ->type_name("NAME");
    command.add_option("--transfers", options->transfers, "transfers side by side, 1..1024 (default 32)")
        ->type_name("N")
        ->check(cli::wholeNumber(1, 1024));
    return [options](Context& context) { return runTftp(context, *options); };
}

namespace {

int runTftp(Context& context, const TftpOptions& options)
{
    auto loop = platform::makeEpollLoop();
    utility::services::TftpServer server(*loop, context.prompter);
    server.setLocalAddress(context.shell.selection().effectiveAddress);
    server.setListenPort(options.port);
    // --dir serves from elsewhere this once; item 20 keeps its value.
    server.setFilePath(options.dir.value_or(context.shell.settings().tftpFilePath));
    // Transfers log from the workers' threads: one line at a time.
    static std::mutex logMutex;
    server.setLogCallback([](const std::string& text) {
        std::lock_guard lock(logMutex);
        printLog(text);
    });
    server.setFolderHint("Choose one with --dir DIR (or with the TFTP view's \"...\" button, which keeps it).");

    // Ctrl+C must stop the server as the Stop button does (and let the
    // settings be saved) from the moment its start line is out.
    if (!platform::quitOnTerminationSignals(*loop))
        return kExitFailure;
    server.setTransferLimit(options.transfers);
    server.toggle();
    if (!server.running())
        return utility::services::tftpFolderProblem(server.filePath()).empty() ? kExitFailure : kExitBadArguments;
    // The datagrams from the network are parsed by a worker without root;
    // this process only waits for it (and then saves the settings).
    auto split = platform::PrivilegeSplit::start();
    if (!split) {
        printStatus("qelta: cannot start the server's worker: " + split.error().message + "\n");
        server.toggle();
        return kExitFailure;
    }
    if (!split->isWorker())
        return split->serve([](const std::string&) {}) == 0 ? kExitOk : kExitFailure;
    auto dropped = platform::dropPrivileges(options.user, server.filePath());
    if (!dropped) {
        printStatus("qelta: cannot give up root for user " + options.user + ": " + dropped.error().message + "\n");
        server.toggle();
        platform::PrivilegeSplit::exitWorker(kExitFailure);
    }
    if (dropped->jailed)
        server.servedFromRoot();
    printStatus("Serving as " + dropped->user + ".\n");
    {
        // Threads started now have no more rights than the process.
        utility::services::TftpWorkers workers(server, context.prompter);
        loop->run();
    }
    server.toggle();
    platform::PrivilegeSplit::exitWorker(kExitOk);
}

} // namespace

} // namespace qelta
