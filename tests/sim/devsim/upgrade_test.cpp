// Firmware upgrades fetched from a real TFTP server (tftpd-hpa's in.tftpd).
#include "platform/child_process.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"
#include "tests/sim/devsim/peer.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>

using namespace sim::devsim;
using namespace std::chrono_literals;
using devsim_test::header;
using devsim_test::ip;
using devsim_test::Peer;

namespace {

constexpr const char* kTftpd = "/usr/sbin/in.tftpd";

std::vector<std::uint8_t> upgradeRequest(const DeviceConfig& device, platform::Ipv4 server, const std::string& file)
{
    auto request = header(opcode::kUpgrade, 164);
    std::copy(device.name.begin(), device.name.end(), request.begin() + 10);
    std::copy(device.mac.begin(), device.mac.end(), request.begin() + 26);
    putUint32(request, 32, server);
    std::copy(file.begin(), file.end(), request.begin() + 36);
    return request;
}

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kTftpd))
            GTEST_SKIP() << kTftpd << " is not installed (tftpd-hpa)";
        startServer();
        SimulatorOptions options;
        options.broadcastPort = 0;
        options.multicastPort = 0;
        options.unicastPort = 0;
        options.rebootTime = 5s;
        options.tftpPort = m_tftpPort;
        m_simulator = std::make_unique<Simulator>(
            m_loop, options, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        m_simulator->addDevice(defaultDevice(0, ip("127.0.0.10")));
        auto started = m_simulator->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
    }

    // in.tftpd on a free port of every address, serving the temporary directory.
    void startServer()
    {
        {
            Peer probe;
            m_tftpPort = probe.socket().localEndpoint().port;
        }
        auto server = platform::ChildProcess::start(
            { kTftpd, "-4", "--foreground", "--address", ":" + std::to_string(m_tftpPort), "--secure", "--user", "root",
                m_files.path() },
            false);
        ASSERT_TRUE(server.ok()) << server.error().message;
        m_server = std::move(*server);
        // Ready once it answers a request for a file that does not exist.
        Peer probe;
        std::vector<std::uint8_t> request { 0, 1 };
        for (char c : std::string("no-such-file"))
            request.push_back(static_cast<std::uint8_t>(c));
        request.insert(request.end(), { 0, 'o', 'c', 't', 'e', 't', 0 });
        for (int attempt = 0; attempt < 50; ++attempt) {
            probe.send({ ip("127.0.0.1"), m_tftpPort }, request);
            if (!probe.collect(m_loop, 1, 100ms).empty())
                return;
        }
        FAIL() << "in.tftpd does not answer on port " << m_tftpPort;
    }

    Device& device() { return m_simulator->device(0); }

    // The transfer runs in real time against the server; the loop's virtual
    // time creeps along so that the client's timeouts still work.
    bool waitForTransfer()
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (device().upgrading() && std::chrono::steady_clock::now() < deadline) {
            m_loop.advance(1ms);
            std::this_thread::sleep_for(1ms);
        }
        m_loop.processPending();
        return !device().upgrading();
    }

    std::string firmwareVersion()
    {
        m_peer.send(device().unicastEndpoint(), header(opcode::kStatusQuery));
        const auto replies = m_peer.collect(m_loop, 1);
        if (replies.size() != 1 || replies[0].bytes.size() < 22)
            return "(no reply)";
        return getText(replies[0].bytes, 10, 12);
    }

    testing_support::TempDir m_files;
    std::uint16_t m_tftpPort = 0;
    platform::ChildProcess m_server;
    platform::FakeClock m_clock;
    platform::VirtualLoop m_loop { m_clock };
    std::unique_ptr<Simulator> m_simulator;
    Peer m_peer;
};

} // namespace

TEST_F(UpgradeTest, FetchesTheFileBlockByBlockAndRestartsWithItsVersion)
{
    // 1024 bytes end with an empty block; 1500 bytes with a short one.
    for (std::size_t size : { std::size_t { 1024 }, std::size_t { 1500 } }) {
        SCOPED_TRACE(size);
        const std::string version = "V2." + std::to_string(size);
        std::string image = version + "\n";
        for (std::size_t i = image.size(); i < size; ++i)
            image.push_back(static_cast<char>((i * 7 + size) & 0xFF));
        const std::string name = "fw-" + std::to_string(size) + ".bin";
        m_files.write(name, image);
        ASSERT_EQ(firmwareVersion(), "1.0.0");

        m_peer.send(device().unicastEndpoint(), upgradeRequest(device().settings(), ip("127.0.0.1"), name));
        m_loop.processPending();
        ASSERT_TRUE(device().upgrading() || device().state() == Device::State::Rebooting);
        ASSERT_TRUE(waitForTransfer());
        EXPECT_EQ(std::string(device().firmwareImage().begin(), device().firmwareImage().end()), image);
        EXPECT_EQ(device().state(), Device::State::Rebooting);
        m_loop.advance(5s);
        EXPECT_EQ(firmwareVersion(), version);

        // Back to the old firmware for the next round.
        device().status().firmwareVersion = "1.0.0";
    }
}

TEST_F(UpgradeTest, AMissingFileLeavesTheOldFirmwareRunning)
{
    m_peer.send(device().unicastEndpoint(), upgradeRequest(device().settings(), ip("127.0.0.1"), "absent.bin"));
    m_loop.processPending();
    ASSERT_TRUE(waitForTransfer());
    EXPECT_EQ(device().state(), Device::State::Running);
    EXPECT_EQ(device().restarts(), 0);
    EXPECT_EQ(firmwareVersion(), "1.0.0");
}

TEST_F(UpgradeTest, AnEmptyFileLeavesTheOldFirmwareRunning)
{
    m_files.write("empty.bin", "");
    m_peer.send(device().unicastEndpoint(), upgradeRequest(device().settings(), ip("127.0.0.1"), "empty.bin"));
    m_loop.processPending();
    ASSERT_TRUE(waitForTransfer());
    EXPECT_EQ(device().state(), Device::State::Running);
    EXPECT_EQ(device().restarts(), 0);
    EXPECT_EQ(firmwareVersion(), "1.0.0");
}

TEST_F(UpgradeTest, AnUpgradeForAnotherDeviceIsIgnored)
{
    DeviceConfig other = device().settings();
    other.name = "DS-0009";
    m_files.write("fw.bin", "V3\n");
    m_peer.send(device().unicastEndpoint(), upgradeRequest(other, ip("127.0.0.1"), "fw.bin"));
    m_loop.processPending();
    EXPECT_FALSE(device().upgrading());
    EXPECT_EQ(device().state(), Device::State::Running);
}
