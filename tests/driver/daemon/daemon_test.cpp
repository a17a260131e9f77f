// vorpild started as a program and driven through devcon and the control
// client, as the utility and scripts do.
#include "common/control_client.h"
#include "common/vorpil_ioctl.h"
#include "common/win32_error.h"
#include "platform/child_process.h"
#include "platform/seqpacket.h"
#include "platform/serial_port.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

using namespace common;
using namespace std::chrono_literals;

namespace {

const std::string kSerialComm = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

using testing_support::eventually;

struct ToolRun {
    int code = -1;
    std::vector<std::string> lines;
};

class VorpildTest : public ::testing::Test {
protected:
    std::string runtimeDir() const { return m_dir.path() + "/run"; }
    std::string link(const std::string& name) const { return runtimeDir() + "/dev/" + name; }

    void startDaemon()
    {
        auto child
            = platform::ChildProcess::start({ testing_support::programPath("vorpild"), "--foreground", "--runtime-dir",
                                                runtimeDir(), "--state-dir", m_dir.path() + "/state" },
                false);
        ASSERT_TRUE(child.ok()) << child.error().message;
        m_daemon = std::move(*child);
        ASSERT_TRUE(eventually([&] { return ntSuccess(ControlClient::connect(runtimeDir(), m_client)); }));
    }

    void stopDaemon()
    {
        m_client.reset();
        ASSERT_TRUE(m_daemon.terminate());
        EXPECT_EQ(m_daemon.wait(std::chrono::seconds(20)).value_or(-1), 0);
    }

    ToolRun devcon(std::vector<std::string> args)
    {
        std::vector<std::string> argv { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtimeDir(),
            testing_support::programPath("devcon") };
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun run;
        auto child = platform::ChildProcess::start(argv, true);
        if (!child.ok())
            return run;
        for (;;) {
            auto line = child->readLine(std::chrono::seconds(20));
            if (!line.ok())
                break;
            run.lines.push_back(*line);
        }
        run.code = child->wait(std::chrono::seconds(20)).value_or(-1);
        return run;
    }

    std::string serialCommValue(const std::string& device)
    {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!ntSuccess(m_client->regQueryValue(kSerialComm, device, type, data)))
            return {};
        std::string text;
        for (std::size_t i = 0; i + 1 < data.size() && data[i]; i += 2)
            text += static_cast<char>(data[i]);
        return text;
    }

    testing_support::TempDir m_dir;
    platform::ChildProcess m_daemon;
    std::unique_ptr<ControlClient> m_client;
};

} // namespace

TEST_F(VorpildTest, InstallShowsRemovesAndSurvivesARestart)
{
    startDaemon();
    const ToolRun installed = devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" });
    ASSERT_EQ(installed.code, 0);
    ASSERT_EQ(installed.lines, std::vector<std::string> { "ROOT\\PORTS\\0000" });

    // The name leads to a terminal.
    std::error_code error;
    ASSERT_TRUE(std::filesystem::is_symlink(link("COM5"), error));
    EXPECT_EQ(std::filesystem::read_symlink(link("COM5"), error).string().rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(serialCommValue("\\Device\\Serial11"), "COM5");
    std::vector<std::uint8_t> usage;
    ASSERT_EQ(m_client->comDbUsage(256, usage), kStatusSuccess);
    EXPECT_EQ(usage.at(4), 1);
    std::vector<std::string> interfaces;
    ASSERT_EQ(m_client->enumerateInterfaces("{86E0D1E0-8089-11D0-9CE4-08003E301F73}", interfaces), kStatusSuccess);
    EXPECT_EQ(interfaces, std::vector<std::string> { "\\\\?\\root#ports#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}" });

    const ToolRun status = devcon({ "status" });
    EXPECT_EQ(status.code, 0);
    ASSERT_EQ(status.lines.size(), 2u);
    EXPECT_EQ(status.lines[0].rfind("ROOT\\PORTS\\0000 ZORV\\Rure COM5 started link=0 remote=tcp:192.168.0.2:5000 "
                                    "client framed path=",
                  0),
        0u)
        << status.lines[0];
    EXPECT_EQ(status.lines[1], "terminal COM5 program=no to-port=0 to-program=0 not-sent=0 frontend=pty");

    const ToolRun set
        = devcon({ "set", "COM5", "--remote", "127.0.0.1:4001", "--udp", "--server", "--raw", "--max-packet", "1472" });
    EXPECT_EQ(set.code, 0);
    EXPECT_EQ(set.lines, std::vector<std::string> { "COM5 IOCTL_SET_REMOTE_INFO status=0x00000000" });
    const ToolRun tooLong = devcon(
        { "set", "COM5", "--remote", "127.0.0.1:4001", "--tcp", "--client", "--framed", "--max-packet", "1461" });
    EXPECT_EQ(tooLong.code, 1);
    EXPECT_EQ(tooLong.lines, std::vector<std::string> { "COM5 IOCTL_SET_REMOTE_INFO status=0xC000000D error=87" });
    const ToolRun idle = devcon({ "disconnect", "COM5" });
    EXPECT_EQ(idle.code, 1);
    EXPECT_EQ(idle.lines, std::vector<std::string> { "COM5 IOCTL_DISCONNECTION status=0xC0000184 error=22" });

    // The registry (node, PortName, settings, COM database) outlives the daemon.
    stopDaemon();
    EXPECT_FALSE(std::filesystem::exists(link("COM5"), error));
    startDaemon();
    ASSERT_TRUE(eventually([&] { return std::filesystem::is_symlink(link("COM5"), error); }));
    const ToolRun again = devcon({ "status" });
    ASSERT_EQ(again.lines.size(), 2u) << "the node and its terminal";
    EXPECT_EQ(again.lines[0].rfind(
                  "ROOT\\PORTS\\0000 ZORV\\Rure COM5 started link=0 remote=udp:127.0.0.1:4001 server raw", 0),
        0u)
        << again.lines[0];

    const ToolRun removed = devcon({ "remove", "@root\\ports\\0000" });
    EXPECT_EQ(removed.code, 0);
    EXPECT_FALSE(std::filesystem::exists(link("COM5"), error));
    EXPECT_EQ(serialCommValue("\\Device\\Serial11"), "");
    ASSERT_EQ(m_client->comDbUsage(256, usage), kStatusSuccess);
    EXPECT_EQ(usage.at(4), 0);
    EXPECT_TRUE(devcon({ "status" }).lines.empty());
    EXPECT_EQ(devcon({ "remove", "@root\\ports\\0000" }).code, 1);

    stopDaemon();
    startDaemon();
    EXPECT_TRUE(devcon({ "status" }).lines.empty());
}

TEST_F(VorpildTest, ANameInUseOrPastCom256IsRefusedWithItsReason)
{
    startDaemon();
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
    struct Case {
        const char* name;
        const char* reason;
    };
    // devcon's reason goes to its standard error.
    auto install = [&](const std::string& name) {
        ToolRun run;
        auto child = platform::ChildProcess::start(
            { "/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtimeDir(),
                testing_support::programPath("devcon"), "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", name },
            true);
        if (!child.ok())
            return run;
        for (auto line = child->readLine(std::chrono::seconds(20)); line.ok();
             line = child->readLine(std::chrono::seconds(20)))
            run.lines.push_back(*line);
        run.code = child->wait(std::chrono::seconds(20)).value_or(-1);
        return run;
    };
    for (const Case& c : { Case { "COM5", "COM5 is in use by ROOT\\PORTS\\0000" },
             Case { "com5", "com5 is in use by ROOT\\PORTS\\0000" },
             Case { "COM257", "COM257 is out of range: COM numbers go from 1 to 256" },
             Case { "COM4097", "COM4097 is out of range" } }) {
        const ToolRun refused = install(c.name);
        EXPECT_EQ(refused.code, 1) << c.name;
        std::string text;
        for (const auto& line : refused.lines)
            text += line + "\n";
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    }
    std::size_t nodes = 0;
    for (const auto& line : devcon({ "status" }).lines)
        nodes += line.rfind("ROOT\\PORTS\\", 0) == 0 ? 1 : 0;
    EXPECT_EQ(nodes, 1u) << "no second node";
    EXPECT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM256" }).code, 0);
}

TEST_F(VorpildTest, ScriptsGetUsageAndInfErrors)
{
    startDaemon();
    EXPECT_EQ(devcon({ "install", m_dir.path() + "/missing.inf", "ZORV\\Rure", "COM5" }).code, 4);
    EXPECT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Other", "COM5" }).code, 4);
    EXPECT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "LPT1" }).code, 2);
    EXPECT_EQ(devcon({ "set", "COM5", "--remote", "127.0.0.1:4001", "--tcp" }).code, 2);
    EXPECT_EQ(devcon({ "frobnicate" }).code, 2);
    const ToolRun absent = devcon({ "connect", "COM9" });
    EXPECT_EQ(absent.code, 1);
    EXPECT_EQ(absent.lines, std::vector<std::string> { "COM9 open status=0xC0000034 error=2" });
    EXPECT_TRUE(devcon({ "status" }).lines.empty());
    stopDaemon();
    EXPECT_EQ(devcon({ "status" }).code, 3);
}

TEST_F(VorpildTest, BadClientsLeaveTheDaemonServing)
{
    startDaemon();
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);

    // Malformed datagrams are answered with a failure, and the session goes on.
    const std::vector<std::vector<std::uint8_t>> malformed {
        { 1, 2, 3 },
        { 'X', 'R', 'P', 'Q', 1, 0, 7, 0, 0, 0, 0, 0 }, // magic
        { 'V', 'R', 'P', 'Q', 1, 0, 7, 0, 9, 0, 0, 0 }, // length beyond the datagram
        { 'V', 'R', 'P', 'Q', 2, 0, 7, 0, 0, 0, 0, 0 }, // version
        { 'V', 'R', 'P', 'Q', 1, 0, 99, 0, 0, 0, 0, 0 }, // operation
        { 'V', 'R', 'P', 'Q', 1, 0, 2, 0, 2, 0, 0, 0, 50, 0 }, // text longer than the payload
        { 'V', 'R', 'P', 'Q', 1, 0, 3, 0, 4, 0, 0, 0, 1, 0, 0, 0 }, // device control cut short
        std::vector<std::uint8_t>(kMaxControlMessage + 100, 'V'),
    };
    for (const auto& datagram : malformed) {
        std::vector<std::uint8_t> answer;
        ASSERT_EQ(m_client->exchange(datagram, answer), kStatusSuccess);
        ControlResponse response;
        ASSERT_TRUE(decodeResponse(answer, response));
        EXPECT_FALSE(ntSuccess(response.status)) << datagram.size();
    }
    std::uint32_t handle = 99;
    ControlReply reply;
    EXPECT_EQ(m_client->deviceIoControl(handle, kIoctlGetDosName, {}, 12, reply), kStatusInvalidHandle);

    // One client holds the port: another gets what the utility shows as
    // "Please stop terminal program first".
    std::unique_ptr<ControlClient> holder;
    ASSERT_EQ(ControlClient::connect(runtimeDir(), holder), kStatusSuccess);
    ASSERT_EQ(holder->open("COM5", handle), kStatusSuccess);
    std::uint32_t second = 0;
    const NtStatus busy = m_client->open("\\\\?\\root#ports#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}", second);
    EXPECT_EQ(busy, kStatusInvalidDeviceState);
    EXPECT_EQ(win32ErrorFromStatus(busy), kErrorBadCommand);

    // The holder goes away without closing: its handle goes with it.
    holder.reset();
    ASSERT_TRUE(eventually([&] { return ntSuccess(m_client->open("COM5", second)); }));
    ASSERT_EQ(m_client->deviceIoControl(second, kIoctlGetDosName, {}, 12, reply), kStatusSuccess);
    EXPECT_EQ(decodeDosName(reply.output), "COM5");
    EXPECT_EQ(m_client->close(second), kStatusSuccess);

    // A client that dies before its answer arrives: the open it asked for is undone.
    {
        auto raw = platform::SeqPacketSocket::connect(ControlClient::socketPath(runtimeDir()));
        ASSERT_TRUE(raw.ok());
        ControlWriter path;
        path.text("COM5");
        ASSERT_TRUE((*raw)->send(encodeRequest(ControlOp::Open, path.payload())).ok());
    }
    EXPECT_TRUE(eventually([&] {
        std::uint32_t probe = 0;
        const bool opened = ntSuccess(m_client->open("COM5", probe));
        if (opened)
            (void)m_client->close(probe);
        return opened;
    }));

    // A terminal program holding the port's pty holds the port.
    {
        auto terminal = platform::openSerialPort(link("COM5"), platform::RealClock::instance());
        ASSERT_TRUE(terminal.ok()) << terminal.error().message;
        EXPECT_TRUE(eventually([&] {
            std::uint32_t probe = 0;
            const NtStatus status = m_client->open("COM5", probe);
            if (ntSuccess(status))
                (void)m_client->close(probe);
            return status == kStatusInvalidDeviceState;
        }));
        const ToolRun held = devcon({ "remove", "@root\\ports\\0000" });
        EXPECT_EQ(held.code, 1);
        EXPECT_EQ(held.lines, std::vector<std::string> { "@root\\ports\\0000 remove status=0x80000011 error=170" });
    }
    EXPECT_TRUE(eventually([&] {
        std::uint32_t probe = 0;
        const bool opened = ntSuccess(m_client->open("COM5", probe));
        if (opened)
            (void)m_client->close(probe);
        return opened;
    }));
    std::vector<NodeInfo> nodes;
    ASSERT_EQ(m_client->listNodes(nodes), kStatusSuccess);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].portName, "COM5");
    stopDaemon();
}

TEST_F(VorpildTest, PortStaysHeldUntilTheLastProgramClosesTheTerminal)
{
    startDaemon();
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
    auto heldByTerminal = [&] {
        std::uint32_t probe = 0;
        const NtStatus status = m_client->open("COM5", probe);
        if (ntSuccess(status))
            (void)m_client->close(probe);
        return status == kStatusInvalidDeviceState;
    };
    // Two programs open the terminal back to back (their notifications may
    // arrive merged into one); the first to close must not free the port.
    auto holdTerminal = [&] {
        return platform::ChildProcess::start({ "sh", "-c", "exec 3<>\"$0\"; exec sleep 60", link("COM5") }, false);
    };
    auto first = holdTerminal();
    auto second = holdTerminal();
    ASSERT_TRUE(first.ok() && second.ok());
    ASSERT_TRUE(eventually(heldByTerminal));
    first->terminate();
    first->wait(5s);
    std::this_thread::sleep_for(300ms); // room for a wrong release to show
    EXPECT_TRUE(heldByTerminal());
    second->terminate();
    second->wait(5s);
    EXPECT_TRUE(eventually([&] { return !heldByTerminal(); }));
    stopDaemon();
}
