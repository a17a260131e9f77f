#pragma once

#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/result.h"
#include "sim/boardsim/board.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace sim::boardsim {

// A board on the far end of a pseudo-terminal, served by a thread of its own.
// The program under test opens path() as its serial port. A pseudo-terminal
// cannot carry line errors (a reply lost to one simply never arrives)
// nor parity: only the speed of the program's settings is checked.
class PtyBoard {
public:
    static platform::Result<std::unique_ptr<PtyBoard>> start(platform::Clock& clock, const BoardOptions& options);
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    const std::string& path() const { return m_pty->slavePath(); }
    Board& board() { return m_board; }

private:
    PtyBoard(platform::Clock& clock, const BoardOptions& options, std::unique_ptr<platform::Pty> pty);
    void serve();

    Board m_board;
    std::unique_ptr<platform::Pty> m_pty;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

} // namespace sim::boardsim
