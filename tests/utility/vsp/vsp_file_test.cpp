#include "platform/text_file.h"
#include "tests/support/temp_dir.h"
#include "utility/vsp/vsp_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace utility::vsp;

namespace {

PortEntry connectedClient()
{
    PortEntry entry;
    entry.portId = "0";
    entry.portName = "COM5";
    entry.remoteHostIp = 3232235778u; // 192.168.1.2
    entry.remoteHostPort = 5000;
    entry.protocol = 0;
    entry.connectAtWinStart = 1;
    entry.status = "Connected";
    entry.connType = 1;
    entry.cmdByte = 1;
    entry.maxPacketLen = 450;
    entry.portName2 = "COM5";
    entry.remoteIpText = "192.168.1.2";
    entry.remotePortText = "5000";
    return entry;
}

PortEntry listeningServer()
{
    PortEntry entry;
    entry.portId = "1";
    entry.portName = "COM6";
    entry.remoteHostPort = 4001;
    entry.status = "Server";
    entry.connType = 0;
    entry.maxPacketLen = 1460;
    entry.portName2 = "COM6";
    entry.remoteIpText = "";
    entry.remotePortText = "4001";
    return entry;
}

} // namespace

TEST(VspFile, WritesTheDocumentedBytesAndReadsThemBack)
{
    const std::string bytes = encodeVspFile({ connectedClient(), listeningServer() });
    EXPECT_EQ(bytes,
        "2 \r\n"
        "0 COM5 3232235778l 5000 0 1 Connected 1 1 450 COM5 192.168.1.2 5000 \r\n"
        "1 COM6 0l 4001 0 0 Server 0 0 1460 COM6  4001 \r\n");
    std::vector<PortEntry> entries;
    ASSERT_TRUE(decodeVspFile(bytes, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], connectedClient());
    EXPECT_EQ(entries[1], listeningServer());
    EXPECT_EQ(entries[1].remoteIpText, "");
}

struct Rejected {
    const char* name;
    std::string bytes;
    std::size_t kept;
};

class VspFileLimits : public testing::TestWithParam<Rejected> { };

TEST_P(VspFileLimits, LoadsOnlyWhatIsWhole)
{
    std::vector<PortEntry> entries;
    const bool loaded = decodeVspFile(GetParam().bytes, entries);
    EXPECT_EQ(entries.size(), GetParam().kept);
    EXPECT_EQ(loaded, GetParam().kept > 0);
}

std::string lines(std::size_t count, std::size_t written)
{
    std::string out = std::to_string(count) + " \r\n";
    for (std::size_t i = 0; i < written; ++i)
        out += std::to_string(i) + " COM" + std::to_string(i + 1) + " 0l 0 0 0 Idle 1 0 1460 COM1 # # \r\n";
    return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, VspFileLimits,
    testing::Values(Rejected { "CountZero", "0 \r\n" + lines(1, 1).substr(4), 0 }, Rejected { "Empty", "", 0 },
        Rejected { "CountNoNumber", "x \r\n", 0 },
        // The count promises more than the file holds: what is there loads.
        Rejected { "CountAboveLines", lines(5, 2), 2 },
        // A count above the table's size is cut to it.
        Rejected { "CountAboveTable", lines(300, 256).substr(0, 25600), 256 },
        Rejected { "CutInsideALine", lines(2, 2).substr(0, lines(2, 2).size() - 8), 1 },
        // Cut safely: the whole lines within the buffer load.
        Rejected { "LongerThanTheBuffer", lines(2, 2) + std::string(25600, ' '), 2 },
        Rejected { "NoFinalLineEnd", lines(1, 1).substr(0, lines(1, 1).size() - 2), 1 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VspFile, NumbersStopAtTheFirstNonDigit)
{
    std::vector<PortEntry> entries;
    ASSERT_TRUE(decodeVspFile("1 \r\n0 COM5 3232235778l 5000x 1 0 Idle 1 0 512junk COM5 # # \r\n", entries));
    EXPECT_EQ(entries[0].remoteHostIp, 3232235778u);
    EXPECT_EQ(entries[0].remoteHostPort, 5000);
    EXPECT_EQ(entries[0].maxPacketLen, 512u);
}

// Each bad line is dropped alone, named in the log, and the lines around it
// still load: numbers out of their field's range, and lines with too few or
// too many fields (which must not borrow the next line's fields).
TEST(VspFile, ABadLineIsDroppedAloneAndNamed)
{
    const std::string good1 = "0 COM5 0l 5000 0 1 Idle 1 1 450 COM5 # # \r\n";
    const std::string good2 = "1 COM6 0l 4001 0 0 Idle 0 0 1460 COM6 # # \r\n";
    struct Case {
        const char* name;
        std::string bad;
        const char* reason;
    };
    for (const Case& c : {
             Case { "PortIdHuge", "99999999999999999999999 COM9 0l 5000 0 1 Idle 1 1 450 COM9 # # \r\n", "Port ID" },
             Case { "PortIdPastTable", "256 COM9 0l 5000 0 1 Idle 1 1 450 COM9 # # \r\n", "Port ID" },
             Case { "AddressPast32Bits", "0 COM9 4294967296l 5000 0 1 Idle 1 1 450 COM9 # # \r\n", "RemoteHostIP" },
             Case { "PortPast16Bits", "0 COM9 0l 70000 0 1 Idle 1 1 450 COM9 # # \r\n", "RemoteHostPort" },
             Case { "ProtocolTwo", "0 COM9 0l 5000 2 1 Idle 1 1 450 COM9 # # \r\n", "Protocol" },
             Case { "NegativeFlag", "0 COM9 0l 5000 0 -1 Idle 1 1 450 COM9 # # \r\n", "ConnectAtWinStart" },
             Case { "PacketHuge", "0 COM9 0l 5000 0 1 Idle 1 1 99999999999 COM9 # # \r\n", "MaxPacketLen" },
             Case { "NoDigits", "0 COM9 l 5000 0 1 Idle 1 1 450 COM9 # # \r\n", "RemoteHostIP" },
             Case { "ShortLine", "2 COM7 0l 5000 0 \r\n", "fewer than 13 fields" },
             Case { "LongLine", "2 COM7 0l 5000 0 1 Idle 1 1 450 COM7 # # extra \r\n", "more than 13 fields" },
         }) {
        const std::string bytes = "3 \r\n" + good1 + c.bad + good2;
        std::vector<PortEntry> entries;
        std::vector<std::string> dropped;
        ASSERT_TRUE(decodeVspFile(bytes, entries, &dropped)) << c.name;
        ASSERT_EQ(entries.size(), 2u) << c.name;
        EXPECT_EQ(entries[0].portName, "COM5") << c.name;
        EXPECT_EQ(entries[1].portName, "COM6") << c.name;
        EXPECT_EQ(entries[1].remoteHostPort, 4001) << c.name;
        ASSERT_EQ(dropped.size(), 1u) << c.name;
        EXPECT_NE(dropped[0].find("vsp.dat line 3 dropped"), std::string::npos) << dropped[0];
        EXPECT_NE(dropped[0].find(c.reason), std::string::npos) << dropped[0];
    }
}

// Nothing is dropped without a word: lines past the count, a count past the
// table, a file past the buffer, a file without a count.
TEST(VspFile, WhatIsNotReadIsNamed)
{
    struct Case {
        const char* name;
        std::string bytes;
        std::size_t kept;
        std::vector<std::string> named;
    };
    for (const Case& c : {
             Case { "LinePastTheCount", lines(1, 3), 1,
                 { "vsp.dat line 3 dropped: beyond the count of 1", "vsp.dat line 4 dropped: beyond the count of 1" } },
             Case { "CountPastTheTable", lines(300, 2), 2, { "vsp.dat counts 300 entries; only 256 are read" } },
             Case { "TenThousandLines", lines(10000, 10000), 256,
                 { "vsp.dat is longer than 25600 bytes; only the lines within them are read",
                     "vsp.dat counts 10000 entries; only 256 are read", "vsp.dat line 258 dropped: beyond" } },
             Case { "Garbage", "\x01\x02garbage\r\n\xff\xfe", 0, { "vsp.dat line 1 dropped: no entry count" } },
             Case { "OneMegabyteLine", std::string(1 << 20, 'x'), 0,
                 { "vsp.dat is longer than 25600 bytes", "vsp.dat line 1 dropped: longer than 25600 bytes" } },
         }) {
        std::vector<PortEntry> entries;
        std::vector<std::string> dropped;
        (void)decodeVspFile(c.bytes, entries, &dropped);
        EXPECT_EQ(entries.size(), c.kept) << c.name;
        ASSERT_GE(dropped.size(), c.named.size()) << c.name;
        for (std::size_t i = 0; i < c.named.size(); ++i)
            EXPECT_EQ(dropped[i].rfind(c.named[i], 0), 0u) << c.name << ": " << dropped[i];
    }
}

// A file with a dropped line is kept as vsp.dat.bad before anything writes
// over it; a link or a FIFO named vsp.dat is not read (and not waited on).
TEST(VspFile, AFileWithDroppedLinesIsKeptAndALinkOrFifoIsRefused)
{
    testing_support::TempDir dir;
    const std::string path = dir.file("vsp.dat");
    const std::string bytes = lines(1, 1) + "garbage line\r\n";
    dir.write("vsp.dat", bytes);
    std::vector<PortEntry> entries;
    std::vector<std::string> dropped;
    EXPECT_TRUE(loadVspFile(path, entries, &dropped));
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_EQ(dropped[0], "vsp.dat line 3 dropped: beyond the count of 1");
    EXPECT_EQ(dropped[1], "vsp.dat is kept as " + path + ".bad");
    ASSERT_TRUE(saveVspFile(path, entries, {}).ok());
    EXPECT_EQ(dir.read("vsp.dat.bad"), bytes);
    EXPECT_EQ(dir.read("vsp.dat"), lines(1, 1));

    dir.write("target", "system file");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("target").c_str(), path.c_str()), 0);
    dropped.clear();
    EXPECT_FALSE(loadVspFile(path, entries, &dropped));
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_NE(dropped[0].find("symbolic link"), std::string::npos) << dropped[0];
    EXPECT_FALSE(saveVspFile(path, entries, {}).ok());
    EXPECT_EQ(dir.read("target"), "system file");

    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    dropped.clear();
    EXPECT_FALSE(loadVspFile(path, entries, &dropped));
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_NE(dropped[0].find("FIFO"), std::string::npos) << dropped[0];
    EXPECT_FALSE(saveVspFile(path, entries, {}).ok());
}

// A save stores the ports this program changed and keeps, for the others,
// what the file holds by then.
TEST(VspFile, ASaveMergesTheChangedPortsIntoWhatTheFileHolds)
{
    PortEntry com5 = connectedClient();
    PortEntry com6 = listeningServer();
    PortEntry com5Idle = com5;
    com5Idle.status = "Idle";
    PortEntry com6Idle = com6;
    com6Idle.status = "Idle";
    PortEntry com7 = com6Idle;
    com7.portName = com7.portName2 = "COM7";
    com7.portId = "2";
    // Ours: a stale COM5, our own change to COM6, and COM7 the file lacks.
    const std::vector<PortEntry> ours { com5Idle, com6Idle, com7 };
    PortEntry disk6 = com6;
    disk6.portId = "9";
    const auto merged = mergeVspEntries(ours, { disk6, com5 }, { "COM6" });
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0], com5); // another program connected it
    EXPECT_EQ(merged[1], com6Idle); // ours
    EXPECT_EQ(merged[2], com7); // only we know it
}

// Eight programs each connect a port of their own at once, from tables read
// before the others saved: the file ends up remembering every connection.
TEST(VspFile, EightProgramsSavingAtOnceRememberEveryConnection)
{
    testing_support::TempDir dir;
    const std::string path = dir.file("vsp.dat");
    std::vector<PortEntry> table;
    for (int port = 0; port < 8; ++port) {
        PortEntry entry = listeningServer();
        entry.portId = std::to_string(port);
        entry.portName = entry.portName2 = "COM" + std::to_string(port + 1);
        entry.status = "Idle";
        table.push_back(entry);
    }
    ASSERT_TRUE(saveVspFile(path, table, {}).ok());
    std::vector<pid_t> children;
    for (int port = 0; port < 8; ++port) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<PortEntry> mine;
            bool ok = loadVspFile(path, mine);
            for (int round = 0; ok && round < 20; ++round) {
                mine[static_cast<std::size_t>(port)].status = round % 2 ? "Connected" : "Idle";
                ok = saveVspFile(path, mine, { mine[static_cast<std::size_t>(port)].portName }).ok();
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile(path, saved));
    ASSERT_EQ(saved.size(), 8u);
    for (const auto& entry : saved)
        EXPECT_EQ(entry.status, "Connected") << entry.portName;
}
