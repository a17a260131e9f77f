// Transfers over a link that loses packets, next to strangers and other
// clients, with windows and netascii.
#include "tests/utility/services/tftp/tftp_fixture.h"

#include <filesystem>

using namespace tftp_test;

namespace {

// The wait for the client doubles with every time-out of the same block
// (2, 4, 8, 16 and 16 s), so a client whose own time-out is longer than the
// first wait still gets its turn before the transfer is dropped.
TEST_F(TftpServerTest, SilentClientGetsFourSendsAtGrowingIntervalsThenTheDrop)
{
    served.write("f.bin", pattern(2000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    const auto first = fromServer();
    ASSERT_TRUE(first);
    const std::chrono::milliseconds waits[] = { 2s, 4s, 8s, 16s };
    for (const auto wait : waits) {
        loop.advance(wait - 1ms);
        EXPECT_FALSE(fromServer()) << wait.count();
        loop.advance(1ms);
        EXPECT_EQ(fromServer(), first) << wait.count();
    }
    loop.advance(16s - 1ms);
    EXPECT_FALSE(fromServer());
    loop.advance(1ms);
    auto error = fromServer();
    ASSERT_TRUE(error);
    EXPECT_EQ(text(*error), "\0\5\0\0Drop session\0"s);
    EXPECT_NE(server.logText().find("Read session aborted!\r\n"), std::string::npos);
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_FALSE(fileOpen());
    loop.advance(60s);
    EXPECT_FALSE(fromServer());
}

// A lost OACK must not hold the server: it is resent and finally dropped.
// The first resend waits longer than a client's usual time-out, because a
// client that lost its acknowledgement of the OACK sends that again, and
// one that lost the OACK asks again and is answered at once: some clients
// end the transfer on a second OACK they did not ask for.
TEST_F(TftpServerTest, UnansweredOackIsResentLateThenDropped)
{
    served.write("f.bin", pattern(10));
    start();
    toServer(request(kTftpRrq, "f.bin", "octet", { { "blksize", "1024" } }));
    const auto oack = fromServer();
    ASSERT_TRUE(oack);
    toServer(request(kTftpRrq, "f.bin", "octet", { { "blksize", "1024" } }));
    EXPECT_EQ(fromServer(), oack) << "the request asked again is answered at once";
    const std::chrono::milliseconds waits[] = { 10s, 10s, 10s, 16s };
    for (const auto wait : waits) {
        loop.advance(wait - 1ms);
        EXPECT_FALSE(fromServer()) << wait.count();
        loop.advance(1ms);
        EXPECT_EQ(fromServer(), oack) << wait.count();
    }
    loop.advance(16s);
    auto error = fromServer();
    ASSERT_TRUE(error);
    EXPECT_EQ(u16(*error, 0), kTftpError);
    EXPECT_EQ(server.transferCount(), 0u);
}

// A client like atftp: it acknowledges a repeated block once, then ignores
// repeats and acknowledges again only when it has heard nothing for 5 s.
// Here its acknowledgement of block 1 and the one extra are lost.
TEST_F(TftpServerTest, AClientThatAnswersOnlyItsOwnTimeOutStillGetsTheFile)
{
    served.write("f.bin", pattern(1000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto data = fromServer();
    ASSERT_TRUE(data);
    std::string file = text(*data, 4);
    // Neither the acknowledgement of block 1 nor the extra one for its
    // first repeat reaches the server: the client sends nothing until then.
    auto lastHeard = clock.now();
    std::optional<Bytes> next;
    for (int step = 0; step < 600 && !next; ++step) {
        loop.advance(100ms);
        if (auto repeat = fromServer()) {
            ASSERT_EQ(u16(*repeat, 2), 1);
            lastHeard = clock.now();
        } else if (clock.now() - lastHeard >= 5s) {
            toServer(ack(kTftpAck, 1), false);
            lastHeard = clock.now();
            next = fromServer();
        }
    }
    ASSERT_TRUE(next) << server.logText();
    EXPECT_EQ(u16(*next, 2), 2);
    fetch(*next, file);
    EXPECT_EQ(file, pattern(1000));
    EXPECT_EQ(server.logText().find("aborted"), std::string::npos);
}

// Each block may be lost four times: the count starts again whenever the
// client makes progress, so a long transfer over a lossy link still ends.
TEST_F(TftpServerTest, TimeoutsAreCountedPerBlockAndProgressStartsThemAgain)
{
    served.write("f.bin", pattern(2000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto data = fromServer();
    std::string file;
    while (data) {
        // Four DATA lost in a row: each is sent again, after 2, 4, 8 and 16 s.
        for (const auto wait : { 2s, 4s, 8s, 16s }) {
            loop.advance(wait);
            EXPECT_EQ(fromServer(), data) << "block " << u16(*data, 2) << ", after " << wait.count();
        }
        file += text(*data, 4);
        toServer(ack(kTftpAck, u16(*data, 2)), false);
        data = fromServer();
    }
    EXPECT_EQ(file, pattern(2000));
    EXPECT_NE(server.logText().find("Read session is completed successfully.\r\n"), std::string::npos);
    EXPECT_EQ(server.logText().find("aborted"), std::string::npos);
}

// Each block gets the whole time-out from when it was sent, however late in
// the previous block's time-out the acknowledgement came.
TEST_F(TftpServerTest, ABlockSentLateInTheTimeOutStillWaitsItsWholeTimeOut)
{
    served.write("f.bin", pattern(2000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto data = fromServer();
    ASSERT_TRUE(data);
    for (const auto late : { 1900ms, 100ms, 1999ms }) {
        loop.advance(late);
        EXPECT_FALSE(fromServer()) << "block " << u16(*data, 2) << " sent again before its time-out";
        toServer(ack(kTftpAck, u16(*data, 2)), false);
        data = fromServer();
        ASSERT_TRUE(data);
        const auto block = u16(*data, 2);
        loop.advance(2s - 1ms);
        EXPECT_FALSE(fromServer()) << "block " << block << " sent again " << (2s - 1ms).count() << " ms after it went";
        loop.advance(1ms);
        EXPECT_EQ(fromServer(), data) << "block " << block << " not sent again after 2 s";
    }
}

// The last block is kept and sent again until its acknowledgement comes;
// success is logged only then, and nothing follows it.
TEST_F(TftpServerTest, TheLastBlockIsSentAgainUntilItIsAcknowledged)
{
    for (const std::size_t size : { std::size_t { 1000 }, std::size_t { 1024 } }) {
        SCOPED_TRACE(size);
        served.write("f.bin", pattern(size));
        const std::size_t logged = server.logText().size();
        if (!server.running())
            start();
        toServer(request(kTftpRrq, "f.bin"));
        auto data = fromServer();
        while (data) {
            toServer(ack(kTftpAck, u16(*data, 2)), false);
            data = fromServer();
            if (data && data->size() < 4 + 512)
                break;
        }
        ASSERT_TRUE(data);
        const Bytes final = *data;
        EXPECT_EQ(final.size(), 4 + size % 512);
        EXPECT_EQ(server.transferCount(), 1u);
        for (const auto wait : { 2s, 4s, 8s }) {
            loop.advance(wait);
            EXPECT_EQ(fromServer(), final) << wait.count();
        }
        EXPECT_EQ(server.logText().find("completed", logged), std::string::npos);
        toServer(ack(kTftpAck, u16(final, 2)), false);
        EXPECT_EQ(server.transferCount(), 0u);
        EXPECT_EQ(server.logText().substr(server.logText().size() - 41), "Read session is completed successfully.\r\n");
        loop.advance(10s);
        EXPECT_FALSE(fromServer()) << "no empty DATA after the last block";
    }
}

// A client gone after the last block (its acknowledgement lost) is not
// told the transfer failed, and the log does not claim either outcome.
TEST_F(TftpServerTest, ALastBlockNeverAcknowledgedEndsTheTransferQuietly)
{
    served.write("f.bin", pattern(100));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    const auto last = fromServer();
    ASSERT_TRUE(last);
    for (const auto wait : { 2s, 4s, 8s, 16s }) {
        loop.advance(wait);
        EXPECT_EQ(fromServer(), last);
    }
    loop.advance(16s);
    EXPECT_FALSE(fromServer()) << "no ERROR";
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_NE(server.logText().find("Read session ended without the acknowledgement of the last block.\r\n"),
        std::string::npos);
    EXPECT_EQ(server.logText().find("completed"), std::string::npos);
}

// Only the client's own address and port (its transfer identifier) count:
// anyone else's ACK, ERROR or DATA leaves the transfer as it was and is
// told it is unknown (an ERROR is never answered).
TEST_F(TftpServerTest, StrangersNeitherEndNorAdvanceATransfer)
{
    served.write("f.bin", pattern(1500));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto data1 = fromServer();
    ASSERT_TRUE(data1);
    Client stranger;
    stranger.transfer = client.transfer;
    const Bytes unknown = bytes("\0\5\0\5Unknown transfer ID\0"s);
    toServer(ack(kTftpAck, 1), false, &stranger);
    EXPECT_EQ(fromServer(&stranger), unknown);
    EXPECT_FALSE(fromServer()) << "DATA 2 before the client acknowledged block 1";
    Bytes stray = ack(kTftpData, 1);
    stray.push_back('x');
    toServer(stray, false, &stranger);
    EXPECT_EQ(fromServer(&stranger), unknown);
    toServer(bytes("\0\5\0\0stop\0"s), false, &stranger);
    toServer(bytes("\0\5\0\0stop\0"s), true, &stranger);
    EXPECT_FALSE(fromServer(&stranger));
    toServer(ack(kTftpAck, 1), true, &stranger);
    EXPECT_EQ(fromServer(&stranger), unknown) << "port 69 carries no transfer";
    EXPECT_EQ(server.transferCount(), 1u);
    EXPECT_EQ(server.logText().find("ended by"), std::string::npos);
    std::string file;
    fetch(*data1, file);
    EXPECT_EQ(file, pattern(1500));
    EXPECT_EQ(served.read("f.bin"), pattern(1500));
}

// Every client gets its own transfer on its own port at once; a vanished
// client holds nobody else up.
TEST_F(TftpServerTest, TransfersRunSideBySideEachOnItsOwnPort)
{
    served.write("a.bin", pattern(3000));
    served.write("b.bin", pattern(1000));
    start();
    Client second, vanished;
    toServer(request(kTftpRrq, "a.bin"));
    toServer(request(kTftpRrq, "a.bin"), true, &vanished);
    toServer(request(kTftpRrq, "b.bin"), true, &second);
    auto a = fromServer();
    auto b = fromServer(&second);
    ASSERT_TRUE(a && b && fromServer(&vanished));
    EXPECT_NE(client.transfer.port, second.transfer.port);
    EXPECT_NE(client.transfer.port, vanished.transfer.port);
    EXPECT_EQ(server.transferCount(), 3u);
    const auto listed = server.transfers();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2].client, second.endpoint());
    EXPECT_EQ(listed[2].port, second.transfer.port);
    EXPECT_EQ(listed[2].path, served.path() + "/b.bin");
    std::string fileA, fileB;
    fetch(*b, fileB, &second);
    fetch(*a, fileA);
    EXPECT_EQ(fileA, pattern(3000));
    EXPECT_EQ(fileB, pattern(1000));
    EXPECT_EQ(server.transferCount(), 1u);
    loop.advance(46s);
    EXPECT_EQ(server.transferCount(), 0u) << "the vanished client's transfer is dropped";
}

TEST_F(TftpServerTest, RequestsBeyondTheLimitAreRefusedWithALogLine)
{
    served.write("f.bin", pattern(600));
    server.setTransferLimit(2);
    start();
    Client second, third;
    toServer(request(kTftpRrq, "f.bin"));
    toServer(request(kTftpRrq, "f.bin"), true, &second);
    toServer(request(kTftpRrq, "f.bin"), true, &third);
    ASSERT_TRUE(fromServer() && fromServer(&second));
    EXPECT_EQ(fromServer(&third), bytes("\0\5\0\0Server busy, try again later\0"s));
    EXPECT_EQ(third.transfer.port, 69);
    EXPECT_NE(server.logText().find("Refused a Read request from 127.0.0.1 on port "
                  + std::to_string(third.endpoint().port) + ": 2 transfers are running.\r\n"),
        std::string::npos);
    // Once one ends, the next request is served.
    std::string file;
    toServer(ack(kTftpAck, 1), false);
    fetch(*fromServer(), file);
    toServer(request(kTftpRrq, "f.bin"), true, &third);
    EXPECT_EQ(u16(*fromServer(&third), 0), kTftpData);
}

// A request repeated from the same port while its transfer runs is
// answered by that transfer; one that comes after the whole file was sent
// means the client has it, and starts a new transfer.
TEST_F(TftpServerTest, RequestsFromOnePortBackToBack)
{
    served.write("f.bin", pattern(700));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto data1 = fromServer();
    toServer(request(kTftpRrq, "f.bin"));
    EXPECT_FALSE(fromServer());
    EXPECT_EQ(server.transferCount(), 1u);
    toServer(ack(kTftpAck, 1), false);
    auto data2 = fromServer();
    ASSERT_TRUE(data2);
    EXPECT_EQ(data2->size(), 4u + 188);
    // The last acknowledgement is lost; the client asks for the next file.
    toServer(request(kTftpRrq, "f.bin"));
    auto again = fromServer();
    ASSERT_TRUE(again);
    EXPECT_EQ(u16(*again, 2), 1);
    EXPECT_EQ(server.transferCount(), 1u);
    EXPECT_NE(server.logText().find("Read session is completed successfully.\r\n"), std::string::npos);
    std::string file;
    fetch(*again, file);
    EXPECT_EQ(file, pattern(700));
    // A one-block file asked for again before anything was acknowledged: the
    // first block may never have arrived, so the first transfer is no success.
    served.write("one.bin", pattern(100));
    const std::size_t before = server.logText().size();
    toServer(request(kTftpRrq, "one.bin"));
    ASSERT_TRUE(fromServer());
    toServer(request(kTftpRrq, "one.bin"));
    auto repeated = fromServer();
    ASSERT_TRUE(repeated);
    EXPECT_EQ(text(*repeated), "\0\3\0\1"s + pattern(100));
    const std::string log = server.logText().substr(before);
    EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
    EXPECT_NE(log.find("Read session ended without the acknowledgement of the last block.\r\n"), std::string::npos)
        << log;
}

// windowsize: that many blocks go before an acknowledgement is awaited; an
// acknowledgement inside the window has the blocks after it sent again.
TEST_F(TftpServerTest, WindowsizeSendsAWindowBeforeWaiting)
{
    served.write("f.bin", pattern(8 * 10 + 3));
    start();
    toServer(request(kTftpRrq, "f.bin", "octet", { { "blksize", "8" }, { "windowsize", "4" } }));
    EXPECT_EQ(text(*fromServer()), "\0\6blksize\0008\0windowsize\0004\0"s);
    toServer(ack(kTftpAck, 0), false);
    std::vector<int> blocks;
    auto drain = [&] {
        std::vector<int> got;
        while (auto data = fromServer())
            got.push_back(u16(*data, 2));
        return got;
    };
    EXPECT_EQ(drain(), (std::vector<int> { 1, 2, 3, 4 }));
    toServer(ack(kTftpAck, 2), false);
    EXPECT_EQ(drain(), (std::vector<int> { 3, 4, 5, 6 }));
    loop.advance(kTftpRetransmitPeriod);
    EXPECT_EQ(drain(), (std::vector<int> { 3, 4, 5, 6 })) << "the window goes again";
    toServer(ack(kTftpAck, 6), false);
    EXPECT_EQ(drain(), (std::vector<int> { 7, 8, 9, 10 }));
    toServer(ack(kTftpAck, 10), false);
    EXPECT_EQ(drain(), (std::vector<int> { 11 }));
    toServer(ack(kTftpAck, 11), false);
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_NE(server.logText().find("completed successfully"), std::string::npos);
    toServer(request(kTftpRrq, "f.bin", "octet", { { "windowsize", "1000" } }));
    EXPECT_EQ(text(*fromServer()), "\0\6windowsize\00016\0"s) << "a larger window is answered with ours";
}

// netascii: LF goes as CR LF and CR as CR NUL, also where a pair is cut by
// the end of a block; tsize counts what is sent.
TEST_F(TftpServerTest, NetasciiSendsLineEndsAsPairs)
{
    served.write("t.txt", "abcdefg\nx\r1234\n");
    start();
    toServer(request(kTftpRrq, "t.txt", "NetASCII", { { "blksize", "8" }, { "tsize", "0" } }));
    EXPECT_EQ(text(*fromServer()), "\0\6blksize\0008\0tsize\00018\0"s);
    toServer(ack(kTftpAck, 0), false);
    std::string file;
    const auto sizes = fetch(*fromServer(), file);
    EXPECT_EQ(file,
        "abcdefg\r\nx\r\0"
        "1234\r\n"s);
    EXPECT_EQ(sizes, (std::vector<std::size_t> { 8, 8, 2 }));
}

// A file rewritten shorter in place while it is sent has given the client
// part of what it was: the transfer fails, loudly, and is no success.
TEST_F(TftpServerTest, AFileCutShortWhileSentFailsTheTransfer)
{
    // Longer than what one read of the file takes in, so the cut is seen.
    served.write("cut.bin", pattern(200000));
    start();
    toServer(request(kTftpRrq, "cut.bin", "octet", { { "blksize", "8192" } }));
    ASSERT_TRUE(fromServer());
    toServer(ack(kTftpAck, 0), false);
    auto datagram = fromServer();
    ASSERT_TRUE(datagram);
    served.write("cut.bin", pattern(100000));
    for (std::uint16_t block = 1; datagram && (*datagram)[1] == kTftpData && block < 100; ++block) {
        toServer(ack(kTftpAck, block), false);
        datagram = fromServer();
    }
    ASSERT_TRUE(datagram);
    EXPECT_EQ(text(*datagram), "\0\5\0\0Read error: the file got shorter while it was sent\0"s);
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_FALSE(fileOpen());
    EXPECT_EQ(server.logText().find("completed successfully"), std::string::npos);
    EXPECT_NE(
        server.logText().find("Read session aborted: the file got shorter while it was sent.\r\n"), std::string::npos);
}

// The converted length of a netascii file takes a read of all of it before
// the first block: a huge file is sent without tsize instead of holding the
// transfer's thread (and the server's stop) while it is read.
TEST_F(TftpServerTest, AHugeNetasciiFileIsSentWithoutItsSize)
{
    served.write("huge.txt", "");
    std::filesystem::resize_file(served.file("huge.txt"), 17u << 20);
    start();
    toServer(request(kTftpRrq, "huge.txt", "netascii", { { "blksize", "1024" }, { "tsize", "0" } }));
    auto oack = fromServer();
    ASSERT_TRUE(oack);
    EXPECT_EQ(text(*oack), "\0\6blksize\0001024\0"s);
}

} // namespace
