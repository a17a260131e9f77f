#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/termination_signals.h"
#include "utility/services/tftp_server.h"

#include <charconv>
#include <cstdio>
#include <optional>

namespace qelta {

const std::string_view kTftpUsage = "[--dir DIR] [--local ADDR] [--port N]";

const std::string_view kTftpHelp = R"(usage: qelta [--local ADDR] tftp [--dir DIR] [--port N]

Runs the TFTP server exactly as the TFTP view's Start button does, until
interrupted (Ctrl+C or SIGTERM), then stops it as the Stop button does. The
view's log lines go to stdout; its message boxes go to stderr.

Read requests only; blksize, tsize and timeout options are honoured. A
missing file is answered with ERROR 1, a write request with ERROR 2, and a
name that leads out of the folder (through "..", an absolute path or a
symbolic link pointing outside) with ERROR 2.

options:
  --dir DIR     serve files from DIR (default: the TFTP file path, item 20 of
                Qelta.dat); not saved. Without a folder chosen either way,
                or with one that does not exist or cannot be read, the
                server does not start.
  --port N      listen on UDP port N instead of 69, 1..65535
  --local ADDR  bind to the local interface with this address (the program's
                interface choice, which may also come before the command)

Exit status: 0 when the server ran and was stopped, 1 when it could not
start, 2 for bad arguments or no folder to serve.
)";

namespace {

struct TftpOptions {
    std::optional<std::string> dir;
    std::uint16_t port = utility::services::TftpServer::kListenPort;
};

std::string parse(const std::vector<std::string>& arguments, TftpOptions& options)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (i + 1 >= arguments.size())
            return argument == "--dir" || argument == "--port" ? argument + " needs a value"
                                                               : "unknown option '" + argument + "'";
        if (argument == "--dir") {
            options.dir = arguments[++i];
        } else if (argument == "--port") {
            const std::string& text = arguments[++i];
            unsigned value = 0;
            auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec != std::errc() || ptr != text.data() + text.size() || value < 1 || value > 65535)
                return "--port: '" + text + "' is not a port number (1..65535)";
            options.port = static_cast<std::uint16_t>(value);
        } else {
            return "unknown option '" + argument + "'";
        }
    }
    return {};
}

} // namespace

std::string checkTftpArguments(const std::vector<std::string>& arguments)
{
    TftpOptions options;
    return parse(arguments, options);
}

int runTftp(Context& context)
{
    TftpOptions options;
    if (!parse(context.arguments, options).empty())
        return kExitBadArguments;

    auto loop = platform::makeEpollLoop();
    utility::services::TftpServer server(*loop, context.prompter);
    server.setLocalAddress(context.shell.selection().effectiveAddress);
    server.setListenPort(options.port);
    // --dir serves from elsewhere this once; item 20 keeps its value.
    server.setFilePath(options.dir.value_or(context.shell.settings().tftpFilePath));
    server.setLogCallback(printLog);
    server.setFolderHint("Choose one with --dir DIR (or with the TFTP view's \"...\" button, which keeps it).");

    // Ctrl+C must stop the server as the Stop button does (and let the
    // settings be saved) from the moment its start line is out.
    if (!platform::quitOnTerminationSignals(*loop))
        return kExitFailure;
    server.toggle();
    if (!server.running())
        return utility::services::tftpFolderProblem(server.filePath()).empty() ? kExitFailure : kExitBadArguments;
    loop->run();
    server.toggle();
    return kExitOk;
}

} // namespace qelta
