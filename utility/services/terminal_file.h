#pragma once

#include "platform/event_loop.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace utility::services {

class Terminal;

// Sends a file to a terminal's open port. The port's reader takes one write
// at a time, and a new write would replace one it has not taken yet, so the
// file goes in blocks, the next handed over only once the reader took the
// last. The loop is never blocked: a device that stops reading just holds
// the progress where it is until it reads again or the send is cancelled.
class TerminalFileSend {
public:
    static constexpr std::size_t kBlockSize = 1024;
    static constexpr auto kPoll = std::chrono::milliseconds(10);
    enum class Outcome { Sent, Cancelled, PortClosed, ReadFailed };

    TerminalFileSend(platform::EventLoop& loop, Terminal& terminal);
    ~TerminalFileSend();
    TerminalFileSend(const TerminalFileSend&) = delete;
    TerminalFileSend& operator=(const TerminalFileSend&) = delete;

    // Starts sending the regular file at `path`; false with the reason when
    // it cannot be read, the port is closed or a send runs.
    bool start(const std::string& path, std::string& why);
    // Stops handing over blocks and drops the one the reader has not taken.
    void cancel();
    bool running() const { return m_timer != 0; }
    // Bytes the port has taken, and the file's size.
    std::uint64_t taken() const { return m_taken; }
    std::uint64_t total() const { return m_total; }

    // After every block taken.
    void setProgressCallback(std::function<void()> callback) { m_progress = std::move(callback); }
    // Once per start() that succeeded.
    void setFinishedCallback(std::function<void(Outcome)> callback) { m_finished = std::move(callback); }

private:
    void tick();
    void finish(Outcome outcome);

    platform::EventLoop& m_loop;
    Terminal& m_terminal;
    int m_fd = -1;
    platform::TimerId m_timer = 0;
    std::uint64_t m_total = 0;
    std::uint64_t m_handed = 0; // handed to the port, the last block maybe not taken yet
    std::uint64_t m_taken = 0;
    std::uint64_t m_lastBlock = 0; // the size of the block handed over last
    std::function<void()> m_progress;
    std::function<void(Outcome)> m_finished;
};

// A file that what a terminal shows is added to. Opened for appending and
// created when missing; a symbolic link or anything but a regular file is
// refused, so the log never writes through a link planted in its place.
class TerminalLogFile {
public:
    TerminalLogFile() = default;
    ~TerminalLogFile();
    TerminalLogFile(const TerminalLogFile&) = delete;
    TerminalLogFile& operator=(const TerminalLogFile&) = delete;

    // Empty when the file is open, else why not.
    std::string open(const std::string& path);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    // Adds `text`; on a failure closes the file and returns why.
    std::string write(const std::string& text);

private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace utility::services
