#include "driver/telnet_parser.h"

namespace driver::telnet {

void TelnetParser::reset()
{
    m_state = State::Data;
    m_sbFill = 0;
    m_sbOverflow = false;
}

void TelnetParser::endSubnegotiation(TelnetSink& sink)
{
    if (!m_sbOverflow)
        sink.subnegotiation(m_sbOption, std::span(m_sb).first(m_sbFill));
    m_sbFill = 0;
    m_sbOverflow = false;
}

void TelnetParser::feed(std::span<const std::uint8_t> bytes, TelnetSink& sink)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (m_state == State::Data) {
            // The common case: a run of plain bytes goes out in one piece.
            std::size_t end = at;
            while (end < bytes.size() && bytes[end] != kIac)
                ++end;
            if (end > at)
                sink.data(bytes.subspan(at, end - at));
            if (end == bytes.size())
                return;
            m_state = State::Iac;
            at = end + 1;
            continue;
        }
        const std::uint8_t byte = bytes[at++];
        switch (m_state) {
        case State::Data:
            break;
        case State::Iac:
            if (byte == kIac) {
                static constexpr std::uint8_t kFolded = kIac;
                sink.data(std::span(&kFolded, 1));
                m_state = State::Data;
            } else if (byte >= kWill) {
                m_verb = byte;
                m_state = State::Verb;
            } else if (byte == kSb) {
                m_state = State::SbOption;
            } else {
                // NOP, GA, DM, BRK, AYT and the rest carry nothing for a serial line.
                m_state = State::Data;
            }
            break;
        case State::Verb:
            sink.negotiation(m_verb, byte);
            m_state = State::Data;
            break;
        case State::SbOption:
            m_sbOption = byte;
            m_sbFill = 0;
            m_sbOverflow = false;
            m_state = State::SbData;
            break;
        case State::SbData:
            if (byte == kIac) {
                m_state = State::SbIac;
            } else if (m_sbFill < m_sb.size()) {
                m_sb[m_sbFill++] = byte;
            } else {
                m_sbOverflow = true;
            }
            break;
        case State::SbIac:
            if (byte == kIac) {
                if (m_sbFill < m_sb.size())
                    m_sb[m_sbFill++] = byte;
                else
                    m_sbOverflow = true;
                m_state = State::SbData;
            } else if (byte == kSe) {
                endSubnegotiation(sink);
                m_state = State::Data;
            } else {
                // A command inside a subnegotiation ends it unfinished; the
                // command itself is taken as if the subnegotiation had ended.
                m_sbFill = 0;
                m_sbOverflow = false;
                m_state = State::Iac;
                --at;
            }
            break;
        }
    }
}

void appendEscaped(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = at;
        while (end < bytes.size() && bytes[end] != kIac)
            ++end;
        out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
            bytes.begin() + static_cast<std::ptrdiff_t>(end));
        if (end == bytes.size())
            break;
        out.push_back(kIac);
        out.push_back(kIac);
        at = end + 1;
    }
}

std::size_t unescapedLength(std::span<const std::uint8_t> bytes, std::size_t wireBytes)
{
    std::size_t wire = 0;
    std::size_t count = 0;
    for (const std::uint8_t byte : bytes) {
        wire += byte == kIac ? 2 : 1;
        if (wire > wireBytes)
            break;
        ++count;
    }
    return count;
}

void appendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out)
{
    out.push_back(kIac);
    out.push_back(verb);
    out.push_back(option);
}

} // namespace driver::telnet
