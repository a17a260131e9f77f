#include "driver/rfc2217.h"

namespace driver::rfc2217 {

using namespace telnet;

namespace {

// The serial purge flags that name buffers (the abort flags name requests).
constexpr std::uint32_t kPurgeTxClear = 0x4;
constexpr std::uint32_t kPurgeRxClear = 0x8;

constexpr std::uint32_t kBaudByCode[] = { 921600, 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200 };

void appendByteCommand(std::uint8_t code, std::uint8_t value, std::vector<std::uint8_t>& out)
{
    appendCommand(code, std::span(&value, 1), out);
}

// The length of the command at the start of `bytes` (IAC SB ... IAC SE, a
// doubled IAC inside), or 0 when none ends there.
std::size_t commandLength(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 4 || bytes[0] != kIac || bytes[1] != kSb)
        return 0;
    for (std::size_t i = 2; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != kIac)
            continue;
        if (bytes[i + 1] == kSe)
            return i + 2;
        ++i; // a doubled IAC
    }
    return 0;
}

// The setting a command makes: a newer command for it replaces a held one.
// SET-CONTROL values fall in groups (outbound flow, break, DTR, RTS, inbound
// flow); the suspend and resume of our sending are one setting.
std::uint16_t settingOf(std::span<const std::uint8_t> command)
{
    std::uint8_t code = command.size() > 3 ? command[3] : 0xFF;
    if (code == kFlowControlResume)
        code = kFlowControlSuspend;
    std::uint8_t group = 0;
    if (code == kSetControl && command.size() > 4) {
        const std::uint8_t value = command[4];
        group = value <= 3 || (value >= 17 && value <= 19) ? 1 : value <= 6 ? 2 : value <= 9 ? 3 : value <= 12 ? 4 : 5;
    }
    return static_cast<std::uint16_t>(code << 8 | group);
}

} // namespace

std::uint32_t baudRateOfCode(std::uint8_t code) { return code < std::size(kBaudByCode) ? kBaudByCode[code] : 0; }

void appendCommand(std::uint8_t code, std::span<const std::uint8_t> value, std::vector<std::uint8_t>& out)
{
    out.push_back(kIac);
    out.push_back(kSb);
    out.push_back(kOptionComPort);
    const std::uint8_t codeByte[] = { code };
    appendEscaped(codeByte, out);
    appendEscaped(value, out);
    out.push_back(kIac);
    out.push_back(kSe);
}

void appendLineSettings(std::uint32_t baudRate, std::uint8_t lineControl, std::vector<std::uint8_t>& out)
{
    if (baudRate != 0) {
        const std::uint8_t rate[]
            = { static_cast<std::uint8_t>(baudRate >> 24), static_cast<std::uint8_t>(baudRate >> 16),
                  static_cast<std::uint8_t>(baudRate >> 8), static_cast<std::uint8_t>(baudRate) };
        appendCommand(kSetBaudRate, rate, out);
    }
    const std::uint8_t dataBits = static_cast<std::uint8_t>(5 + (lineControl & 0x03));
    appendByteCommand(kSetDataSize, dataBits, out);
    std::uint8_t parity = kParityNone;
    switch (lineControl & 0x38) {
    case 0x08:
        parity = kParityOdd;
        break;
    case 0x18:
        parity = kParityEven;
        break;
    case 0x28:
        parity = kParityMark;
        break;
    case 0x38:
        parity = kParitySpace;
        break;
    default:
        break;
    }
    appendByteCommand(kSetParity, parity, out);
    // The stop bit of a 16550 means 1.5 stop bits with five data bits, two otherwise.
    std::uint8_t stop = kStopOne;
    if (lineControl & 0x04)
        stop = dataBits == 5 ? kStopOneAndHalf : kStopTwo;
    appendByteCommand(kSetStopSize, stop, out);
}

void appendControl(const ControlPacket& packet, std::vector<std::uint8_t>& out, std::uint32_t baudRate)
{
    const std::uint8_t first = packet.argumentCount > 0 ? packet.arguments[0] : 0;
    const std::uint8_t second = packet.argumentCount > 1 ? packet.arguments[1] : 0;
    switch (packet.code) {
    case kCodeClearDtr:
        return appendByteCommand(kSetControl, kControlDtrOff, out);
    case kCodeSetDtr:
        return appendByteCommand(kSetControl, kControlDtrOn, out);
    case kCodeClearRts:
        return appendByteCommand(kSetControl, kControlRtsOff, out);
    case kCodeSetRts:
        return appendByteCommand(kSetControl, kControlRtsOn, out);
    case kCodeBreakOn:
        return appendByteCommand(kSetControl, kControlBreakOn, out);
    case kCodeBreakOff:
        return appendByteCommand(kSetControl, kControlBreakOff, out);
    case kCodeBaudAndLineControl:
        if (packet.argumentCount == 2)
            appendLineSettings(baudRate != 0 ? baudRate : baudRateOfCode(first), second, out);
        return;
    case kCodeLineControl:
        if (packet.argumentCount == 1)
            appendLineSettings(0, first, out);
        return;
    case kCodeModemControl:
        appendByteCommand(kSetControl, (first & 0x01) ? kControlDtrOn : kControlDtrOff, out);
        appendByteCommand(kSetControl, (first & 0x02) ? kControlRtsOn : kControlRtsOff, out);
        return;
    case kCodeXoff:
        return appendCommand(kFlowControlSuspend, {}, out);
    case kCodeXon:
        return appendCommand(kFlowControlResume, {}, out);
    case kCodeFlowControl:
        return appendByteCommand(kSetControl,
            first == 1       ? kControlHardware
                : first == 2 ? kControlXonXoff
                             : kControlNoFlow,
            out);
    default:
        return; // the FIFO control has no counterpart
    }
}

void appendPurge(std::uint32_t purgeFlags, std::vector<std::uint8_t>& out)
{
    const bool receive = (purgeFlags & kPurgeRxClear) != 0;
    const bool transmit = (purgeFlags & kPurgeTxClear) != 0;
    if (receive || transmit)
        appendByteCommand(kPurgeData, receive && transmit ? kPurgeBoth : receive ? kPurgeReceive : kPurgeTransmit, out);
}

class ClientSession::Sink final : public TelnetSink {
public:
    Sink(ClientSession& session, ServerEvents& events, std::vector<std::uint8_t>& reply)
        : m_session(session)
        , m_events(events)
        , m_reply(reply)
    {
    }
    void data(std::span<const std::uint8_t> bytes) override { m_events.data(bytes); }
    void negotiation(std::uint8_t verb, std::uint8_t option) override { m_session.negotiation(verb, option, m_reply); }
    void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) override
    {
        m_session.subnegotiation(option, payload, m_events, m_reply);
    }

private:
    ClientSession& m_session;
    ServerEvents& m_events;
    std::vector<std::uint8_t>& m_reply;
};

ClientSession::ClientSession(std::string signature)
    : m_signature(std::move(signature))
{
}

int ClientSession::index(std::uint8_t option)
{
    if (option == kOptionBinary)
        return kBinary;
    if (option == kOptionSuppressGoAhead)
        return kSga;
    return -1;
}

void ClientSession::begin(std::span<const std::uint8_t> settings, std::vector<std::uint8_t>& out)
{
    m_parser.reset();
    m_held.clear();
    m_comPortAnswered = false;
    for (const std::uint8_t option : { kOptionBinary, kOptionSuppressGoAhead }) {
        appendNegotiation(kWill, option, out);
        appendNegotiation(kDo, option, out);
        m_local[static_cast<std::size_t>(index(option))] = Option::WantYes;
        m_remote[static_cast<std::size_t>(index(option))] = Option::WantYes;
    }
    appendNegotiation(kWill, kOptionComPort, out);
    m_comPort = Option::WantYes;
    // Who the server is, and what it is to report.
    std::vector<std::uint8_t> opening;
    appendCommand(kSignature, {}, opening);
    const std::uint8_t lineMask[] = { kLineStateMask };
    appendCommand(kSetLineStateMask, lineMask, opening);
    const std::uint8_t modemMask[] = { kModemStateMask };
    appendCommand(kSetModemStateMask, modemMask, opening);
    opening.insert(opening.end(), settings.begin(), settings.end());
    hold(opening);
}

void ClientSession::command(std::span<const std::uint8_t> encoded, std::vector<std::uint8_t>& out)
{
    if (m_comPort == Option::Yes)
        out.insert(out.end(), encoded.begin(), encoded.end());
    else
        hold(encoded);
}

void ClientSession::hold(std::span<const std::uint8_t> encoded)
{
    while (const std::size_t length = commandLength(encoded)) {
        const auto command = encoded.first(length);
        const std::uint16_t setting = settingOf(command);
        std::erase_if(m_held, [setting](const Held& held) { return held.setting == setting; });
        m_held.push_back(Held { setting, std::vector<std::uint8_t>(command.begin(), command.end()) });
        encoded = encoded.subspan(length);
    }
}

void ClientSession::release(std::vector<std::uint8_t>& out)
{
    for (const Held& held : m_held)
        out.insert(out.end(), held.bytes.begin(), held.bytes.end());
    m_held.clear();
}

void ClientSession::receive(std::span<const std::uint8_t> bytes, ServerEvents& events, std::vector<std::uint8_t>& reply)
{
    Sink sink(*this, events, reply);
    m_parser.feed(bytes, sink);
}

// Each side of each option changes state only on a request that differs
// from its state, so two peers never answer each other's answers.
void ClientSession::negotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& reply)
{
    const int at = index(option);
    if (verb == kDo || verb == kDont) {
        // About our side of the option.
        Option* state = nullptr;
        if (at >= 0)
            state = &m_local[static_cast<std::size_t>(at)];
        else if (option == kOptionComPort)
            state = &m_comPort;
        const bool agree = verb == kDo;
        if (!state) {
            if (agree)
                appendNegotiation(kWont, option, reply);
            return;
        }
        const bool was = *state == Option::Yes;
        const bool asked = *state == Option::WantYes;
        *state = agree ? Option::Yes : Option::No;
        if (!asked && was != agree)
            appendNegotiation(agree ? kWill : kWont, option, reply);
        if (option == kOptionComPort) {
            m_comPortAnswered = true;
            // Refused, the settings stay the port's own, as on a raw
            // connection, and wait in case the server agrees after all.
            if (agree)
                release(reply);
        }
        return;
    }
    if (verb != kWill && verb != kWont)
        return;
    // About the server's side.
    const bool agree = verb == kWill;
    if (at < 0) {
        if (agree)
            appendNegotiation(kDont, option, reply);
        return;
    }
    Option& state = m_remote[static_cast<std::size_t>(at)];
    const bool was = state == Option::Yes;
    const bool asked = state == Option::WantYes;
    state = agree ? Option::Yes : Option::No;
    if (!asked && was != agree)
        appendNegotiation(agree ? kDo : kDont, option, reply);
}

void ClientSession::subnegotiation(
    std::uint8_t option, std::span<const std::uint8_t> payload, ServerEvents& events, std::vector<std::uint8_t>& reply)
{
    if (option != kOptionComPort || payload.empty())
        return;
    const std::uint8_t code = payload[0];
    const auto value = payload.subspan(1);
    switch (code) {
    case kServerOffset + kSignature:
        if (value.empty()) {
            // The server asks who we are.
            std::vector<std::uint8_t> text(m_signature.begin(), m_signature.end());
            appendCommand(kSignature, text, reply);
        } else {
            events.signature(std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
        }
        return;
    case kServerOffset + kNotifyModemState:
        if (!value.empty())
            events.modemState(value[0]);
        return;
    case kServerOffset + kNotifyLineState:
        if (!value.empty())
            events.lineState(value[0]);
        return;
    case kServerOffset + kFlowControlSuspend:
        events.flowSuspended(true);
        return;
    case kServerOffset + kFlowControlResume:
        events.flowSuspended(false);
        return;
    default:
        // The server's answers to our settings say what it made of them;
        // the port keeps what the program set, as a serial driver does.
        return;
    }
}

} // namespace driver::rfc2217
