// The manager against a real vorpild: the fixture its tests share.
#pragma once

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/vsp/vsp_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <poll.h>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace vsp_manager_testing {

class Dialogs final : public VspDialogs {
public:
    std::optional<int> comPortConfiguration(const std::vector<std::string>& texts, int preselected) override
    {
        shownTexts = texts;
        shownPreselected = preselected;
        ++shown;
        if (answer)
            return answer;
        return preselected;
    }
    // The protocol choice, answered with `wireAnswer` when set.
    std::optional<ComPortChoice> comPortChoice(
        const std::vector<std::string>& texts, int preselected, WireProtocol wire) override
    {
        shownWire = wire;
        auto choice = VspDialogs::comPortChoice(texts, preselected, wire);
        if (choice && wireAnswer)
            choice->wireProtocol = *wireAnswer;
        return choice;
    }
    std::optional<int> answer;
    std::optional<WireProtocol> wireAnswer;
    std::optional<WireProtocol> shownWire;
    std::vector<std::string> shownTexts;
    int shownPreselected = -1;
    int shown = 0;
};

class Neighbours final : public VspNeighbours {
public:
    bool portItemContains(const std::string& text) override
    {
        return std::any_of(
            items.begin(), items.end(), [&](const auto& item) { return item.find(text) != std::string::npos; });
    }
    void setPortItemText(const std::string&, const std::string& text) override { items.push_back(text); }
    std::optional<bool> deviceUdpFlag(const std::string& address) override
    {
        if (address == udpDevice)
            return true;
        return std::nullopt;
    }
    void sendConnectNotice(const std::string& address, std::uint16_t localPort) override
    {
        notices.emplace_back(address, localPort);
    }
    std::vector<std::string> items;
    std::string udpDevice;
    std::vector<std::pair<std::string, std::uint16_t>> notices;
};

inline std::string stringValue(const std::vector<std::uint8_t>& data) { return fromRegString(data); }

inline bool readable(int fd, std::chrono::milliseconds limit)
{
    pollfd entry { fd, POLLIN, 0 };
    return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
}

// The first `count` bytes the port sends over the connection it made to
// `listener` (fewer when the port goes quiet for two seconds). The connection
// stays open in `peer`: a dropped one would be made again.
inline std::vector<std::uint8_t> firstBytes(
    platform::TcpListener& listener, std::size_t count, std::optional<platform::TcpSocket>& peer)
{
    std::vector<std::uint8_t> got;
    if (!readable(listener.fd(), 5s))
        return got;
    platform::Endpoint from;
    auto accepted = listener.accept(from);
    if (!accepted.ok())
        return got;
    peer.emplace(std::move(*accepted));
    while (got.size() < count && readable(peer->fd(), 2s)) {
        std::uint8_t buffer[64];
        const auto read = peer->receive(std::span(buffer, std::min(sizeof buffer, count - got.size())));
        if (!read.ok() || *read == 0)
            break;
        got.insert(got.end(), buffer, buffer + *read);
    }
    return got;
}

class VspManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(daemon.ok());
        work = std::make_unique<testing_support::ScopedWorkingDirectory>(daemon.dir());
    }

    // The port's "WireProtocol" value; nothing when it has none.
    std::optional<std::uint32_t> wireValue(const std::string& instance)
    {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!common::ntSuccess(daemon.client().regQueryValue(
                std::string(kPortsKey) + instance + "\\Device Parameters", "WireProtocol", type, data))
            || type != kRegDword || data.size() != 4)
            return std::nullopt;
        return data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    }

    std::string registryText(const std::string& key, const std::string& name)
    {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!common::ntSuccess(daemon.client().regQueryValue(key, name, type, data)))
            return "(none)";
        return fromRegString(data);
    }

    void writeDat(const std::string& text)
    {
        std::ofstream out("vsp.dat", std::ios::binary);
        out << text;
    }

    std::unique_ptr<VspManager> manager(bool watch = false, std::optional<std::uint32_t> mtu = 1500)
    {
        VspOptions options;
        options.runtimeDir = daemon.runtime();
        options.infName = PACKAGING_DIR "/VORPIL.inf";
        options.devcon = testing_support::programPath("devcon");
        options.bindAddress = "127.0.0.1";
        options.watch = watch;
        options.mtu = mtu;
        auto made = std::make_unique<VspManager>(loop, prompter, dialogs, options);
        made->setNeighbours(&neighbours);
        made->start();
        loop.advance(1s);
        return made;
    }

    // A client port (row `row`) set to a TCP listener on loopback and connected.
    void connectToListener(VspManager& vsp, std::size_t row, const std::string& address)
    {
        auto listening = platform::TcpListener::listen(*platform::parseIpv4(address), 0);
        ASSERT_TRUE(listening.ok());
        listener = std::make_unique<platform::TcpListener>(std::move(*listening));
        vsp.selectRow(row);
        ASSERT_TRUE(vsp.clickSetting());
        vsp.chooseClient();
        vsp.controls().address = address;
        vsp.controls().remoteHostPort = std::to_string(listener->localEndpoint().port);
        ASSERT_TRUE(vsp.clickSetting());
        ASSERT_TRUE(vsp.clickConnect()) << testing::PrintToString(prompter.messages());
        ASSERT_EQ(vsp.rows()[row].status, "Connected");
    }

    std::uint32_t linkState(const std::string& comName)
    {
        std::vector<common::NodeInfo> nodes;
        EXPECT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
        for (const auto& node : nodes)
            if (node.portName == comName)
                return node.linkState;
        return 99;
    }

    vsp_testing::Daemon daemon;
    std::unique_ptr<testing_support::ScopedWorkingDirectory> work;
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    Dialogs dialogs;
    Neighbours neighbours;
    std::unique_ptr<platform::TcpListener> listener;
};

// A device server on loopback answering the watch's queries as told.
class WatchedDevice {
public:
    WatchedDevice(platform::EventLoop& loop, const std::string& address)
        : m_loop(loop)
    {
        auto socket = platform::UdpSocket::open();
        if (!socket.ok() || !socket->bind(address, kQueryPort).ok())
            return;
        m_socket = std::make_unique<platform::UdpSocket>(std::move(*socket));
        m_address = *platform::parseIpv4(address);
        loop.watchFd(m_socket->fd(), platform::kIoRead, [this](unsigned) { receive(); });
    }
    ~WatchedDevice()
    {
        if (m_socket)
            m_loop.unwatchFd(m_socket->fd());
    }
    bool ok() const { return m_socket != nullptr; }
    int queries = 0;
    // Unset: silent.
    std::optional<std::uint8_t> connectionState;
    // The data port the device's answers name (the port the row connected to).
    std::uint16_t dataPort = 0;

private:
    void receive()
    {
        std::uint8_t buffer[64];
        platform::Endpoint from;
        auto got = m_socket->receiveFrom(buffer, from);
        if (!got.ok() || *got != 9 || std::string(reinterpret_cast<char*>(buffer), 8) != "ZORVVROZ" || buffer[8] != 0)
            return;
        EXPECT_EQ(from.port, kWatchPort);
        ++queries;
        if (!connectionState)
            return;
        std::vector<std::uint8_t> reply(100, 0);
        std::copy_n("ZORVVROZ", 8, reply.begin());
        reply[8] = 1;
        reply[34] = static_cast<std::uint8_t>(m_address >> 24);
        reply[35] = static_cast<std::uint8_t>(m_address >> 16);
        reply[36] = static_cast<std::uint8_t>(m_address >> 8);
        reply[37] = static_cast<std::uint8_t>(m_address);
        reply[42] = static_cast<std::uint8_t>(dataPort >> 8);
        reply[43] = static_cast<std::uint8_t>(dataPort);
        reply[69] = *connectionState;
        (void)m_socket->sendTo(from, reply);
    }
    platform::EventLoop& m_loop;
    std::unique_ptr<platform::UdpSocket> m_socket;
    platform::Ipv4 m_address = 0;
};

// One watch round: the query 5 s after the previous evaluation (10 ms), the
// evaluation 5 s after the query.
constexpr auto kRound = 5010ms;

} // namespace vsp_manager_testing

using namespace vsp_manager_testing;
