#include "utility/vsp/vsp_file.h"

#include <gtest/gtest.h>

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
        Rejected { "LongerThanTheBuffer", lines(2, 2) + std::string(25600, ' '), 0 },
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
