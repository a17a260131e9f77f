#include "tests/utility/services/tftp/tftp_fixture.h"

#include <filesystem>

using namespace tftp_test;

namespace {

TEST_F(TftpServerTest, StartAndStopWriteTheirLinesAndFollowTheRunningState)
{
    start();
    EXPECT_EQ(server.buttonCaption(), std::string("Stop"));
    EXPECT_EQ(server.listenEndpoint().port, 69);
    server.toggle();
    EXPECT_FALSE(server.running());
    EXPECT_EQ(server.buttonCaption(), std::string("Start"));
    EXPECT_EQ(server.logText(),
        "TFTP server @ 127.0.0.1 is running on UDP port 69 successfully.\r\n\r\nTFTP server stoped.\r\n\r\n");
    EXPECT_EQ(systemLog,
        (std::vector<std::string> {
            "TFTP server @ 127.0.0.1 is running on UDP port 69 successfully.", "TFTP server stoped." }));
    EXPECT_EQ(checked, (std::vector<bool> { true, false }));
}

TEST_F(TftpServerTest, SocketFailuresKeepTheServerStoppedAndTheButtonUnchecked)
{
    auto busy = platform::UdpSocket::open();
    ASSERT_TRUE(busy.ok());
    ASSERT_TRUE(busy->bind("127.0.0.1", 69).ok());
    server.toggle();
    EXPECT_FALSE(server.running());
    // The line says why, not only that.
    EXPECT_EQ(server.logText(),
        "Failed to create TFTP server socket!\r\nUDP port 69 of 127.0.0.1: bind: Address already in use (another "
        "TFTP server runs).\r\n");
    busy->close();

    // A transfer port that cannot be had refuses that request only.
    start();
    served.write("f.bin", "x");
    platform::faults::failNth(platform::faults::Op::Bind, 1);
    toServer(request(kTftpRrq, "f.bin"));
    auto error = fromServer();
    ASSERT_TRUE(error);
    EXPECT_EQ(text(*error), "\0\5\0\0No transfer port available\0"s);
    EXPECT_EQ(client.transfer.port, 69);
    EXPECT_NE(server.logText().find("Failed to create TFTP socket! ("), std::string::npos);
    toServer(request(kTftpRrq, "f.bin"));
    EXPECT_EQ(text(*fromServer(), 4), "x");
    EXPECT_EQ(checked, (std::vector<bool> { false, true }));
}

struct SizeCase {
    std::size_t fileSize;
    std::string mode;
    std::vector<std::size_t> blocks;
};

class TftpFileSizes : public TftpServerTest, public ::testing::WithParamInterface<SizeCase> { };

// The file ends with its first short block: an empty one only when the
// length is a multiple of 512, and nothing after a short one.
TEST_P(TftpFileSizes, AreSentInBlocksOf512EndingWithTheFirstShortBlock)
{
    const auto& param = GetParam();
    served.write("f.bin", pattern(param.fileSize));
    start();
    toServer(request(kTftpRrq, "f.bin", param.mode));
    auto first = fromServer();
    ASSERT_TRUE(first);
    EXPECT_EQ(u16(*first, 2), 1);
    std::string file;
    EXPECT_EQ(fetch(*first, file), param.blocks);
    EXPECT_EQ(file, pattern(param.fileSize));
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_FALSE(fileOpen());
    EXPECT_NE(client.transfer.port, 69);
    const std::string port = std::to_string(client.endpoint().port);
    EXPECT_NE(server.logText().find("Received a Read request from 127.0.0.1 on port " + port
                  + " (file: " + served.path() + "/f.bin).\r\n"),
        std::string::npos);
    EXPECT_NE(server.logText().find("Sent " + served.path() + "/f.bin to 127.0.0.1 on port " + port + ": "
                  + std::to_string(param.fileSize) + " bytes.\r\nRead session is completed successfully.\r\n"),
        std::string::npos)
        << server.logText();
    EXPECT_EQ(server.progressPosition(), server.progressMaximum());
}

INSTANTIATE_TEST_SUITE_P(Sizes, TftpFileSizes,
    ::testing::Values(SizeCase { 1000, "octet", { 512, 488 } }, SizeCase { 1024, "octet", { 512, 512, 0 } },
        SizeCase { 0, "octet", { 0 } }, SizeCase { 511, "OCTET", { 511 } }),
    [](const auto& info) { return std::to_string(info.param.fileSize) + "_" + info.param.mode; });

TEST_F(TftpServerTest, OptionsHonouredAreAcknowledgedWithTheValuesInForce)
{
    served.write("f.bin", pattern(3000));
    start();
    toServer(request(kTftpRrq, "f.bin", "octet",
        { { "BlkSize", "1468" }, { "tsize", "0" }, { "timeout", "3" }, { "multicast", "" } }));
    auto oack = fromServer();
    ASSERT_TRUE(oack);
    EXPECT_EQ(text(*oack), "\0\6BlkSize\0001468\0tsize\0003000\0timeout\0003\0"s);
    ASSERT_TRUE(session());
    EXPECT_EQ(session()->retransmitPeriod(), 3000ms);
    toServer(ack(kTftpAck, 0), false);
    std::string file;
    EXPECT_EQ(fetch(*fromServer(), file), (std::vector<std::size_t> { 1468, 1468, 64 }));
    EXPECT_EQ(file, pattern(3000));
}

TEST_F(TftpServerTest, BlockSizeIsCappedAndOptionsOutOfRangeAreDeclined)
{
    served.write("f.bin", pattern(70000));
    start();
    toServer(request(kTftpRrq, "f.bin", "octet", { { "blksize", "100000" }, { "timeout", "0" } }));
    auto oack = fromServer();
    ASSERT_TRUE(oack);
    EXPECT_EQ(text(*oack), "\0\6blksize\00065464\0"s);
    toServer(ack(kTftpAck, 0), false);
    auto data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 4u + 65464);
    server.toggle();

    // Nothing honoured: no OACK, the data starts at once in 512-byte blocks.
    server.toggle();
    toServer(request(kTftpRrq, "f.bin", "octet", { { "blksize", "7" }, { "multicast", "" } }));
    data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(u16(*data, 0), kTftpData);
    EXPECT_EQ(data->size(), 4u + 512);
}

// curl gives up on "tsize 0", so an empty file's size is left unsaid.
TEST_F(TftpServerTest, EmptyFileLeavesTheSizeOutOfTheOack)
{
    served.write("empty", "");
    start();
    toServer(request(kTftpRrq, "empty", "octet", { { "tsize", "0" }, { "blksize", "1024" } }));
    auto oack = fromServer();
    ASSERT_TRUE(oack);
    EXPECT_EQ(text(*oack), "\0\6blksize\0001024\0"s);
    toServer(ack(kTftpAck, 0), false);
    auto data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, ack(kTftpData, 1));

    toServer(ack(kTftpAck, 1), false);
    EXPECT_EQ(server.transferCount(), 0u);

    toServer(request(kTftpRrq, "empty", "octet", { { "tsize", "0" } }));
    data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, ack(kTftpData, 1));
    EXPECT_EQ(server.transferCount(), 1u) << "the empty block waits for its acknowledgement";
    toServer(ack(kTftpAck, 1), false);
    EXPECT_EQ(server.transferCount(), 0u);
}

// Clients that probe the size with tsize end the session with an ERROR,
// which the log shows (its text made printable).
TEST_F(TftpServerTest, ErrorFromTheClientEndsTheSessionWithALogLine)
{
    served.write("f.bin", pattern(100));
    start();
    toServer(request(kTftpRrq, "f.bin", "octet", { { "tsize", "0" } }));
    ASSERT_TRUE(fromServer());
    EXPECT_TRUE(fileOpen());
    toServer(bytes("\0\5\0\10probe\x01\xff\0"s), false);
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_FALSE(fileOpen());
    EXPECT_NE(server.logText().find("Read session ended by the client: error 8 (probe?"
                                    "?).\r\n"),
        std::string::npos);
    loop.advance(10s);
    EXPECT_FALSE(fromServer());
    toServer(request(kTftpRrq, "f.bin"));
    EXPECT_TRUE(fromServer());
}

TEST_F(TftpServerTest, DuplicateAckIsIgnoredAndTheRetransmissionStillComes)
{
    served.write("f.bin", pattern(2000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    auto data1 = fromServer();
    toServer(ack(kTftpAck, 1), false);
    auto data2 = fromServer();
    ASSERT_TRUE(data2);
    loop.advance(1500ms);
    toServer(ack(kTftpAck, 1), false);
    EXPECT_FALSE(fromServer());
    loop.advance(499ms);
    EXPECT_FALSE(fromServer());
    loop.advance(1ms);
    EXPECT_EQ(fromServer(), data2);
    EXPECT_TRUE(prompter.shown.empty());
}

// Each refused request gets its ERROR at once (a client left without an
// answer asks again for as long as its own patience lasts) and a log line
// that says why; no message box holds up the server.
TEST_F(TftpServerTest, RequestsThatCannotBeServedGetAnErrorAtOnce)
{
    struct Case {
        const char* name;
        Bytes request;
        std::string error;
        std::string log;
    };
    std::filesystem::create_directory(served.file("dir"));
    const std::string received = "Received a Read request from 127.0.0.1 on port "
        + std::to_string(client.endpoint().port) + " (file: " + served.path() + "/";
    const std::vector<Case> cases = {
        { "missing", request(kTftpRrq, "absent.bin"), "\0\5\0\1File not found\0"s,
            received + "absent.bin).\r\nFile is not found!\r\n" },
        { "missing, with options", request(kTftpRrq, "absent.bin", "octet", { { "blksize", "1468" } }),
            "\0\5\0\1File not found\0"s, received + "absent.bin).\r\nFile is not found!\r\n" },
        { "a directory", request(kTftpRrq, "dir"), "\0\5\0\1File not found\0"s,
            received + "dir).\r\nFile is not found!\r\n" },
        { "empty name", request(kTftpRrq, ""), "\0\5\0\0Empty file name\0"s,
            received + ").\r\nRefused the Read request: the file name is empty.\r\n" },
        { "write", request(kTftpWrq, "up.bin"), "\0\5\0\2Only read requests are served\0"s,
            "Refused a Write request from 127.0.0.1 on port " + std::to_string(client.endpoint().port)
                + " (file: up.bin): only reads are served.\r\n" },
    };
    start();
    for (const auto& c : cases) {
        const std::size_t logged = server.logText().size();
        toServer(c.request);
        auto error = fromServer();
        ASSERT_TRUE(error) << c.name;
        EXPECT_EQ(text(*error), c.error) << c.name;
        EXPECT_EQ(server.logText().substr(logged), c.log) << c.name;
        EXPECT_EQ(server.transferCount(), 0u) << c.name;
        EXPECT_FALSE(fromServer()) << c.name << ": one answer";
    }
    EXPECT_TRUE(prompter.messages().empty());
    EXPECT_FALSE(std::filesystem::exists(served.file("up.bin")));
    // The server is free for the next request.
    served.write("f.bin", "here");
    toServer(request(kTftpRrq, "f.bin"));
    auto data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(text(*data, 4), "here");
}

// A file that grows while it is sent: the client gets what the file holds
// when each block is read, up to a short block, and success is logged only
// once it has that block.
TEST_F(TftpServerTest, AFileThatGrowsIsServedUpToItsFirstShortBlock)
{
    served.write("grow.log", pattern(1000));
    start();
    toServer(request(kTftpRrq, "grow.log"));
    auto data1 = fromServer();
    ASSERT_TRUE(data1);
    served.write("grow.log", pattern(3000));
    std::string file;
    const auto sizes = fetch(*data1, file);
    EXPECT_EQ(file, pattern(3000));
    EXPECT_EQ(sizes, (std::vector<std::size_t> { 512, 512, 512, 512, 512, 440 }));
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_FALSE(fileOpen());
    const std::string& log = server.logText();
    EXPECT_EQ(log.find("Read session is completed successfully.\r\n"),
        log.size() - std::string("Read session is completed successfully.\r\n").size());
    EXPECT_EQ(server.progressPosition(), server.progressMaximum());
}

TEST_F(TftpServerTest, SymbolicLinksAreFollowedOnlyInsideTheFolder)
{
    const std::string inner = served.file("srv");
    std::filesystem::create_directories(inner + "/sub");
    served.write("secret", "outside");
    std::filesystem::create_directory(served.file("elsewhere"));
    served.write("elsewhere/s2", "outside too");
    served.write("srv/sub/real", "inside");
    std::filesystem::create_symlink(served.file("secret"), inner + "/to-secret");
    std::filesystem::create_symlink("../secret", inner + "/relative-secret");
    std::filesystem::create_symlink(served.file("elsewhere"), inner + "/to-elsewhere");
    std::filesystem::create_symlink("sub/real", inner + "/to-real");
    std::filesystem::create_symlink(inner + "/sub", inner + "/to-sub");
    server.setFilePath(inner);
    start();
    struct Case {
        const char* name;
        std::string answer; // DATA's bytes, or the whole ERROR
    };
    const Case cases[] = {
        { "to-secret", "\0\5\0\2Access violation\0"s },
        { "relative-secret", "\0\5\0\2Access violation\0"s },
        { "to-elsewhere/s2", "\0\5\0\2Access violation\0"s },
        { "to-real", "inside" },
        { "to-sub/real", "inside" },
    };
    for (const Case& c : cases) {
        toServer(request(kTftpRrq, c.name));
        auto answer = fromServer();
        ASSERT_TRUE(answer) << c.name;
        const bool data = u16(*answer, 0) == kTftpData;
        EXPECT_EQ(data ? text(*answer, 4) : text(*answer), c.answer) << c.name;
        if (data) {
            toServer(ack(kTftpAck, 1), false);
            EXPECT_FALSE(fromServer()) << c.name << ": the short block was the last";
        }
        EXPECT_EQ(server.transferCount(), 0u) << c.name;
    }
    // The start, two lines per refusal, three per file sent (with its count).
    const std::string& log = server.logText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2 + 3 * 2 + 2 * 3);
}

TEST_F(TftpServerTest, NoFolderChosenOrNoneUsableRefusesToStart)
{
    served.write("plain", "a file");
    const struct {
        std::string path;
        std::string log;
    } cases[] = {
        { "C:\\",
            "TFTP server not started: no folder to serve files from is chosen. Choose one with the \"...\" "
            "button.\r\n" },
        { "",
            "TFTP server not started: no folder to serve files from is chosen. Choose one with the \"...\" "
            "button.\r\n" },
        { served.file("absent"),
            "TFTP server not started: the folder " + served.file("absent")
                + " does not exist. Choose one with the \"...\" button.\r\n" },
        { served.file("plain"),
            "TFTP server not started: " + served.file("plain")
                + " is not a folder. Choose one with the \"...\" button.\r\n" },
    };
    for (const auto& c : cases) {
        const std::size_t logged = server.logText().size();
        server.setFilePath(c.path);
        server.toggle();
        EXPECT_FALSE(server.running()) << c.path;
        EXPECT_EQ(server.buttonCaption(), std::string("Start"));
        EXPECT_EQ(server.logText().substr(logged), c.log);
        EXPECT_EQ(server.listenEndpoint().port, 0) << "no socket was opened";
    }
    EXPECT_EQ(checked, std::vector<bool>(4, false));
    EXPECT_TRUE(systemLog.empty());
    EXPECT_EQ(tftpFolderProblem(served.path()), "");
}

class TftpRefusedNames : public TftpServerTest, public ::testing::WithParamInterface<std::string> { };

TEST_P(TftpRefusedNames, GetAnErrorAndNothingOutsideIsOpened)
{
    // The served directory is a folder inside the temporary one; "secret"
    // sits beside it.
    const std::string inner = served.file("srv");
    std::filesystem::create_directory(inner);
    served.write("secret", "outside");
    server.setFilePath(inner);
    start();
    std::string name = GetParam();
    if (name == "<absolute>")
        name = served.file("secret");
    toServer(request(kTftpRrq, name));
    auto error = fromServer();
    ASSERT_TRUE(error);
    EXPECT_EQ(text(*error), "\0\5\0\2Access violation\0"s);
    EXPECT_NE(server.logText().find("Refused the Read request: the name leaves the served directory.\r\n"),
        std::string::npos);
    EXPECT_EQ(server.transferCount(), 0u);
    EXPECT_FALSE(fromServer());
}

INSTANTIATE_TEST_SUITE_P(Names, TftpRefusedNames,
    ::testing::Values("../secret", "<absolute>", "a/../../secret", "..", "sub/..", "C:secret", "..\\secret"),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(TftpServerTest, NamesInsideTheDirectoryAreServed)
{
    std::filesystem::create_directory(served.file("sub"));
    served.write("sub/..x", "inside");
    start();
    toServer(request(kTftpRrq, "sub/..x"));
    auto data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(text(*data, 4), "inside");
}

// A path that does not fit the 255-character buffer is refused, even when
// its first 255 characters name a file that exists.
TEST_F(TftpServerTest, PathLongerThanTheBufferIsRefusedNotCut)
{
    const std::size_t room = 255 - served.path().size() - 1;
    const std::string fits(room, 'a');
    served.write(fits, "wrong file");
    start();
    toServer(request(kTftpRrq, fits + "b"));
    auto error = fromServer();
    ASSERT_TRUE(error);
    EXPECT_EQ(text(*error), "\0\5\0\0File name too long\0"s);
    toServer(request(kTftpRrq, fits));
    auto data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(text(*data, 4), "wrong file");
}

TEST_F(TftpServerTest, StoppingDuringATransferClosesTheFileAtOnce)
{
    served.write("f.bin", pattern(5000));
    start();
    toServer(request(kTftpRrq, "f.bin"));
    ASSERT_TRUE(fromServer());
    EXPECT_TRUE(fileOpen());
    server.toggle();
    EXPECT_FALSE(fileOpen());
    EXPECT_EQ(server.transferCount(), 0u);
    loop.advance(20s);
    EXPECT_FALSE(fromServer());
    // Started again: an idle session that serves the next request.
    server.toggle();
    toServer(request(kTftpRrq, "f.bin"));
    auto data = fromServer();
    ASSERT_TRUE(data);
    EXPECT_EQ(u16(*data, 2), 1);
}

// Past 65535 blocks the numbers wrap to 0 and the transfer goes on (small
// blocks keep the file small).
TEST_F(TftpServerTest, LongFilesContinueAcrossTheBlockNumberWrap)
{
    const std::size_t size = 8 * 65540 + 3;
    served.write("f.bin", pattern(size));
    start();
    toServer(request(kTftpRrq, "f.bin", "octet", { { "blksize", "8" } }));
    ASSERT_TRUE(fromServer());
    toServer(ack(kTftpAck, 0), false);
    std::string file;
    std::vector<std::uint16_t> numbers;
    auto data = fromServer();
    while (data && data->size() == 12) {
        numbers.push_back(u16(*data, 2));
        file += text(*data, 4);
        toServer(ack(kTftpAck, u16(*data, 2)), false);
        data = fromServer();
    }
    ASSERT_TRUE(data);
    file += text(*data, 4);
    EXPECT_EQ(file, pattern(size));
    ASSERT_EQ(numbers.size(), 65540u);
    EXPECT_EQ(numbers[65534], 65535);
    EXPECT_EQ(numbers[65535], 0);
    EXPECT_EQ(u16(*data, 2), 65541 & 0xFFFF);
    toServer(ack(kTftpAck, u16(*data, 2)), false);
    EXPECT_FALSE(fromServer());
    EXPECT_EQ(server.transferCount(), 0u);
}

TEST_F(TftpServerTest, BrowseSetsThePathAndTheSettingsSink)
{
    std::string sunk;
    server.setFolderSink([&](const std::string& folder) { sunk = folder; });
    prompter.fileAnswers.push_back("");
    server.browse();
    EXPECT_EQ(server.filePath(), served.path());
    prompter.fileAnswers.push_back("/srv/tftp");
    server.browse();
    EXPECT_EQ(server.filePath(), "/srv/tftp");
    EXPECT_EQ(sunk, "/srv/tftp");
}

} // namespace
