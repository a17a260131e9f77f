#pragma once

#include "platform/event_loop.h"
#include "platform/serial_port.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace utility::services {

// One terminal's serial port with its reader thread. The reader reads what
// arrives in blocks of up to kBlockSize bytes and hands each block to the
// user-interface loop, waiting until the receive routine has returned, so a
// busy window slows reading rather than piling blocks up. Writes go the other
// way through one pending transmit buffer: a write issued before the reader
// has sent the previous one replaces it.
class TerminalPort {
public:
    static constexpr std::size_t kBlockSize = 4096;
    // The classic transmit buffer held 1472 bytes, but an auto-test packet is
    // up to 1474 and echo text has no bound; the buffer grows to whatever is
    // written instead, so nothing is ever cut or overrun.
    static constexpr std::size_t kNominalTransmitSize = 1472;
    static constexpr std::uint32_t kWriteSliceMs = 20;

    // Called on `loop`'s thread with each received block.
    using Receiver = std::function<void(const std::uint8_t* data, std::size_t size)>;

    TerminalPort(platform::EventLoop& loop, Receiver receiver);
    // Called on the loop's thread when the port went away under the reader
    // (its device hung up for good: the far end of a pseudo-terminal closed,
    // a USB adapter pulled); the reader has ended by then.
    void setGoneCallback(std::function<void()> gone) { m_gone = std::move(gone); }
    ~TerminalPort();
    TerminalPort(const TerminalPort&) = delete;
    TerminalPort& operator=(const TerminalPort&) = delete;

    // Opens the device exclusively, drops whatever is queued, applies the
    // settings (everything else keeps its value), makes reads return at once
    // and each write attempt take at most kWriteSliceMs (the rest of a write
    // goes out in later attempts, between reads, until the port closes), and
    // starts the reader. Closes a port that is open first.
    bool open(const std::string& devicePath, const platform::SerialSettings& settings);
    // Why the last open failed, as the system said it ("" after a success).
    const std::string& openError() const { return m_openError; }
    void close();
    bool isOpen() const { return m_port != nullptr; }

    // Hands the bytes to the reader and returns at once.
    void write(const std::uint8_t* data, std::size_t size);
    void write(const std::string& text) { write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

    // True while a write waits for the reader to take it up; a caller that
    // must not have its bytes replaced waits for this to clear.
    bool writePending()
    {
        std::lock_guard lock(m_writeMutex);
        return m_writePending;
    }

    // Drops a write the reader has not taken up yet (what it took goes on);
    // true when there was one.
    bool dropPendingWrite()
    {
        std::lock_guard lock(m_writeMutex);
        m_transmit.clear();
        return std::exchange(m_writePending, false);
    }
    // Stops the reader, drops both directions' queued data (a pending write
    // too) and starts a new reader.
    void purge();

    // Running total of received bytes; the auto test clears it.
    std::uint32_t bytesReceived() const { return m_bytesReceived.load(); }
    void clearBytesReceived() { m_bytesReceived = 0; }

private:
    struct HandOver;
    void startReader();
    void stopReader();
    void readerLoop(std::shared_ptr<HandOver> handOver);

    platform::EventLoop& m_loop;
    Receiver m_receiver;
    std::function<void()> m_gone;
    std::unique_ptr<platform::SerialPort> m_port;
    std::thread m_reader;
    std::shared_ptr<HandOver> m_handOver;
    std::atomic<std::uint32_t> m_bytesReceived { 0 };
    std::mutex m_writeMutex;
    std::string m_openError;
    std::vector<std::uint8_t> m_transmit;
    bool m_writePending = false;
};

} // namespace utility::services
