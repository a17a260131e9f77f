#include "driver/host/network.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace driver::host;
using namespace std::chrono_literals;

namespace {

// Whether a thread of this process sleeps (in the kernel: on a lock, say).
bool threadAsleep(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

} // namespace

// The network thread pauses the reading of a connection whose owner has no
// room; the owner, having made room, resumes it from its own thread. A resume
// that lands between the pause's decision and its change of the watch must not
// be undone by that change: the connection would never be read again. The
// resume is run exactly there (from the watch change's hook) and is waited
// for until it is done or sleeps waiting for the pause to finish.
TEST(NetEndpointPause, AResumeInTheMiddleOfAPauseIsNeverUndone)
{
    NetService service(platform::RealClock::instance());
    std::shared_ptr<NetEndpoint> endpoint;
    std::atomic<std::size_t> room { 0 };
    std::optional<std::thread> resumer;
    std::atomic<bool> hooked { false };
    service.setModifyHook([&](int, unsigned, unsigned remove) {
        if (!(remove & kNetReadable) || hooked.exchange(true))
            return;
        room = 4096;
        std::atomic<pid_t> tid { 0 };
        std::atomic<bool> done { false };
        resumer.emplace([&] {
            tid = ::gettid();
            endpoint->resumeReceive();
            done = true;
        });
        while (!done && !(tid != 0 && threadAsleep(tid)))
            std::this_thread::yield();
    });

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::uint8_t> received;
    std::vector<std::uint8_t> buffer(4096);
    NetHandlers handlers;
    handlers.receive = [&](std::span<const std::uint8_t> bytes) {
        std::lock_guard lock(mutex);
        received.insert(received.end(), bytes.begin(), bytes.end());
        arrived.notify_all();
    };
    handlers.receiveRoom = [&] { return room.load(); };
    ASSERT_EQ(NetEndpoint::open(service, NetProtocol::Tcp, NetEndpoint::Role::Client, { 0x7F000001, 0 }, buffer,
                  std::move(handlers), endpoint),
        common::kStatusSuccess);
    ASSERT_EQ(endpoint->connect({ 0x7F000001, ntohs(address.sin_port) }, 10s), common::kStatusSuccess);
    const int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    const std::vector<std::uint8_t> sent(100, 0x5A);
    ASSERT_EQ(::send(peer, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
    {
        // The bound only ends a failing run: a sound one is read at once.
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, 60s, [&] { return received.size() >= sent.size(); });
        EXPECT_EQ(received, sent) << "the connection is no longer read";
    }
    EXPECT_TRUE(hooked.load()) << "the reading was never paused";
    if (resumer)
        resumer->join();
    endpoint->close();
    ::close(peer);
    ::close(listener);
}
