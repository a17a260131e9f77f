// The control socket's event loop in virtual time: idle sessions, clients
// beyond the limits, the descriptor limit.
#include "common/control_client.h"
#include "common/win32_error.h"
#include "driver/daemon/control_server.h"
#include "driver/vorpil_driver.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

using namespace common;
using namespace std::chrono_literals;
using driver::daemon::ControlServer;

namespace {

class ControlServerTest : public ::testing::Test {
protected:
    void start(ControlServer::Limits limits)
    {
        m_host.registerDriver(driver::kHardwareId, m_driver);
        ASSERT_TRUE(ntSuccess(m_host.start()));
        auto listener = platform::SeqPacketListener::listen(m_dir.file("control"));
        ASSERT_TRUE(listener.ok()) << listener.error().message;
        m_listener = std::move(*listener);
        m_server = std::make_unique<ControlServer>(m_service, m_loop, *m_listener, limits);
        m_server->start();
    }
    void TearDown() override
    {
        if (m_server)
            m_server->stop();
    }

    // Runs `call` on another thread while this one turns the loop, without
    // moving virtual time.
    template <typename Call> auto served(Call call)
    {
        auto result = std::async(std::launch::async, call);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (result.wait_for(0s) != std::future_status::ready && std::chrono::steady_clock::now() < deadline) {
            m_loop.processPending();
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(result.wait_for(0s), std::future_status::ready) << "no answer";
        return result.get();
    }
    std::unique_ptr<ControlClient> client()
    {
        std::unique_ptr<ControlClient> connected;
        EXPECT_EQ(ControlClient::connect(m_dir.path(), connected), kStatusSuccess);
        return connected;
    }
    NtStatus ask(ControlClient& client)
    {
        return served([&] {
            std::vector<std::string> lines;
            return client.terminals(lines);
        });
    }
    // Moves virtual time on, the sweeps falling due on the way.
    void advance(platform::Duration duration)
    {
        m_loop.advance(duration);
        m_loop.processPending();
    }

    testing_support::TempDir m_dir;
    driver::VorpilDriver m_driver;
    driver::host::Host m_host;
    driver::daemon::ControlService m_service { m_host, nullptr };
    platform::FakeClock m_clock;
    platform::VirtualLoop m_loop { m_clock };
    std::unique_ptr<platform::SeqPacketListener> m_listener;
    std::unique_ptr<ControlServer> m_server;
};

} // namespace

TEST_F(ControlServerTest, IdleSessionsAreClosedAndAClientBeyondTheLimitIsAnsweredBusyAtOnce)
{
    ControlServer::Limits limits;
    limits.maxSessions = 8;
    start(limits);
    std::vector<std::unique_ptr<ControlClient>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(client());
        EXPECT_EQ(ask(*idle.back()), kStatusSuccess) << i;
    }
    EXPECT_EQ(m_server->sessionCount(), 8u);
    auto extra = client();
    EXPECT_EQ(ask(*extra), kStatusDeviceBusy) << "answered, not left waiting";

    advance(20s);
    EXPECT_EQ(ask(*idle[0]), kStatusSuccess) << "a session that asks stays";
    advance(15s);
    EXPECT_EQ(m_server->sessionCount(), 1u) << "the seven idle for 35 s are closed";

    // Room again: a new client is served, and an idle one that asks again
    // connects anew by itself.
    EXPECT_EQ(ask(*client()), kStatusSuccess);
    EXPECT_EQ(ask(*idle[5]), kStatusSuccess);
}

TEST_F(ControlServerTest, ASessionHoldingAHandleIsKeptLongerButNotForEver)
{
    start(ControlServer::Limits {});
    auto holder = client();
    std::string instance;
    ASSERT_EQ(served([&] { return holder->installNode(std::string(driver::kHardwareId), "COM5", instance); }),
        kStatusSuccess);
    std::uint32_t handle = 0;
    ASSERT_EQ(served([&] { return holder->open("COM5", handle); }), kStatusSuccess);
    advance(5min);
    EXPECT_EQ(m_server->sessionCount(), 1u);
    advance(6min);
    EXPECT_EQ(m_server->sessionCount(), 0u);
    // Its handle was closed with it: the port opens again.
    auto next = client();
    EXPECT_EQ(served([&] { return next->open("COM5", handle); }), kStatusSuccess);
    EXPECT_EQ(served([&] { return holder->open("COM5", handle); }), kStatusPipeDisconnected)
        << "a client that held a handle does not silently start a new session";
}

TEST_F(ControlServerTest, AClientArrivingAtTheDescriptorLimitIsAnsweredBusy)
{
    start(ControlServer::Limits {});
    auto waiting = client();
    ASSERT_NE(waiting, nullptr);
    // No descriptor left to accept the client with, but the spare one.
    rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = previous;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const NtStatus answer = ask(*waiting);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &previous), 0);
    EXPECT_EQ(answer, kStatusDeviceBusy);
    EXPECT_EQ(m_server->sessionCount(), 0u);
    EXPECT_EQ(ask(*client()), kStatusSuccess) << "served again once descriptors are free";
}
