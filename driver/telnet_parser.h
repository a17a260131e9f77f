#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace driver::telnet {

// Telnet commands (the byte after IAC).
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kNop = 241;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;

// Options this port knows.
inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptionComPort = 44;

// Where a parsed Telnet stream goes.
class TelnetSink {
public:
    virtual ~TelnetSink() = default;
    // Data bytes, IAC IAC already folded into one 0xFF. One call per run of
    // plain bytes: a piece without commands in it arrives in one call.
    virtual void data(std::span<const std::uint8_t> bytes) = 0;
    // WILL, WONT, DO or DONT and its option.
    virtual void negotiation(std::uint8_t verb, std::uint8_t option) = 0;
    // A complete subnegotiation (IAC SB option ... IAC SE), its payload with
    // doubled IACs folded. One longer than kMaxSubnegotiation is dropped.
    virtual void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) = 0;
};

// The longest subnegotiation payload kept; COM-PORT-OPTION needs at most a
// signature text, which is short in practice.
inline constexpr std::size_t kMaxSubnegotiation = 255;

// Parses a Telnet stream that arrives in pieces of any size; a command cut
// by the end of a piece is completed by the next one. Pure: no I/O, and any
// byte sequence is taken.
class TelnetParser {
public:
    void feed(std::span<const std::uint8_t> bytes, TelnetSink& sink);
    // A new connection begins.
    void reset();

private:
    enum class State : std::uint8_t {
        Data,
        Iac, // after IAC
        Verb, // after IAC WILL/WONT/DO/DONT: the option follows
        SbOption, // after IAC SB: the option follows
        SbData,
        SbIac, // IAC inside a subnegotiation
    };
    void endSubnegotiation(TelnetSink& sink);

    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::uint8_t m_sbOption = 0;
    std::size_t m_sbFill = 0;
    bool m_sbOverflow = false;
    std::array<std::uint8_t, kMaxSubnegotiation> m_sb {};
};

// Appends `bytes` with every 0xFF doubled, as Telnet data.
void appendEscaped(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);
// How many leading bytes of `bytes` went whole when `wireBytes` of their
// escaped form were taken.
std::size_t unescapedLength(std::span<const std::uint8_t> bytes, std::size_t wireBytes);
// IAC verb option.
void appendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

} // namespace driver::telnet
