#pragma once

#include "driver/port_device.h"
#include "driver/rfc2217.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace driver {

// The RFC 2217 side of a port's TCP connection: what the port says when a
// connection begins, the server's stream turned into received bytes and
// modem and line reports, the port's settings turned into COM-PORT-OPTION
// commands, and its data with 0xFF doubled. The socket transport owns one
// and does the sending; this class never touches a socket.
class Rfc2217Link {
public:
    explicit Rfc2217Link(PortDevice& port);

    // A connection is about to begin (called before the connect, so that
    // nothing the server says first is lost): the negotiation and the port's
    // current line settings wait as the first outgoing bytes.
    void begin();
    // What the server's bytes left to do.
    enum class Answers {
        None,
        Due, // answers wait to be sent
        // The server asked for more answers than kMaxAnswers while not reading
        // them (a flood of negotiations or SIGNATURE requests): the
        // connection is to be ended.
        Overflow,
    };
    static constexpr std::size_t kMaxAnswers = 64 * 1024;
    // The network thread's bytes.
    Answers receive(std::span<const std::uint8_t> bytes);
    // Everything due to go out, in order; the first call after begin()
    // releases the opening. Callers send what they take under sendMutex().
    std::vector<std::uint8_t> takeOutgoing();
    // The commands a control packet stands for, queued as outgoing.
    void control(const ControlPacket& packet);
    // PURGE-DATA for the serial purge flags, queued as outgoing.
    void purge(std::uint32_t purgeFlags);
    // The data bytes as they go on the wire; valid until the next call.
    // Called by the one data sender (the port's transmit side).
    std::span<const std::uint8_t> escape(std::span<const std::uint8_t> data);
    // Waits while the server has suspended the port's sending; false when
    // it is still suspended after `limit`.
    bool waitUntilSendable(platform::Duration limit);

    // Keeps the bytes of one connection in order across the callers'
    // threads and the reply job.
    std::mutex& sendMutex() { return m_sendMutex; }

private:
    class Events;

    PortDevice& m_port;
    std::mutex m_sendMutex;
    std::mutex m_mutex; // protects the fields below; taken before the data lock, never inside it
    std::condition_variable m_resumed;
    rfc2217::ClientSession m_session;
    std::vector<std::uint8_t> m_outgoing;
    bool m_opened = false; // the opening went out: answers may follow it
    bool m_suspended = false;
    bool m_overflowed = false; // what the server sent after the overflow is not parsed
    std::vector<std::uint8_t> m_escaped; // the data sender's
    std::vector<std::uint8_t> m_received; // m_mutex held: the data of one receive() on its way
    void noteComPortOption();
};

} // namespace driver
