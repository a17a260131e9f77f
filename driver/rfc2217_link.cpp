#include "driver/rfc2217_link.h"

#include "common/serial_ioctl.h"
#include "driver/host/host.h"
#include "driver/naming.h"
#include "driver/port_internal.h"

#include <cstdio>
#include <string>

namespace driver {

using namespace common;

class Rfc2217Link::Events final : public rfc2217::ServerEvents {
public:
    Events(PortDevice& port, std::vector<std::uint8_t>& pending)
        : m_port(port)
        , m_pending(pending)
    {
    }
    // No receive stop goes out at the stop level: the connection is read no
    // further than the receive buffer has room (SocketTransport::receiveRoom),
    // so TCP holds the server back and nothing is lost. A FLOWCONTROL-SUSPEND
    // would also stop ser2net writing to its serial line.
    // The runs between commands (escaped 0xFF bytes cut the data every 256
    // bytes or so) are gathered and reach the receive buffer at once.
    void data(std::span<const std::uint8_t> bytes) override
    {
        m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    }
    // Hands over the data gathered so far; the events after it wait for it.
    void flush()
    {
        if (m_pending.empty())
            return;
        (void)appendReceived(m_port, m_pending);
        m_pending.clear();
    }
    void modemState(std::uint8_t state) override
    {
        flush();
        reportModemState(m_port, state);
    }
    void lineState(std::uint8_t state) override
    {
        flush();
        reportLineState(m_port, state);
    }
    void flowSuspended(bool suspended) override
    {
        m_suspendChanged = true;
        m_suspended = suspended;
    }
    void signature(std::string_view text) override
    {
        std::string printable;
        for (const char c : text)
            printable += (c >= 0x20 && c < 0x7F) ? c : '?';
        std::fprintf(
            stderr, "vorpild: %s: RFC 2217 server \"%s\"\n", currentPortName(m_port).c_str(), printable.c_str());
    }

    PortDevice& m_port;
    std::vector<std::uint8_t>& m_pending;
    bool m_suspendChanged = false;
    bool m_suspended = false;
};

Rfc2217Link::Rfc2217Link(PortDevice& port)
    : m_port(port)
{
}

void Rfc2217Link::begin()
{
    std::uint32_t baudRate = 0;
    std::uint8_t lineControl = 0;
    std::uint8_t flow = 0;
    bool lineValid = false;
    {
        std::lock_guard lock(m_port.dataLock);
        const SerialState& serial = m_port.serial;
        baudRate = serial.baudRate;
        const int value = lineControlByte(serial.stopBits, serial.parity, serial.wordLength);
        lineValid = value >= 0;
        lineControl = static_cast<std::uint8_t>(value < 0 ? 0 : value);
        flow = flowControlCode(serial.handflow);
    }
    // A device server that was restarted, or another one at the same
    // address, is set up as the port stands.
    std::vector<std::uint8_t> settings;
    if (lineValid)
        rfc2217::appendLineSettings(baudRate, lineControl, settings);
    rfc2217::appendControl(ControlPacket::make(kCodeFlowControl, flow), settings);
    std::lock_guard lock(m_mutex);
    m_outgoing.clear();
    m_session.begin(settings, m_outgoing);
    m_opened = false;
    m_suspended = false;
    m_overflowed = false;
    m_port.comPortOption = ComPortOption::Asked;
}

void Rfc2217Link::noteComPortOption()
{
    const ComPortOption now = m_session.comPortAgreed() ? ComPortOption::Agreed
        : m_session.comPortRefused()                    ? ComPortOption::Refused
                                                        : ComPortOption::Asked;
    const ComPortOption was = m_port.comPortOption.exchange(now);
    if (was != now && now != ComPortOption::Asked)
        std::fprintf(stderr, "vorpild: %s: RFC 2217 server %s COM-PORT-OPTION%s\n", currentPortName(m_port).c_str(),
            now == ComPortOption::Agreed ? "agreed to" : "refused",
            now == ComPortOption::Agreed ? "" : "; settings and modem lines do not reach its serial line");
}

Rfc2217Link::Answers Rfc2217Link::receive(std::span<const std::uint8_t> bytes)
{
    Answers answers = Answers::None;
    Events events(m_port, m_received);
    {
        std::lock_guard lock(m_mutex);
        if (m_overflowed)
            return Answers::None; // the connection is being ended
        m_session.receive(bytes, events, m_outgoing);
        events.flush();
        noteComPortOption();
        if (m_outgoing.size() > kMaxAnswers) {
            // The server asks without reading what it asked for: what it is
            // owed is bounded, and the connection ends instead.
            m_overflowed = true;
            m_outgoing.clear();
            m_outgoing.shrink_to_fit();
            answers = Answers::Overflow;
        } else if (m_opened && !m_outgoing.empty()) {
            answers = Answers::Due;
        }
        if (events.m_suspendChanged)
            m_suspended = events.m_suspended;
    }
    if (events.m_suspendChanged && !events.m_suspended)
        m_resumed.notify_all();
    if (answers == Answers::Overflow)
        std::fprintf(stderr,
            "vorpild: %s: RFC 2217 server asked for more than %zu bytes of answers without reading them; "
            "connection ended\n",
            currentPortName(m_port).c_str(), kMaxAnswers);
    return answers;
}

std::vector<std::uint8_t> Rfc2217Link::takeOutgoing()
{
    std::lock_guard lock(m_mutex);
    m_opened = true;
    std::vector<std::uint8_t> out;
    out.swap(m_outgoing);
    return out;
}

void Rfc2217Link::control(const ControlPacket& packet)
{
    // A rate goes whole: the port may have one the native codes lack.
    std::uint32_t baudRate = 0;
    if (packet.code == kCodeBaudAndLineControl) {
        std::lock_guard lock(m_port.dataLock);
        baudRate = m_port.serial.baudRate;
    }
    std::vector<std::uint8_t> encoded;
    rfc2217::appendControl(packet, encoded, baudRate);
    std::lock_guard lock(m_mutex);
    m_session.command(encoded, m_outgoing);
}

void Rfc2217Link::purge(std::uint32_t purgeFlags)
{
    std::vector<std::uint8_t> encoded;
    rfc2217::appendPurge(purgeFlags, encoded);
    std::lock_guard lock(m_mutex);
    m_session.command(encoded, m_outgoing);
}

std::span<const std::uint8_t> Rfc2217Link::escape(std::span<const std::uint8_t> data)
{
    m_escaped.clear(); // the capacity stays: no allocation per write once grown
    telnet::appendEscaped(data, m_escaped);
    return m_escaped;
}

bool Rfc2217Link::waitUntilSendable(platform::Duration limit)
{
    std::unique_lock lock(m_mutex);
    return m_port.host->clock().waitFor(m_resumed, lock, limit, [this] { return !m_suspended; });
}

} // namespace driver
