// The log kept to its last lines, and the progress lines a transfer writes
// and another process reads back.
#include "tests/utility/services/tftp/tftp_fixture.h"
#include "utility/services/tftp_progress.h"

#include <fstream>

using namespace tftp_test;

namespace {

std::size_t lineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(TftpLog, KeepsItsLastLinesAndThoseOfRunningOwners)
{
    TftpLog log(10);
    std::set<TftpLog::Owner> running { 7 };
    log.setRunning([&](TftpLog::Owner owner) { return running.count(owner) != 0; });
    log.append("start of 7\r\n", 7);
    log.append("start of 8\r\n", 8);
    for (int i = 0; i < 100; ++i)
        log.append("line " + std::to_string(i) + "\r\n");
    EXPECT_LE(log.entries(), 10u + 10u / 4);
    EXPECT_GE(log.entries(), 10u);
    EXPECT_EQ(lineCount(log.text()), log.entries());
    EXPECT_EQ(log.text().rfind("line 99\r\n"), log.text().size() - 9) << "the newest line stays, last";
    EXPECT_EQ(log.text().find("start of 7\r\n"), 0u) << "a running transfer's line stays, in its place";
    EXPECT_EQ(log.text().find("start of 8"), std::string::npos);
    EXPECT_EQ(log.text().find("line 0\r\n"), std::string::npos);

    // Once its transfer ended, its line goes like any other.
    running.clear();
    for (int i = 0; i < 20; ++i)
        log.append("more\r\n");
    EXPECT_EQ(log.text().find("start of 7"), std::string::npos);

    // More running transfers than the limit: none of theirs is lost, and the
    // rest still goes.
    for (TftpLog::Owner owner = 100; owner < 130; ++owner) {
        running.insert(owner);
        log.append("start of " + std::to_string(owner) + "\r\n", owner);
        log.append("chatter\r\n");
    }
    for (TftpLog::Owner owner = 100; owner < 130; ++owner)
        EXPECT_NE(log.text().find("start of " + std::to_string(owner) + "\r\n"), std::string::npos) << owner;
    EXPECT_LE(log.entries(), 30u + 10u + 10u / 4);
}

TEST(TftpLog, AReaderThatKeepsItsNumberSeesEveryTextOnce)
{
    TftpLog log(4);
    std::string seen;
    std::uint64_t mark = 0;
    for (int i = 0; i < 50; ++i) {
        log.append(std::to_string(i) + ",");
        if (i % 3 == 0) {
            seen += log.since(mark);
            mark = log.next();
        }
    }
    seen += log.since(mark);
    std::string expected;
    for (int i = 0; i < 50; ++i)
        expected += std::to_string(i) + ",";
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(log.since(log.next()), "");
}

TEST_F(TftpServerTest, ALongRunningServerKeepsItsLastLinesAndTheRunningTransfersFirst)
{
    served.write("big.bin", pattern(5000));
    served.write("small.bin", "x");
    server.setLogLineLimit(20);
    start();
    Client slow;
    toServer(request(kTftpRrq, "big.bin"), true, &slow);
    auto first = fromServer(&slow);
    ASSERT_TRUE(first);
    const std::uint64_t shown = server.logNext();
    // Many short transfers go by while the slow one waits.
    for (int i = 0; i < 200; ++i) {
        Client quick;
        toServer(request(kTftpRrq, "small.bin"), true, &quick);
        auto data = fromServer(&quick);
        ASSERT_TRUE(data);
        toServer(ack(kTftpAck, 1), false, &quick);
    }
    const std::string& log = server.logText();
    EXPECT_LE(lineCount(log), 40u) << "bounded";
    const std::string slowStart
        = "Received a Read request from 127.0.0.1 on port " + std::to_string(slow.endpoint().port);
    EXPECT_NE(log.find(slowStart), std::string::npos) << "the running transfer's line is kept";
    EXPECT_EQ(log.find("is running on UDP port 69"), std::string::npos) << "old lines went";
    // A view that took the log up to `shown` gets every later text, in order.
    const std::string later = server.logSince(shown);
    EXPECT_EQ(later.find(slowStart), std::string::npos);
    EXPECT_NE(later.find("Sent " + served.path() + "/small.bin to 127.0.0.1"), std::string::npos);

    std::string file;
    fetch(*first, file, &slow);
    EXPECT_EQ(file, pattern(5000));
    EXPECT_NE(server.logText().find("Sent " + served.path() + "/big.bin to 127.0.0.1 on port "
                  + std::to_string(slow.endpoint().port) + ": 5000 bytes.\r\n"),
        std::string::npos);
}

TEST_F(TftpServerTest, ATransferLogsItsAcknowledgedBytesEveryTenthAndAtItsEnd)
{
    served.write("f.bin", pattern(10 * 1000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto first = fromServer();
    ASSERT_TRUE(first);
    const std::size_t logged = server.logText().size();
    std::string file;
    fetch(*first, file);
    ASSERT_EQ(file, pattern(10 * 1000));
    const std::string where
        = served.path() + "/f.bin to 127.0.0.1 on port " + std::to_string(client.endpoint().port) + ": ";
    std::string expected;
    // 20 blocks of 512 bytes: the acknowledged bytes pass each tenth.
    for (std::uint64_t block : { 2, 4, 6, 8, 10, 12, 14, 16, 18 }) {
        const std::uint64_t bytes = block * 512;
        expected += "Sending " + where + std::to_string(bytes) + " of 10000 bytes ("
            + std::to_string(bytes * 100 / 10000) + " %).\r\n";
    }
    expected += "Sent " + where + "10000 bytes.\r\nRead session is completed successfully.\r\n";
    EXPECT_EQ(server.logText().substr(logged), expected);
}

TEST_F(TftpServerTest, ATransferThatStopsSaysHowFarItCame)
{
    served.write("f.bin", pattern(3000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    ASSERT_TRUE(fromServer());
    toServer(ack(kTftpAck, 1), false);
    ASSERT_TRUE(fromServer());
    toServer(bytes("\0\5\0\0gone\0"s), false);
    EXPECT_NE(server.logText().find("Stopped sending " + served.path() + "/f.bin to 127.0.0.1 on port "
                  + std::to_string(client.endpoint().port)
                  + ": 512 of 3000 bytes.\r\nRead session ended by the "
                    "client: error 0 (gone).\r\n"),
        std::string::npos)
        << server.logText();
}

TEST(TftpProgressLines, ReadBackAsWritten)
{
    const TftpProgress lines[] = {
        { TftpProgress::Kind::Sending, "/srv/fw: to x.bin", { 0x0A000007, 1234 }, 512, 1048576 },
        { TftpProgress::Kind::Sent, "fw.bin", { 0x7F00000C, 65535 }, 37, 37 },
        { TftpProgress::Kind::Stopped, "a b/c.bin", { 0xC0A80001, 1 }, 0, 10 },
    };
    for (const auto& line : lines) {
        const std::string text = formatTftpProgress(line);
        auto parsed = parseTftpProgress(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->kind, line.kind) << text;
        EXPECT_EQ(parsed->path, line.path) << text;
        EXPECT_EQ(parsed->client, line.client) << text;
        EXPECT_EQ(parsed->bytes, line.bytes) << text;
        EXPECT_EQ(parsed->total, line.total) << text;
    }
    for (const char* other : { "Read session is completed successfully.\r\n",
             "Sending x to 1.2.3.4 on port 5: 9 of 3 bytes (300 %).", "Sent x to 1.2.3.4 on port 70000: 5 bytes.",
             "Sending x to 1.2.3 on port 5: 1 of 3 bytes (33 %).", "Sent x to 1.2.3.4 on port 5: 5 bytes. and more",
             "Sending x to 1.2.3.4 on port 5: -1 of 3 bytes (0 %).", "" })
        EXPECT_FALSE(parseTftpProgress(other)) << other;
}

TEST(TftpProgressLines, AFollowerReadsTheClientsNewLinesAsTheyAreWritten)
{
    testing_support::TempDir dir;
    const std::string path = dir.file("tftp.log");
    std::ofstream out(path);
    auto line = [](std::uint32_t address, std::uint64_t bytes) {
        return formatTftpProgress({ TftpProgress::Kind::Sending, "f", { address, 9 }, bytes, 100 });
    };
    out << line(0x7F00000C, 10) << std::flush; // before the follower opened: not news
    TftpProgressFollower follower;
    EXPECT_TRUE(follower.open(dir.file("absent"), 0x7F00000C).has_value());
    ASSERT_FALSE(follower.open(path, 0x7F00000C).has_value());
    EXPECT_TRUE(follower.poll().empty());
    const std::string half = line(0x7F00000C, 20);
    out << line(0x7F00000B, 30) << half.substr(0, 10) << std::flush;
    EXPECT_TRUE(follower.poll().empty()) << "another client, and a line not ended yet";
    out << half.substr(10) << line(0x7F00000C, 40) << std::flush;
    auto found = follower.poll();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].bytes, 20u);
    EXPECT_EQ(found[1].bytes, 40u);
    // Cut short (rotated): read again from its start.
    out.close();
    std::ofstream again(path, std::ios::trunc);
    again << line(0x7F00000C, 50) << std::flush;
    found = follower.poll();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].bytes, 50u);
}

} // namespace
