#include "sim/boardsim/pty_board.h"

namespace sim::boardsim {

platform::Result<std::unique_ptr<PtyBoard>> PtyBoard::start(platform::Clock& clock, const BoardOptions& options)
{
    auto pty = platform::Pty::open();
    if (!pty)
        return pty.error();
    return std::unique_ptr<PtyBoard>(new PtyBoard(clock, options, std::move(pty.value())));
}

PtyBoard::PtyBoard(platform::Clock& clock, const BoardOptions& options, std::unique_ptr<platform::Pty> pty)
    : m_board(clock, options)
    , m_pty(std::move(pty))
{
    m_thread = std::thread([this] { serve(); });
}

PtyBoard::~PtyBoard()
{
    m_stop = true;
    m_thread.join();
}

void PtyBoard::serve()
{
    std::uint8_t buffer[4096];
    std::vector<std::uint8_t> out;
    while (!m_stop) {
        // Short waits: queued replies fall due on the board's clock.
        auto got = m_pty->read(buffer, sizeof buffer, std::chrono::milliseconds(1));
        if (got && got.value() > 0) {
            if (auto line = m_pty->peerSettings())
                m_board.setLine(line.value(), false);
            m_board.receive(buffer, got.value());
        }
        m_board.tick();
        out.clear();
        m_board.takeDue(out);
        if (!out.empty())
            (void)m_pty->write(out.data(), out.size());
    }
}

} // namespace sim::boardsim
