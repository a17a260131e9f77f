#pragma once

#include "platform/clock.h"
#include "platform/result.h"

#include <optional>
#include <string>
#include <vector>

namespace platform {

// A program started as a child process, for tests and tools that drive real
// peer programs (a simulator, a TFTP server). The child's standard output can
// be read line by line; standard error is inherited. Destroying a child that
// still runs kills it and reaps it.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up in PATH) with the arguments.
    // With captureOutput the child's standard output is a pipe read by
    // readLine(); otherwise it is inherited.
    static Result<ChildProcess> start(const std::vector<std::string>& argv, bool captureOutput = true);

    bool running() const { return m_pid > 0; }
    int pid() const { return m_pid; }

    // Reads one line of the child's output (without its newline), waiting at
    // most `limit` of real time. An error when the limit passes or the output
    // ends first.
    Result<std::string> readLine(Duration limit);

    // Asks the child to stop (SIGTERM) or interrupts it (SIGINT).
    bool terminate();
    bool interrupt();
    // Waits at most `limit` of real time for the child to end; the exit code,
    // or 128 + signal number when a signal ended it. Nothing if it still runs.
    std::optional<int> wait(Duration limit);
    // Kills the child at once (SIGKILL) and reaps it, as a crash would end it.
    void kill();

private:
    int m_pid = -1;
    int m_output = -1;
    std::string m_pending; // output read past the last returned line
};

} // namespace platform
