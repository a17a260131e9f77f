#pragma once

#include "platform/event_loop.h"
#include "platform/pty_master.h"
#include "platform/result.h"
#include "sim/devsim/framing.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::devsim {

// What sits on a device's serial port.
enum class SerialMode {
    Pty, // a pseudo-terminal; any program can open it and play the serial peer
    Echo, // a loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD
};
std::string_view serialModeName(SerialMode mode);
bool parseSerialMode(std::string_view text, SerialMode& mode);

// Above this many bytes waiting in one direction, the side feeding it is
// not read until the backlog has drained to the low mark: bytes wait in the
// kernel (and the sender is slowed) instead of being dropped.
inline constexpr std::size_t kBacklogHigh = 64 * 1024;
inline constexpr std::size_t kBacklogLow = 16 * 1024;

// A device's serial port. It outlives restarts of the device, so a program
// that has the pty open keeps it across them.
class SerialSide {
public:
    using InputHandler = std::function<void(std::span<const std::uint8_t>)>;

    SerialSide(platform::EventLoop& loop, SerialMode mode);
    ~SerialSide();
    SerialSide(const SerialSide&) = delete;
    SerialSide& operator=(const SerialSide&) = delete;

    platform::Result<void> open();
    void close();
    bool isOpen() const { return m_open; }
    SerialMode mode() const { return m_mode; }
    // The pty's path for the serial peer, or "echo".
    std::string path() const;

    // Bytes the device sends out of its serial port, in order.
    void write(std::span<const std::uint8_t> bytes);
    // Bytes written but not yet taken by the peer (or not yet echoed).
    std::size_t pendingOutput() const { return m_output.size() - m_outputStart; }

    // Where the peer's bytes go. Without a handler they are read and
    // dropped, as a device without a connection drops serial input.
    void setInputHandler(InputHandler handler);
    // While disabled the peer's bytes stay where they are.
    void setInputEnabled(bool enabled);
    // Called when the pending output has fallen to the low mark.
    void setDrainHandler(std::function<void()> handler) { m_drained = std::move(handler); }

    // Shows the emulated line settings on the pty (its baud rate, data bits,
    // parity and stop bits), where the peer program can read them.
    void showLineSettings(const SerialState& state);

private:
    void updateWatch();
    void onPtyEvents(unsigned events);
    void flushPty();
    void deliverEcho();
    void consumeOutput(std::size_t count);

    platform::EventLoop& m_loop;
    SerialMode m_mode;
    bool m_open = false;
    std::unique_ptr<platform::PtyMaster> m_pty;
    std::vector<std::uint8_t> m_output; // towards the peer; from m_outputStart on
    std::size_t m_outputStart = 0;
    InputHandler m_input;
    bool m_inputEnabled = true;
    bool m_delivering = false; // an echo delivery runs; no nested one
    std::function<void()> m_drained;
};

} // namespace sim::devsim
