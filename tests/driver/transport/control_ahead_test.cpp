// A control request made while a write is held by a device server that reads
// nothing goes ahead of the write's bytes not sent yet, between two whole
// units of the stream (framed packets, doubled 0xFF bytes), and the write's
// bytes all arrive in their order around it.
#include "common/serial_ioctl.h"
#include "driver/socket_transport.h"
#include "platform/clock.h"
#include "tests/driver/port_harness.h"
#include "tests/driver/transport/loopback_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes comPort(std::initializer_list<std::uint8_t> codeAndValue)
{
    Bytes out { IAC, SB, 44 };
    out.insert(out.end(), codeAndValue.begin(), codeAndValue.end());
    out.insert(out.end(), { IAC, SE });
    return out;
}

// Whether a thread of this process sleeps (waits in the kernel).
bool threadAsleep(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// Finds the port's end of the connection whose device end is `peerPort` and
// gives it a small send buffer, so that what the sockets hold between the two
// ends is far less than one send of a write (the kernel would grow it to
// megabytes on loopback).
bool shrinkPortSendBuffer(std::uint16_t peerPort)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (const std::exception&) {
            continue;
        }
        sockaddr_in local {};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET
            || ntohs(local.sin_port) != peerPort)
            continue;
        sockaddr_in remote {};
        length = sizeof remote;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) == 0) {
            const int size = 4096;
            return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
        }
    }
    return false;
}

// The stream as the device server takes it apart: the data bytes, and the
// control units with how many data bytes came before each.
struct Parsed {
    Bytes data;
    std::vector<std::pair<Bytes, std::size_t>> controls;
    bool wellFormed = true;
};

Parsed parseFramed(const Bytes& wire)
{
    Parsed out;
    for (std::size_t at = 0; at < wire.size();) {
        if (at + 3 > wire.size()) {
            out.wellFormed = false;
            break;
        }
        const std::size_t length = std::size_t { wire[at + 1] } << 8 | wire[at + 2];
        if (at + 3 + length > wire.size() || (wire[at] != 0x32 && wire[at] != 0x33)) {
            out.wellFormed = false;
            break;
        }
        const auto body = wire.begin() + static_cast<std::ptrdiff_t>(at + 3);
        if (wire[at] == 0x32)
            out.data.insert(out.data.end(), body, body + static_cast<std::ptrdiff_t>(length));
        else
            out.controls.emplace_back(Bytes(body, body + static_cast<std::ptrdiff_t>(length)), out.data.size());
        at += 3 + length;
    }
    return out;
}

Parsed parseTelnet(const Bytes& wire)
{
    Parsed out;
    for (std::size_t at = 0; at < wire.size();) {
        if (wire[at] != IAC) {
            out.data.push_back(wire[at++]);
            continue;
        }
        if (at + 1 < wire.size() && wire[at + 1] == IAC) {
            out.data.push_back(IAC);
            at += 2;
            continue;
        }
        if (at + 1 >= wire.size() || wire[at + 1] != SB) {
            out.wellFormed = false;
            break;
        }
        std::size_t end = at + 2;
        while (end + 1 < wire.size() && !(wire[end] == IAC && wire[end + 1] == SE))
            ++end;
        if (end + 1 >= wire.size()) {
            out.wellFormed = false;
            break;
        }
        out.controls.emplace_back(
            Bytes(wire.begin() + static_cast<std::ptrdiff_t>(at + 2), wire.begin() + static_cast<std::ptrdiff_t>(end)),
            out.data.size());
        at = end + 2;
    }
    return out;
}

} // namespace

TEST(ControlAhead, AModemLineChangeGoesAheadOfAHeldWriteBetweenWholeUnits)
{
    struct Case {
        const char* name;
        bool rfc2217;
        Bytes control; // as the stream carries it, without framing
    };
    const Case cases[] = {
        { "framed", false, { 0x13 } },
        { "RFC 2217", true, { 44, 5, 8 } },
    };
    // Many sends' worth, with runs of 0xFF of every length so that a cut
    // inside a doubled one would show.
    Bytes outgoing = patternBytes(4u << 20, 5);
    for (std::size_t at = 0; at < outgoing.size(); at += 7)
        std::fill_n(outgoing.begin() + static_cast<std::ptrdiff_t>(at), at / 7 % 6, 0xFF);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver::SocketTransports sockets;
        PortHarness harness { PortHarness::Options { &platform::RealClock::instance(), {}, true, &sockets, 2 } };
        TcpListener listener(0, 4096);
        PortSettings settings;
        settings.remoteHost = "127.0.0.1";
        settings.remotePort = listener.port();
        settings.cmdByte = 1;
        settings.connectAtWinStart = 1;
        settings.wireProtocol = c.rfc2217 ? 1 : 0;
        settings.pacing = 0;
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_TRUE(handle);
        auto peer = listener.accept();
        ASSERT_TRUE(peer);
        ASSERT_TRUE(shrinkPortSendBuffer(peer->remotePort()));
        if (c.rfc2217) {
            const Bytes opening { IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44 };
            ASSERT_EQ(peer->receive(opening.size()), opening);
            ASSERT_TRUE(peer->send(Bytes { IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44 }));
            const Bytes settled = concat(
                { comPort({ 0 }), comPort({ 10, 0x1E }), comPort({ 11, 0xFF, 0xFF }), comPort({ 1, 0, 0, 0x25, 0x80 }),
                    comPort({ 2, 8 }), comPort({ 3, 1 }), comPort({ 4, 1 }), comPort({ 5, 1 }) });
            ASSERT_EQ(peer->receive(settled.size()), settled);
        }

        driver::host::Reply written;
        std::thread writer([&] { written = handle->write(outgoing); });
        // The write is under way once its first bytes arrive; the device
        // then reads nothing until the control request waits.
        Bytes wire = peer->receive(16);
        ASSERT_EQ(wire.size(), 16u);
        std::atomic<pid_t> tid { 0 };
        auto control = std::async(std::launch::async, [&] {
            tid = ::gettid();
            return handle->deviceIoControl(kIoctlSerialSetDtr, {}, 0).status;
        });
        while (control.wait_for(0s) != std::future_status::ready && (tid == 0 || !threadAsleep(tid)))
            std::this_thread::yield();

        // The device reads a little: far less than one send of the write
        // (the transmit buffer's worth) but room for the control, which
        // then goes without waiting for more.
        Bytes rest = peer->receive(0x10000);
        wire.insert(wire.end(), rest.begin(), rest.end());
        const bool went = control.wait_for(60s) == std::future_status::ready;
        EXPECT_TRUE(went && control.get() == kStatusSuccess) << "the control waited for the write's send";

        // The rest, with everything in its place.
        const std::size_t wireSize = c.rfc2217
            ? outgoing.size() + static_cast<std::size_t>(std::count(outgoing.begin(), outgoing.end(), IAC)) + 7
            : outgoing.size() + 3 * ((outgoing.size() + 446) / 447) + 4;
        rest = peer->receive(wireSize - wire.size(), 60s);
        wire.insert(wire.end(), rest.begin(), rest.end());
        writer.join();
        EXPECT_EQ(written.status, kStatusSuccess);
        EXPECT_EQ(written.information, outgoing.size());

        const Parsed parsed = c.rfc2217 ? parseTelnet(wire) : parseFramed(wire);
        EXPECT_TRUE(parsed.wellFormed) << "a unit of the stream was cut";
        EXPECT_TRUE(parsed.data == outgoing) << parsed.data.size() << " data bytes of " << outgoing.size();
        ASSERT_EQ(parsed.controls.size(), 1u);
        EXPECT_EQ(parsed.controls[0].first, c.control);
    }
}
