#pragma once

#include "driver/packets.h"
#include "driver/telnet_parser.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace driver::rfc2217 {

// COM-PORT-OPTION commands as the client sends them; the access server
// answers and notifies with the same code plus kServerOffset.
inline constexpr std::uint8_t kSignature = 0;
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kNotifyLineState = 6;
inline constexpr std::uint8_t kNotifyModemState = 7;
inline constexpr std::uint8_t kFlowControlSuspend = 8;
inline constexpr std::uint8_t kFlowControlResume = 9;
inline constexpr std::uint8_t kSetLineStateMask = 10;
inline constexpr std::uint8_t kSetModemStateMask = 11;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// SET-PARITY values.
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kParityOdd = 2;
inline constexpr std::uint8_t kParityEven = 3;
inline constexpr std::uint8_t kParityMark = 4;
inline constexpr std::uint8_t kParitySpace = 5;
// SET-STOPSIZE values.
inline constexpr std::uint8_t kStopOne = 1;
inline constexpr std::uint8_t kStopTwo = 2;
inline constexpr std::uint8_t kStopOneAndHalf = 3;
// SET-CONTROL values.
inline constexpr std::uint8_t kControlNoFlow = 1;
inline constexpr std::uint8_t kControlXonXoff = 2;
inline constexpr std::uint8_t kControlHardware = 3;
inline constexpr std::uint8_t kControlBreakOn = 5;
inline constexpr std::uint8_t kControlBreakOff = 6;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;
// PURGE-DATA values.
inline constexpr std::uint8_t kPurgeReceive = 1; // the access server's receive buffer (towards us)
inline constexpr std::uint8_t kPurgeTransmit = 2; // its transmit buffer (towards the serial line)
inline constexpr std::uint8_t kPurgeBoth = 3;

// Line-state bits the port asks to be told about: break and the three
// receive errors (data ready and the transmitter bits would come with
// every byte).
inline constexpr std::uint8_t kLineStateMask = 0x1E;
inline constexpr std::uint8_t kLineStateBreak = 0x10;
inline constexpr std::uint8_t kLineStateErrors = 0x0E;
// Every modem line and its change.
inline constexpr std::uint8_t kModemStateMask = 0xFF;

// What the access server tells the port.
class ServerEvents {
public:
    virtual ~ServerEvents() = default;
    // Serial data, IAC doubling undone.
    virtual void data(std::span<const std::uint8_t> bytes) = 0;
    // NOTIFY-MODEMSTATE: the 16550 modem status layout.
    virtual void modemState(std::uint8_t state) = 0;
    // NOTIFY-LINESTATE: the 16550 line status layout.
    virtual void lineState(std::uint8_t state) = 0;
    // FLOWCONTROL-SUSPEND (true) or -RESUME (false): the port's sending.
    virtual void flowSuspended(bool suspended) = 0;
    // The access server's SIGNATURE text.
    virtual void signature(std::string_view) { }
};

// The client side of one Telnet connection with COM-PORT-OPTION: option
// negotiation, the server's notifications, and the commands the port's
// serial requests become. Pure: bytes in, bytes and events out.
class ClientSession {
public:
    explicit ClientSession(std::string signature = "vorpild");

    // A connection begins: the negotiation the port opens with, followed by
    // `settings` (commands that set the serial line as the port has it),
    // which wait, as every command does, until the server has agreed to
    // COM-PORT-OPTION.
    void begin(std::span<const std::uint8_t> settings, std::vector<std::uint8_t>& out);
    // Parses what the server sent; answers (negotiation replies, commands
    // released by the server's agreement, our signature when asked) are
    // appended to `reply`.
    void receive(std::span<const std::uint8_t> bytes, ServerEvents& events, std::vector<std::uint8_t>& reply);
    // Appends commands (already encoded by appendCommand and friends) to
    // `out` once the server agreed to COM-PORT-OPTION. Until then, and while
    // it refuses, the newest command for each setting is held: a server
    // that agrees later gets the line as the port has it.
    void command(std::span<const std::uint8_t> encoded, std::vector<std::uint8_t>& out);

    bool comPortAgreed() const { return m_comPort == Option::Yes; }
    bool comPortRefused() const { return m_comPort == Option::No && m_comPortAnswered; }
    // Whether the server sends, resp. takes, 8-bit data unchanged.
    bool binaryFromServer() const { return m_remote[kBinary] == Option::Yes; }
    bool binaryToServer() const { return m_local[kBinary] == Option::Yes; }

private:
    enum class Option : std::uint8_t { No, WantYes, Yes };
    // Index of an option this side uses in m_local/m_remote.
    static constexpr int kBinary = 0;
    static constexpr int kSga = 1;
    static int index(std::uint8_t option);

    class Sink;
    void negotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& reply);
    void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload, ServerEvents& events,
        std::vector<std::uint8_t>& reply);

    std::string m_signature;
    telnet::TelnetParser m_parser;
    std::array<Option, 2> m_local {}; // WILL: binary, suppress-go-ahead
    std::array<Option, 2> m_remote {}; // DO: binary, suppress-go-ahead
    Option m_comPort = Option::No; // WILL COM-PORT-OPTION
    bool m_comPortAnswered = false;
    // Commands waiting for the server's agreement, one per setting, oldest first.
    struct Held {
        std::uint16_t setting = 0;
        std::vector<std::uint8_t> bytes;
    };
    void hold(std::span<const std::uint8_t> encoded);
    void release(std::vector<std::uint8_t>& out);
    std::vector<Held> m_held;
};

// IAC SB COM-PORT-OPTION code value IAC SE, the value's 0xFF doubled.
void appendCommand(std::uint8_t code, std::span<const std::uint8_t> value, std::vector<std::uint8_t>& out);
// The commands a framed control packet stands for (none for those without
// an equivalent, such as the FIFO control). `baudRate`, when not 0, is the
// rate a baud-and-line-control packet stands for: RFC 2217 carries rates
// that have no device-server code.
void appendControl(const ControlPacket& packet, std::vector<std::uint8_t>& out, std::uint32_t baudRate = 0);
// SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE for a rate and a
// 16550 line-control byte.
void appendLineSettings(std::uint32_t baudRate, std::uint8_t lineControl, std::vector<std::uint8_t>& out);
// PURGE-DATA for the serial purge flags (TXCLEAR, RXCLEAR); nothing for none.
void appendPurge(std::uint32_t purgeFlags, std::vector<std::uint8_t>& out);
// The rate of a device-server baud code; 0 for an unknown code.
std::uint32_t baudRateOfCode(std::uint8_t code);

} // namespace driver::rfc2217
