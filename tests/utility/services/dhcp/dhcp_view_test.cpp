#include "platform/event_loop.h"
#include "platform/faults.h"
#include "platform/net.h"
#include "platform/text_file.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/services/dhcp_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace utility::services {
namespace {

using Bytes = std::vector<std::uint8_t>;
// How long to wait for a reply that must not come (a reply over a veth takes
// well under a millisecond).
constexpr std::chrono::milliseconds kSilence { 300 };

Bytes request(std::uint8_t type, std::uint8_t lastMacByte)
{
    Bytes b(300, 0);
    b[0] = 1;
    b[1] = 1;
    b[2] = 6;
    b[28] = 0x02;
    b[33] = lastMacByte;
    b[236] = 99;
    b[237] = 130;
    b[238] = 83;
    b[239] = 99;
    b[240] = 53;
    b[241] = 1;
    b[242] = type;
    b[243] = 255;
    return b;
}

// The server's interface and a client's, joined by a veth pair this test
// creates in its own network namespace.
class DhcpViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!platform::interfaceWithAddress(*platform::parseIpv4("192.0.2.1"))) {
            ASSERT_EQ(std::system("ip link add dsrv type veth peer name dcli && ip addr add 192.0.2.1/24 dev dsrv"
                                  " && ip addr add 192.0.2.2/24 dev dcli && ip link set dsrv up && ip link set dcli up"
                                  // Both ends are local here: let each take datagrams from the other.
                                  " && sysctl -qw net.ipv4.conf.dsrv.accept_local=1 net.ipv4.conf.dcli.accept_local=1"
                                  " net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.dsrv.rp_filter=0"
                                  " net.ipv4.conf.dcli.rp_filter=0"),
                0);
        }
        settings.dhcpStart = *platform::parseIpv4("192.0.2.100");
        settings.dhcpEnd = *platform::parseIpv4("192.0.2.110");
        view.setSystemLogCallback([this](const std::string& line) { systemLog.push_back(line); });
        view.setChangedCallback([this] { ++changes; });
    }
    void TearDown() override { platform::faults::reset(); }

    // A client socket on the client interface at port 68.
    platform::UdpSocket client()
    {
        auto socket = platform::UdpSocket::open();
        EXPECT_TRUE(socket.ok());
        EXPECT_TRUE(socket->bindToDevice("dcli").ok());
        EXPECT_TRUE(socket->setBroadcast(true).ok());
        EXPECT_TRUE(socket->bind(platform::Ipv4 { 0 }, 68).ok());
        return std::move(*socket);
    }

    // Serves the view's socket until the client has a reply (real time: the
    // datagrams cross a real interface).
    std::optional<Bytes> exchange(platform::UdpSocket& socket, const Bytes& out, platform::Ipv4 to = 0xFFFFFFFF,
        std::chrono::milliseconds limit = std::chrono::seconds(2))
    {
        EXPECT_TRUE(socket.sendTo(platform::Endpoint { to, 67 }, out).ok());
        Bytes in(1500);
        platform::Endpoint from;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            loop.processPending();
            if (auto got = socket.receiveFrom(in, from)) {
                EXPECT_EQ(from.port, 67);
                in.resize(*got);
                return in;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return std::nullopt;
    }

    testing_support::TempDir dir;
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    DhcpView view { loop, prompter };
    shell::AppSettings settings;
    std::vector<std::string> systemLog;
    int changes = 0;
};

TEST_F(DhcpViewTest, ServesTheSelectedInterfaceOnly)
{
    dir.write("dhcp.dat", "192.0.2.105$02-00-00-00-00-07$");
    view.firstShown(settings, "192.0.2.1", dir.file("dhcp.dat"));
    EXPECT_TRUE(view.deleteAllEnabled());
    view.toggle();
    ASSERT_TRUE(view.running());
    EXPECT_EQ(view.buttonCaption(), std::string("Stop"));
    EXPECT_FALSE(view.fieldsEnabled());
    EXPECT_EQ(
        systemLog, (std::vector<std::string> { "DHCP server @ 192.0.2.1 is running on UDP port 67 successfully." }));

    auto socket = client();
    const auto offer = exchange(socket, request(1, 0x09));
    ASSERT_TRUE(offer);
    EXPECT_EQ((*offer)[242], 2);
    EXPECT_EQ((*offer)[19], 100);
    EXPECT_EQ(dir.read("dhcp.dat"), "192.0.2.105$02-00-00-00-00-07$") << "an offer alone is not kept";
    const auto ack = exchange(socket, request(3, 0x09));
    ASSERT_TRUE(ack);
    EXPECT_EQ((*ack)[242], 5);
    // Saved at once, not only at exit: a killed server forgets nothing.
    EXPECT_EQ(dir.read("dhcp.dat"), "192.0.2.105$02-00-00-00-00-07$192.0.2.100$02-00-00-00-00-09$");
    // A listed device gets its listed address.
    ASSERT_TRUE(exchange(socket, request(1, 0x07)));
    const auto listed = exchange(socket, request(3, 0x07));
    ASSERT_TRUE(listed);
    EXPECT_EQ((*listed)[19], 105);

    // A request reaching the server through another interface is not answered.
    auto other = platform::UdpSocket::open();
    ASSERT_TRUE(other.ok() && other->bind("127.0.0.1", 0).ok());
    EXPECT_FALSE(exchange(*other, request(1, 0x0A), *platform::parseIpv4("127.0.0.1"), kSilence));

    EXPECT_EQ(view.logText(),
        "DHCP server @ 192.0.2.1 is running on UDP port 67 successfully.\r\n\r\n"
        "Received a DHCP request from device with MAC 02-00-00-00-00-09\r\n"
        "Assigned IP 192.0.2.100 to device with MAC 02-00-00-00-00-09\r\n\r\n"
        "Received a DHCP request from device with MAC 02-00-00-00-00-07\r\n"
        "Assigned IP 192.0.2.105 to device with MAC 02-00-00-00-00-07\r\n\r\n");

    view.toggle();
    EXPECT_FALSE(view.running());
    EXPECT_TRUE(view.fieldsEnabled());
    EXPECT_EQ(systemLog.back(), "DHCP server stoped.");
    EXPECT_FALSE(exchange(socket, request(1, 0x0B), 0xFFFFFFFF, kSilence)) << "stopped: the port is closed";

    EXPECT_TRUE(view.handOver(settings));
    EXPECT_EQ(dir.read("dhcp.dat"), "192.0.2.105$02-00-00-00-00-07$192.0.2.100$02-00-00-00-00-09$");
}

TEST_F(DhcpViewTest, SocketFailureLeavesTheServerStopped)
{
    view.firstShown(settings, "192.0.2.1", dir.file("dhcp.dat"));
    auto blocker = platform::UdpSocket::open();
    ASSERT_TRUE(blocker.ok() && blocker->bind(platform::Ipv4 { 0 }, 67).ok());
    view.toggle();
    EXPECT_FALSE(view.running());
    blocker->close();
    platform::faults::failNth(platform::faults::Op::SetOption, 1);
    view.toggle();
    EXPECT_FALSE(view.running());
    view.firstShown(settings, "203.0.113.1", dir.file("dhcp.dat")); // no interface carries it
    view.toggle();
    EXPECT_FALSE(view.running());
    // Each failure says why.
    EXPECT_EQ(view.logText().substr(0, view.logText().find("Failed", 10)),
        "Failed to create socket!\r\nUDP port 67 of 192.0.2.1: bind: Address already in use (another DHCP server "
        "runs).\r\n");
    // An address no interface carries is not in the range's subnet either.
    EXPECT_NE(view.logText().find("DHCP server not started: The addresses 192.0.2.100 to 192.0.2.110 lie outside the "
                                  "subnet of this server's address 203.0.113.1"),
        std::string::npos);
    EXPECT_TRUE(systemLog.empty());
}

TEST_F(DhcpViewTest, ARangeThatCannotBeServedDoesNotStart)
{
    view.firstShown(settings, "192.0.2.1", dir.file("dhcp.dat"));
    DhcpFields fields = view.fields();
    fields.start = *platform::parseIpv4("192.0.2.110");
    fields.end = *platform::parseIpv4("192.0.2.100");
    ASSERT_TRUE(view.setFields(fields));
    view.toggle();
    EXPECT_FALSE(view.running());
    EXPECT_TRUE(view.fieldsEnabled());
    EXPECT_EQ(view.buttonCaption(), std::string("Start"));
    EXPECT_EQ(view.logText(),
        "DHCP server not started: The start address 192.0.2.110 is above the end address 192.0.2.100.\r\n");
    EXPECT_TRUE(systemLog.empty());
    // Mended, it starts.
    fields.end = *platform::parseIpv4("192.0.2.120");
    ASSERT_TRUE(view.setFields(fields));
    view.toggle();
    EXPECT_TRUE(view.running());
}

TEST_F(DhcpViewTest, FieldsLockWhileRunningAndGoBackToTheSettings)
{
    view.firstShown(settings, "192.0.2.1", dir.file("missing/dhcp.dat"));
    EXPECT_TRUE(view.rows().empty());
    EXPECT_FALSE(view.deleteAllEnabled());
    EXPECT_EQ(view.fields().bootFile, "zv.bin");
    DhcpFields fields = view.fields();
    fields.gateway = 0x0A000001;
    fields.bootFile = std::string(40, 'b');
    EXPECT_TRUE(view.setFields(fields));
    view.toggle();
    fields.gateway = 0x0A000002;
    EXPECT_FALSE(view.setFields(fields));
    view.toggle();

    EXPECT_FALSE(view.handOver(settings)) << "the folder does not exist";
    EXPECT_EQ(prompter.messages(), (std::vector<std::string> { kDhcpSaveFailed }));
    EXPECT_EQ(prompter.count("beep"), 1);
    EXPECT_EQ(settings.dhcpGateway, 0x0A000001u);
    EXPECT_EQ(settings.dhcpBootFile, std::string(32, 'b')) << "the field holds 32 characters";
}

TEST_F(DhcpViewTest, DeleteButtonsFollowTheList)
{
    dir.write("dhcp.dat", "192.0.2.100$02-00-00-00-00-01$192.0.2.101$02-00-00-00-00-02$");
    view.firstShown(settings, "192.0.2.1", dir.file("dhcp.dat"));
    EXPECT_FALSE(view.deleteEnabled());
    view.clickList(5);
    EXPECT_FALSE(view.deleteEnabled());
    view.clickList(0);
    EXPECT_TRUE(view.deleteEnabled());
    view.clickDelete();
    EXPECT_FALSE(view.deleteEnabled());
    EXPECT_TRUE(view.deleteAllEnabled());
    ASSERT_EQ(view.rows().size(), 1u);
    EXPECT_EQ(view.rows()[0].address, "192.0.2.101");
    view.clickList(0);
    view.clickDelete();
    EXPECT_FALSE(view.deleteAllEnabled());

    // A freed entry goes to the next new device.
    view.toggle();
    auto socket = client();
    const auto offer = exchange(socket, request(1, 0x03));
    ASSERT_TRUE(offer);
    EXPECT_EQ((*offer)[19], 100);
    view.clickDeleteAll();
    EXPECT_TRUE(view.rows().empty());
    EXPECT_FALSE(view.deleteAllEnabled());
    EXPECT_GT(changes, 0);
}

} // namespace
} // namespace utility::services

namespace utility::services {
namespace {

// The file is read through a fixed buffer in the original form; a longer one
// (edited by hand, or grown by many devices) must load whole and be saved
// back unchanged, not cut at the buffer's end.
TEST(DhcpMappingFile, LongerThanTheReadBufferLoadsAndSavesWhole)
{
    testing_support::TempDir dir;
    std::string text;
    for (int i = 0; text.size() <= kDhcpFileLimit + 100; ++i) {
        char row[64];
        std::snprintf(row, sizeof row, "10.%d.%d.%d$02-00-00-%.2X-%.2X-%.2X$", i >> 16, (i >> 8) & 255, i & 255,
            i >> 16, (i >> 8) & 255, i & 255);
        text += row;
    }
    dir.write("dhcp.dat", text);
    platform::FakeClock clock;
    platform::VirtualLoop loop(clock);
    testing_support::ScriptedPrompter prompter;
    DhcpView view(loop, prompter);
    view.firstShown(shell::AppSettings {}, "127.0.0.1", dir.file("dhcp.dat"));
    EXPECT_EQ(view.rows().size(), parseDhcpFile(text).size());
    EXPECT_EQ(view.rows().back().mac, parseDhcpFile(text).back().mac);
    // Another program adds a row meanwhile: the save keeps it and every row.
    const std::string added = "192.0.2.9$02-00-00-00-00-09$";
    dir.write("dhcp.dat", text + added);
    shell::AppSettings settings;
    ASSERT_TRUE(view.handOver(settings));
    EXPECT_EQ(dir.read("dhcp.dat"), text + added);
    EXPECT_TRUE(prompter.shown.empty());
}

} // namespace
} // namespace utility::services

namespace utility::services {
namespace {

// A file that is there but cannot be read must not be saved over with a list
// that lacks its rows: it is kept as dhcp.dat.bad first, and where even that
// cannot be done it is left as it is (the save then fails).
TEST(DhcpMappingFile, AFileThatCannotBeReadIsKeptNotSavedOver)
{
    const std::string rows = "192.0.2.105$02-00-00-00-00-07$";
    for (const bool copyBlocked : { false, true }) {
        SCOPED_TRACE(copyBlocked ? "no copy can be made" : "kept as dhcp.dat.bad");
        testing_support::TempDir dir;
        dir.write("dhcp.dat", rows);
        if (copyBlocked) {
            ASSERT_EQ(::mkdir(dir.file("dhcp.dat.bad").c_str(), 0700), 0);
        }
        platform::FakeClock clock;
        platform::VirtualLoop loop(clock);
        testing_support::ScriptedPrompter prompter;
        DhcpView view(loop, prompter);
        platform::faults::failNth(platform::faults::Op::Read, 1);
        view.firstShown(shell::AppSettings {}, "127.0.0.1", dir.file("dhcp.dat"));
        platform::faults::reset();
        EXPECT_TRUE(view.rows().empty());
        EXPECT_NE(view.logText().find("dhcp.dat could not be read"), std::string::npos) << view.logText();
        shell::AppSettings settings;
        if (copyBlocked) {
            EXPECT_FALSE(view.handOver(settings)) << "the save is refused";
            EXPECT_EQ(dir.read("dhcp.dat"), rows);
        } else {
            EXPECT_TRUE(view.handOver(settings));
            EXPECT_EQ(dir.read("dhcp.dat.bad"), rows);
            EXPECT_NE(view.logText().find("kept as " + dir.file("dhcp.dat.bad")), std::string::npos);
        }
    }
}

} // namespace
} // namespace utility::services

namespace utility::services {
namespace {

DhcpMapping row(int i)
{
    char mac[32];
    std::snprintf(mac, sizeof mac, "02-00-00-00-%.2X-%.2X", i >> 8, i & 255);
    return { "192.0.2." + std::to_string(i), mac };
}

// Two programs sharing the folder (two `qelta dhcp` on two interfaces, the
// window beside one) each save their list as a change of the file as it is
// then: neither loses the other's rows, a row one drops stays dropped, and on
// one address the row saved last wins.
TEST(DhcpMappingFile, TwoProgramsSharingTheFileKeepEachOthersRows)
{
    testing_support::TempDir dir;
    const std::string path = dir.file("dhcp.dat");
    dir.write("dhcp.dat", formatDhcpFile({ row(0) }));
    DhcpFileSaver a;
    DhcpFileSaver b;
    a.setBase({ row(0) });
    b.setBase({ row(0) });
    ASSERT_TRUE(a.save(path, { row(0), row(1) }).ok());
    ASSERT_TRUE(b.save(path, { row(0), row(2) }).ok());
    EXPECT_EQ(parseDhcpFile(dir.read("dhcp.dat")), (std::vector { row(0), row(1), row(2) }));
    ASSERT_TRUE(a.save(path, { row(1) }).ok());
    ASSERT_TRUE(b.save(path, { row(0), row(2), row(3) }).ok());
    EXPECT_EQ(parseDhcpFile(dir.read("dhcp.dat")), (std::vector { row(1), row(2), row(3) }))
        << "the row a dropped stays dropped";
    const DhcpMapping moved { row(3).address, "02-00-00-00-00-99" };
    ASSERT_TRUE(a.save(path, { row(1), moved }).ok());
    EXPECT_EQ(parseDhcpFile(dir.read("dhcp.dat")), (std::vector { row(1), row(2), moved }));

    // Four processes at once, each adding its rows one save at a time.
    dir.write("dhcp.dat", "");
    std::vector<pid_t> children;
    for (int child = 0; child < 4; ++child) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            DhcpFileSaver saver;
            std::vector<DhcpMapping> mine;
            for (int i = 0; i < 25; ++i) {
                mine.push_back(row(child * 25 + i + 1));
                if (!saver.save(path, mine).ok())
                    ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto saved = parseDhcpFile(dir.read("dhcp.dat"));
    EXPECT_EQ(saved.size(), 100u);
    for (int i = 1; i <= 100; ++i)
        EXPECT_NE(std::find(saved.begin(), saved.end(), row(i)), saved.end()) << row(i).address;
}

} // namespace
} // namespace utility::services
