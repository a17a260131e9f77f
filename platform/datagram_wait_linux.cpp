#include "platform/datagram_wait.h"
#include "platform/faults.h"
#include "platform/socket_util_linux.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <unistd.h>

namespace platform {

using detail::errnoError;
using detail::injected;
using detail::toSockaddr;

Result<int> waitReadable(std::initializer_list<int> fds, Clock& clock, Duration limit)
{
    const bool realTime = dynamic_cast<RealClock*>(&clock) != nullptr;
    const TimePoint deadline = clock.now() + limit;
    std::vector<pollfd> polled;
    for (int fd : fds)
        polled.push_back({ fd, POLLIN, 0 });
    for (;;) {
        const Duration remaining = deadline - clock.now();
        int timeoutMs = 0;
        if (realTime && remaining > Duration::zero())
            timeoutMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(remaining + std::chrono::microseconds(999))
                    .count());
        for (auto& entry : polled)
            entry.revents = 0;
        const int n = ::poll(polled.data(), polled.size(), timeoutMs);
        if (n < 0 && errno != EINTR)
            return errnoError("poll");
        if (n > 0) {
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if (polled[i].revents & (POLLIN | POLLERR))
                    return static_cast<int>(i);
            }
        }
        if (clock.now() >= deadline)
            return -1;
        if (!realTime) {
            // A scaled clock sleeps the real slice of ten milliseconds; a
            // virtual one moves on by them.
            std::mutex mutex;
            std::condition_variable condition;
            std::unique_lock lock(mutex);
            const Duration step = std::min<Duration>(deadline - clock.now(), std::chrono::milliseconds(10));
            clock.waitFor(condition, lock, step, [] { return false; });
        }
    }
}

Result<void> enableArrivalInfo(UdpSocket& socket)
{
    if (faults::shouldFail(faults::Op::SetOption))
        return injected("IP_PKTINFO");
    const int on = 1;
    if (::setsockopt(socket.fd(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
        return errnoError("IP_PKTINFO");
    return {};
}

Result<std::size_t> receiveWithArrival(UdpSocket& socket, std::span<std::uint8_t> buffer, Arrival& arrival)
{
    if (faults::shouldFail(faults::Op::Receive))
        return injected("recvmsg");
    sockaddr_in addr {};
    iovec vector { buffer.data(), buffer.size() };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message {};
    message.msg_name = &addr;
    message.msg_namelen = sizeof addr;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(socket.fd(), &message, 0);
    if (received < 0)
        return errnoError("recvmsg");
    arrival = {};
    arrival.sender = detail::fromSockaddr(addr);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info {};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            arrival.interfaceIndex = info.ipi_ifindex;
            arrival.localAddress = ntohl(info.ipi_spec_dst.s_addr);
        }
    }
    return static_cast<std::size_t>(received);
}

Result<std::size_t> sendVia(
    UdpSocket& socket, const Endpoint& to, std::span<const std::uint8_t> data, int interfaceIndex, Ipv4 source)
{
    if (interfaceIndex <= 0)
        return socket.sendTo(to, data);
    if (faults::shouldFail(faults::Op::Send))
        return injected("sendmsg");
    sockaddr_in addr = toSockaddr(to.address, to.port);
    iovec vector { const_cast<std::uint8_t*>(data.data()), data.size() };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message {};
    message.msg_name = &addr;
    message.msg_namelen = sizeof addr;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info {};
    info.ipi_ifindex = interfaceIndex;
    info.ipi_spec_dst.s_addr = htonl(source);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    const ssize_t sent = ::sendmsg(socket.fd(), &message, MSG_NOSIGNAL);
    if (sent < 0)
        return errnoError("sendmsg");
    return static_cast<std::size_t>(sent);
}

int interfaceIndex(const std::string& name) { return static_cast<int>(::if_nametoindex(name.c_str())); }

bool startDetached(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return false;
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // A grandchild runs the program: the child ends at once and is reaped
    // here, the grandchild is adopted and reaped by init. Only calls that are
    // safe after fork in a threaded program happen in between.
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::_exit(grandchild < 0 ? 127 : 0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace platform
