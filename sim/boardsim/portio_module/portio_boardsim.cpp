// Port-I/O module backed by the board simulator: a board in ISP mode behind
// a 16550 at its legacy base. Configured from $BOARDSIM_OPTIONS when first
// used, or through BoardSim_Configure.

#include "platform/clock.h"
#include "sim/boardsim/uart_board.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#define BOARDSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_mutex; // protects g_board
std::unique_ptr<sim::boardsim::UartBoard> g_board;

sim::boardsim::UartBoard& board()
{
    if (!g_board) {
        sim::boardsim::BoardOptions options;
        if (const char* text = std::getenv("BOARDSIM_OPTIONS"))
            sim::boardsim::BoardOptions::parse(text, options);
        g_board = std::make_unique<sim::boardsim::UartBoard>(platform::RealClock::instance(), options);
    }
    return *g_board;
}

} // namespace

BOARDSIM_EXPORT int PortIo_Ready() { return 1; }

BOARDSIM_EXPORT short Inp32(short address)
{
    std::lock_guard lock(g_mutex);
    return board().Inp32(static_cast<std::uint16_t>(address));
}

BOARDSIM_EXPORT void Out32(short address, short data)
{
    std::lock_guard lock(g_mutex);
    board().Out32(static_cast<std::uint16_t>(address), static_cast<std::uint8_t>(data));
}

// Starts a fresh board with the given options; 0 when they do not parse.
BOARDSIM_EXPORT int BoardSim_Configure(const char* text)
{
    sim::boardsim::BoardOptions options;
    if (!sim::boardsim::BoardOptions::parse(text ? text : "", options))
        return 0;
    std::lock_guard lock(g_mutex);
    g_board = std::make_unique<sim::boardsim::UartBoard>(platform::RealClock::instance(), options);
    return 1;
}

// Copies flash contents; returns the number of bytes copied.
BOARDSIM_EXPORT unsigned long BoardSim_ReadFlash(unsigned long address, unsigned char* out, unsigned long size)
{
    std::lock_guard lock(g_mutex);
    const auto bytes = board().board().flashBytes(static_cast<std::uint32_t>(address), size);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i] = bytes[i];
    return static_cast<unsigned long>(bytes.size());
}

// ISP frames the board has received.
BOARDSIM_EXPORT unsigned long BoardSim_FrameCount()
{
    std::lock_guard lock(g_mutex);
    return static_cast<unsigned long>(board().board().frames().size());
}
