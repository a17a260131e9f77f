#include "driver/rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using namespace driver;

namespace {

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

class Events final : public rfc2217::ServerEvents {
public:
    void data(std::span<const std::uint8_t> bytes) override
    {
        received.insert(received.end(), bytes.begin(), bytes.end());
    }
    void modemState(std::uint8_t state) override { modem.push_back(state); }
    void lineState(std::uint8_t state) override { line.push_back(state); }
    void flowSuspended(bool suspended) override { flow.push_back(suspended); }
    void signature(std::string_view text) override { signatures.emplace_back(text); }
    Bytes received;
    Bytes modem;
    Bytes line;
    std::vector<bool> flow;
    std::vector<std::string> signatures;
};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A session that has sent its opening, fed `stream` one byte at a time and
// in one piece: both must give the same events and answers.
struct Fed {
    Events events;
    Bytes answers;
};
Fed feed(const Bytes& stream, std::size_t piece)
{
    rfc2217::ClientSession session;
    Bytes opening;
    session.begin({}, opening);
    Fed fed;
    for (std::size_t at = 0; at < stream.size(); at += piece)
        session.receive(std::span(stream).subspan(at, std::min(piece, stream.size() - at)), fed.events, fed.answers);
    return fed;
}

} // namespace

TEST(Rfc2217Parser, StreamsDecodeTheSameHoweverTheyAreCut)
{
    struct Case {
        const char* what;
        Bytes stream;
        Bytes data;
        Bytes modem;
        Bytes line;
    };
    const Case cases[] = {
        { "doubled IAC is one data byte", { 'a', IAC, IAC, 'b' }, { 'a', 0xFF, 'b' }, {}, {} },
        { "every byte value after the commands",
            concat({ { IAC, SB, 44, 107, 0x31, IAC, SE }, { 0x00, IAC, IAC, 0xFE } }), { 0x00, 0xFF, 0xFE }, { 0x31 },
            {} },
        { "a notification with a doubled IAC value", { IAC, SB, 44, 106, IAC, IAC, IAC, SE, 'x' }, { 'x' }, {},
            { 0xFF } },
        { "NOP and GA carry nothing", { 'a', IAC, 241, 'b', IAC, 249 }, { 'a', 'b' }, {}, {} },
        { "a subnegotiation cut by a command is dropped", { IAC, SB, 44, 107, 0x10, IAC, 241, 'z' }, { 'z' }, {}, {} },
        { "other options' subnegotiations are ignored", { IAC, SB, 24, 1, IAC, SE, 'q' }, { 'q' }, {}, {} },
    };
    for (const Case& c : cases) {
        for (const std::size_t piece : { std::size_t { 1 }, std::size_t { 2 }, c.stream.size() }) {
            const Fed fed = feed(c.stream, piece);
            EXPECT_EQ(fed.events.received, c.data) << c.what << ", pieces of " << piece;
            EXPECT_EQ(fed.events.modem, c.modem) << c.what;
            EXPECT_EQ(fed.events.line, c.line) << c.what;
        }
    }
}

TEST(Rfc2217Parser, AnOverlongSubnegotiationIsDroppedAndTheStreamGoesOn)
{
    Bytes stream { IAC, SB, 44, 107 };
    stream.insert(stream.end(), 400, 0x11);
    stream.insert(stream.end(), { IAC, SE, 'k', IAC, SB, 44, 107, 0x22, IAC, SE });
    const Fed fed = feed(stream, 7);
    EXPECT_EQ(fed.events.received, Bytes { 'k' });
    EXPECT_EQ(fed.events.modem, Bytes { 0x22 });
}

TEST(Rfc2217Session, OpensWithBinarySuppressGoAheadAndComPort)
{
    rfc2217::ClientSession session;
    Bytes opening;
    session.begin({}, opening);
    EXPECT_EQ(opening, (Bytes { IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44 }))
        << "no COM-PORT-OPTION command before the server agrees";
}

TEST(Rfc2217Session, NegotiationAnswersOnlyChangesAndRefusesWhatItDoesNotKnow)
{
    struct Case {
        const char* what;
        Bytes stream;
        Bytes answers;
    };
    const Case cases[] = {
        { "agreement to what we asked is not answered", { IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3 }, {} },
        { "echo and terminal type are refused", { IAC, WILL, 1, IAC, DO, 24 }, { IAC, DONT, 1, IAC, WONT, 24 } },
        { "a refusal of an unknown option is not answered", { IAC, WONT, 1, IAC, DONT, 24 }, {} },
        { "withdrawing agreed binary is acknowledged once", { IAC, DO, 0, IAC, DONT, 0, IAC, DONT, 0 },
            { IAC, WONT, 0 } },
        { "asking again after a refusal is agreed", { IAC, WONT, 3, IAC, WILL, 3 }, { IAC, DO, 3 } },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(feed(c.stream, 1).answers, c.answers) << c.what;
    }
}

TEST(Rfc2217Session, CommandsWaitForTheServersAgreementAndOutliveARefusal)
{
    const Bytes dtrOn { IAC, SB, 44, 5, 8, IAC, SE };
    const Bytes dtrOff { IAC, SB, 44, 5, 9, IAC, SE };
    const Bytes rate250000 { IAC, SB, 44, 1, 0, 3, 0xD0, 0x90, IAC, SE };
    const Bytes opening = concat(
        { { IAC, SB, 44, 0, IAC, SE }, { IAC, SB, 44, 10, 0x1E, IAC, SE }, { IAC, SB, 44, 11, 0xFF, 0xFF, IAC, SE } });
    const Bytes settings { IAC, SB, 44, 2, 7, IAC, SE };
    for (const bool agree : { true, false }) {
        SCOPED_TRACE(agree ? "agreed" : "refused, then agreed");
        rfc2217::ClientSession session;
        Bytes negotiation;
        session.begin(settings, negotiation);
        Bytes out;
        session.command(dtrOn, out);
        EXPECT_TRUE(out.empty());
        Events events;
        Bytes answers;
        session.receive(Bytes { IAC, agree ? DO : DONT, 44 }, events, answers);
        if (agree) {
            EXPECT_EQ(answers, concat({ opening, settings, dtrOn }))
                << "signature request, masks, settings, then what waited";
            session.command(dtrOn, out);
            EXPECT_EQ(out, dtrOn);
            EXPECT_TRUE(session.comPortAgreed());
            continue;
        }
        EXPECT_TRUE(answers.empty());
        EXPECT_TRUE(session.comPortRefused());
        // Settings made while refused: the newest of each is kept, in the order last made.
        for (const Bytes& command : { dtrOn, rate250000, dtrOff, concat({ dtrOn, dtrOff }) })
            session.command(command, out);
        EXPECT_TRUE(out.empty());
        session.receive(Bytes { IAC, DO, 44 }, events, answers);
        EXPECT_TRUE(session.comPortAgreed());
        EXPECT_EQ(answers, concat({ { IAC, WILL, 44 }, opening, settings, rate250000, dtrOff }));
    }
}

TEST(Rfc2217Session, HeldCommandsStayBoundedHoweverManyAreMade)
{
    rfc2217::ClientSession session;
    Bytes out;
    session.begin({}, out);
    out.clear();
    for (int i = 0; i < 100000; ++i) {
        Bytes line;
        rfc2217::appendLineSettings(static_cast<std::uint32_t>(1200 + i), 0x03, line);
        session.command(line, out);
        const Bytes toggles { IAC, SB, 44, 5, static_cast<std::uint8_t>(i % 2 ? 8 : 9), IAC, SE, IAC, SB, 44, 5,
            static_cast<std::uint8_t>(i % 2 ? 5 : 6), IAC, SE };
        session.command(toggles, out);
    }
    EXPECT_TRUE(out.empty());
    Events events;
    Bytes answers;
    session.receive(Bytes { IAC, DO, 44 }, events, answers);
    EXPECT_LT(answers.size(), 200u) << "one command a setting";
}

TEST(Rfc2217Session, ServerNotificationsAndSignature)
{
    const Bytes stream = concat({ { IAC, SB, 44, 100, 's', '2', 'n', IAC, SE }, { IAC, SB, 44, 108, IAC, SE },
        { IAC, SB, 44, 109, IAC, SE }, { IAC, SB, 44, 101, 0, 0, 0x4B, 0, IAC, SE } });
    const Fed fed = feed(stream, 3);
    EXPECT_EQ(fed.events.signatures, std::vector<std::string> { "s2n" });
    EXPECT_EQ(fed.events.flow, (std::vector<bool> { true, false }));
    EXPECT_TRUE(fed.answers.empty()) << "a server's answer to a setting is not answered";
    // A signature request is answered with ours.
    const Fed asked = feed({ IAC, SB, 44, 100, IAC, SE }, 1);
    EXPECT_EQ(asked.answers, (Bytes { IAC, SB, 44, 0, 'v', 'o', 'r', 'p', 'i', 'l', 'd', IAC, SE }));
}

TEST(Rfc2217Commands, ControlPacketsBecomeComPortCommands)
{
    struct Case {
        const char* what;
        ControlPacket packet;
        Bytes wire;
    };
    const Case cases[] = {
        { "DTR on", ControlPacket::make(kCodeSetDtr), { IAC, SB, 44, 5, 8, IAC, SE } },
        { "DTR off", ControlPacket::make(kCodeClearDtr), { IAC, SB, 44, 5, 9, IAC, SE } },
        { "RTS on", ControlPacket::make(kCodeSetRts), { IAC, SB, 44, 5, 11, IAC, SE } },
        { "RTS off", ControlPacket::make(kCodeClearRts), { IAC, SB, 44, 5, 12, IAC, SE } },
        { "break on", ControlPacket::make(kCodeBreakOn), { IAC, SB, 44, 5, 5, IAC, SE } },
        { "break off", ControlPacket::make(kCodeBreakOff), { IAC, SB, 44, 5, 6, IAC, SE } },
        { "19200 7E2", ControlPacket::make(kCodeBaudAndLineControl, 4, 0x1E),
            concat({ { IAC, SB, 44, 1, 0, 0, 0x4B, 0, IAC, SE }, { IAC, SB, 44, 2, 7, IAC, SE },
                { IAC, SB, 44, 3, 3, IAC, SE }, { IAC, SB, 44, 4, 2, IAC, SE } }) },
        { "921600 8N1", ControlPacket::make(kCodeBaudAndLineControl, 0, 0x03),
            concat({ { IAC, SB, 44, 1, 0, 0x0E, 0x10, 0, IAC, SE }, { IAC, SB, 44, 2, 8, IAC, SE },
                { IAC, SB, 44, 3, 1, IAC, SE }, { IAC, SB, 44, 4, 1, IAC, SE } }) },
        { "5 data bits, 1.5 stop, mark", ControlPacket::make(kCodeLineControl, 0x2C),
            concat(
                { { IAC, SB, 44, 2, 5, IAC, SE }, { IAC, SB, 44, 3, 4, IAC, SE }, { IAC, SB, 44, 4, 3, IAC, SE } }) },
        { "8O1", ControlPacket::make(kCodeLineControl, 0x0B),
            concat(
                { { IAC, SB, 44, 2, 8, IAC, SE }, { IAC, SB, 44, 3, 2, IAC, SE }, { IAC, SB, 44, 4, 1, IAC, SE } }) },
        { "modem control DTR only", ControlPacket::make(kCodeModemControl, 0x01),
            concat({ { IAC, SB, 44, 5, 8, IAC, SE }, { IAC, SB, 44, 5, 12, IAC, SE } }) },
        { "hardware flow", ControlPacket::make(kCodeFlowControl, 1), { IAC, SB, 44, 5, 3, IAC, SE } },
        { "software flow", ControlPacket::make(kCodeFlowControl, 2), { IAC, SB, 44, 5, 2, IAC, SE } },
        { "no flow", ControlPacket::make(kCodeFlowControl, 0), { IAC, SB, 44, 5, 1, IAC, SE } },
        { "receive stop", ControlPacket::make(kCodeXoff, 0x11), { IAC, SB, 44, 8, IAC, SE } },
        { "receive resume", ControlPacket::make(kCodeXon, 0x11), { IAC, SB, 44, 9, IAC, SE } },
        { "FIFO control has no counterpart", ControlPacket::make(kCodeFifoControl, 0xC7), {} },
    };
    for (const Case& c : cases) {
        Bytes wire;
        rfc2217::appendControl(c.packet, wire);
        EXPECT_EQ(wire, c.wire) << c.what;
    }
    // A rate without a device-server code goes as the port has it.
    Bytes wire;
    rfc2217::appendControl(ControlPacket::make(kCodeBaudAndLineControl, 5, 0x03), wire, 250000);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 10), (Bytes { IAC, SB, 44, 1, 0, 3, 0xD0, 0x90, IAC, SE }));
}

TEST(Rfc2217Commands, PurgeFlagsAndAnIacInAValue)
{
    struct Case {
        std::uint32_t flags;
        Bytes wire;
    };
    const Case cases[] = {
        { 0x8, { IAC, SB, 44, 12, 1, IAC, SE } },
        { 0x4, { IAC, SB, 44, 12, 2, IAC, SE } },
        { 0xC, { IAC, SB, 44, 12, 3, IAC, SE } },
        { 0x3, {} },
    };
    for (const Case& c : cases) {
        Bytes wire;
        rfc2217::appendPurge(c.flags, wire);
        EXPECT_EQ(wire, c.wire) << "flags " << c.flags;
    }
    Bytes wire;
    rfc2217::appendLineSettings(0x00FF00FF, 0x03, wire);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 12), (Bytes { IAC, SB, 44, 1, 0, IAC, IAC, 0, IAC, IAC, IAC, SE }));
}

TEST(TelnetData, EscapingDoublesEveryFfAndCountsWhatWentWhole)
{
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    Bytes wire;
    telnet::appendEscaped(all, wire);
    ASSERT_EQ(wire.size(), 257u);
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), (Bytes { 0xFF, 0xFF }));
    EXPECT_EQ(feed(wire, 5).events.received, all);
    const Bytes ends { 'a', 0xFF, 'b' };
    EXPECT_EQ(telnet::unescapedLength(ends, 0), 0u);
    EXPECT_EQ(telnet::unescapedLength(ends, 2), 1u) << "half an escaped 0xFF did not go";
    EXPECT_EQ(telnet::unescapedLength(ends, 3), 2u);
    EXPECT_EQ(telnet::unescapedLength(ends, 4), 3u);
}
