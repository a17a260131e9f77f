// What an RFC 2217 server (or anything at its address) sends: the client
// session must take any bytes in any pieces, decode the same data however
// the stream is cut, answer only with well-formed Telnet, and never answer
// more than a few bytes per byte received. The data it sends must decode
// back to itself.
#include "driver/rfc2217.h"

#include <cstdlib>
#include <span>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace driver;

class Collect final : public rfc2217::ServerEvents {
public:
    void data(std::span<const std::uint8_t> bytes) override
    {
        received.insert(received.end(), bytes.begin(), bytes.end());
    }
    void modemState(std::uint8_t) override { ++reports; }
    void lineState(std::uint8_t) override { ++reports; }
    void flowSuspended(bool) override { ++reports; }
    Bytes received;
    int reports = 0;
};

// Every answer is IAC WILL/WONT/DO/DONT option or IAC SB 44 ... IAC SE.
bool wellFormed(const Bytes& out)
{
    std::size_t at = 0;
    while (at < out.size()) {
        if (out[at] != telnet::kIac || at + 2 >= out.size())
            return false;
        const std::uint8_t verb = out[at + 1];
        if (verb >= telnet::kWill) {
            at += 3;
            continue;
        }
        if (verb != telnet::kSb || out[at + 2] != telnet::kOptionComPort)
            return false;
        at += 3;
        for (;;) {
            if (at + 1 >= out.size())
                return false;
            if (out[at] == telnet::kIac) {
                if (out[at + 1] == telnet::kSe) {
                    at += 2;
                    break;
                }
                if (out[at + 1] != telnet::kIac)
                    return false;
                at += 2;
            } else {
                ++at;
            }
        }
    }
    return true;
}

struct Run {
    Collect events;
    Bytes answers;
};

void feed(std::span<const std::uint8_t> stream, std::size_t piece, Run& run)
{
    rfc2217::ClientSession session;
    Bytes opening;
    session.begin({}, opening);
    for (std::size_t at = 0; at < stream.size(); at += piece)
        session.receive(stream.subspan(at, std::min(piece, stream.size() - at)), run.events, run.answers);
    // Commands after whatever the stream did to the negotiation.
    Bytes command;
    rfc2217::appendControl(ControlPacket::make(kCodeBaudAndLineControl, 4, 0x1E), command);
    session.command(command, run.answers);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t piece = 1 + data[0] % 7;
    const auto stream = std::span(data + 1, size - 1);
    Run whole, cut;
    feed(stream, stream.size() + 1, whole);
    feed(stream, piece, cut);
    if (whole.events.received != cut.events.received || whole.events.reports != cut.events.reports
        || whole.answers != cut.answers)
        std::abort();
    if (whole.events.received.size() > stream.size() || !wellFormed(whole.answers))
        std::abort();
    // A refused option costs three bytes per three received; a signature
    // request a short text; the held commands their own bytes.
    if (whole.answers.size() > 3 * stream.size() + 256)
        std::abort();
    // Data escaped for the wire comes back unchanged.
    Bytes wire;
    telnet::appendEscaped(stream, wire);
    if (telnet::unescapedLength(stream, wire.size()) != stream.size())
        std::abort();
    Run echo;
    rfc2217::ClientSession session;
    Bytes ignored;
    session.begin({}, ignored);
    session.receive(wire, echo.events, echo.answers);
    if (echo.events.received != Bytes(stream.begin(), stream.end()) || !echo.answers.empty())
        std::abort();
    return 0;
}
