// link_delay: holds each packet that netfilter queues to it (iptables
// -j NFQUEUE) for a fixed time, then lets it go on, in the order the packets
// came. With a random drop rule before the queue rule (iptables -m statistic)
// this makes a lossy, slow link out of a veth pair on kernels built without
// the netem queueing discipline; the peers on either side are real programs
// with their own network stack, and nothing in them is changed.
//
//   link_delay --queue N --delay-ms D
//
// Prints "ready" once it is bound to the queue, and on SIGINT/SIGTERM how
// many packets it passed. Speaks nfnetlink_queue directly (the kernel's own
// headers), so it needs no library; the packet's bytes are never copied to
// it, only its id.
#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

// Builds one nfnetlink_queue message: header, nfgenmsg, attributes.
class Message {
public:
    Message(std::uint16_t type, std::uint16_t flags, std::uint16_t queue)
    {
        nlmsghdr header {};
        header.nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_QUEUE << 8) | type);
        header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
        append(&header, sizeof header);
        nfgenmsg general {};
        general.nfgen_family = AF_UNSPEC;
        general.version = NFNETLINK_V0;
        general.res_id = htons(queue);
        append(&general, sizeof general);
    }

    void attribute(std::uint16_t type, const void* data, std::size_t size)
    {
        nlattr attr {};
        attr.nla_type = type;
        attr.nla_len = static_cast<std::uint16_t>(NLA_HDRLEN + size);
        append(&attr, sizeof attr);
        append(data, size);
    }

    bool send(int fd)
    {
        reinterpret_cast<nlmsghdr*>(m_bytes.data())->nlmsg_len = static_cast<std::uint32_t>(m_bytes.size());
        sockaddr_nl kernel {};
        kernel.nl_family = AF_NETLINK;
        return sendto(fd, m_bytes.data(), m_bytes.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel)
            == static_cast<ssize_t>(m_bytes.size());
    }

private:
    void append(const void* data, std::size_t size)
    {
        auto bytes = static_cast<const char*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
        m_bytes.resize(NLMSG_ALIGN(m_bytes.size()));
    }

    std::vector<char> m_bytes;
};

// Waits for the kernel's answer to a request sent with NLM_F_ACK.
bool acknowledged(int fd, const char* what)
{
    alignas(nlmsghdr) char buffer[8192];
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got < static_cast<ssize_t>(NLMSG_HDRLEN + sizeof(nlmsgerr))) {
        std::fprintf(stderr, "link_delay: no answer to %s: %s\n", what, std::strerror(errno));
        return false;
    }
    auto header = reinterpret_cast<nlmsghdr*>(buffer);
    auto error = reinterpret_cast<nlmsgerr*>(NLMSG_DATA(header));
    if (header->nlmsg_type == NLMSG_ERROR && error->error != 0) {
        std::fprintf(stderr, "link_delay: %s refused: %s\n", what, std::strerror(-error->error));
        return false;
    }
    return true;
}

bool bindQueue(int fd, std::uint16_t queue)
{
    Message bind(NFQNL_MSG_CONFIG, NLM_F_ACK, queue);
    nfqnl_msg_config_cmd command {};
    command.command = NFQNL_CFG_CMD_BIND;
    command.pf = htons(AF_INET);
    bind.attribute(NFQA_CFG_CMD, &command, sizeof command);
    if (!bind.send(fd) || !acknowledged(fd, "binding the queue"))
        return false;
    Message params(NFQNL_MSG_CONFIG, NLM_F_ACK, queue);
    nfqnl_msg_config_params mode {};
    mode.copy_range = htonl(0);
    mode.copy_mode = NFQNL_COPY_META;
    params.attribute(NFQA_CFG_PARAMS, &mode, sizeof mode);
    std::uint32_t length = htonl(65536);
    params.attribute(NFQA_CFG_QUEUE_MAXLEN, &length, sizeof length);
    return params.send(fd) && acknowledged(fd, "setting the copy mode");
}

// Lets every held packet up to and including `id` go on (ids rise, and every
// packet is held equally long, so the earlier ones are due too).
bool release(int fd, std::uint16_t queue, std::uint32_t id)
{
    Message verdict(NFQNL_MSG_VERDICT_BATCH, 0, queue);
    nfqnl_msg_verdict_hdr header {};
    header.verdict = htonl(NF_ACCEPT);
    header.id = htonl(id);
    verdict.attribute(NFQA_VERDICT_HDR, &header, sizeof header);
    return verdict.send(fd);
}

struct Held {
    Clock::time_point due;
    std::uint32_t id;
};

// Reads the queued packets' ids out of one datagram from the kernel.
void takePackets(const char* buffer, std::size_t size, Clock::duration delay, std::deque<Held>& held)
{
    auto now = Clock::now();
    for (auto header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, size);
         header = NLMSG_NEXT(header, size)) {
        if (header->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET))
            continue;
        auto offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg));
        while (offset + NLA_HDRLEN <= header->nlmsg_len) {
            auto attr = reinterpret_cast<const nlattr*>(reinterpret_cast<const char*>(header) + offset);
            if (attr->nla_len < NLA_HDRLEN || offset + attr->nla_len > header->nlmsg_len)
                break;
            if ((attr->nla_type & NLA_TYPE_MASK) == NFQA_PACKET_HDR
                && attr->nla_len >= NLA_HDRLEN + sizeof(nfqnl_msg_packet_hdr)) {
                nfqnl_msg_packet_hdr packet;
                std::memcpy(&packet, reinterpret_cast<const char*>(attr) + NLA_HDRLEN, sizeof packet);
                held.push_back({ now + delay, ntohl(packet.packet_id) });
                break;
            }
            offset += NLA_ALIGN(attr->nla_len);
        }
    }
}

int usage()
{
    std::fprintf(stderr, "usage: link_delay --queue N --delay-ms D\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    long queue = -1;
    long delayMs = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        char* end = nullptr;
        long value = std::strtol(argv[i + 1], &end, 10);
        if (*argv[i + 1] == '\0' || *end != '\0')
            return usage();
        if (name == "--queue")
            queue = value;
        else if (name == "--delay-ms")
            delayMs = value;
        else
            return usage();
    }
    if (argc % 2 != 1 || queue < 0 || queue > 65535 || delayMs < 0 || delayMs > 60000)
        return usage();

    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0) {
        std::fprintf(stderr, "link_delay: netlink socket: %s\n", std::strerror(errno));
        return 1;
    }
    // A busy machine may leave the queue unread for a while: room for many
    // packets' notes, or the kernel drops packets this program never saw.
    int room = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    sockaddr_nl self {};
    self.nl_family = AF_NETLINK;
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        std::fprintf(stderr, "link_delay: netlink bind: %s\n", std::strerror(errno));
        return 1;
    }
    if (!bindQueue(fd, static_cast<std::uint16_t>(queue)))
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("ready\n");
    std::fflush(stdout);

    auto delay = std::chrono::milliseconds(delayMs);
    std::deque<Held> held;
    unsigned long long passed = 0;
    unsigned long long overruns = 0;
    alignas(nlmsghdr) static char buffer[1 << 16];
    while (!g_stop) {
        int timeoutMs = -1;
        if (!held.empty()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(held.front().due - Clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd readable { fd, POLLIN, 0 };
        int ready = poll(&readable, 1, timeoutMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0) {
            ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                takePackets(buffer, static_cast<std::size_t>(got), delay, held);
            else if (got < 0 && errno == ENOBUFS)
                ++overruns; // the kernel dropped what it could not tell us
        }
        auto now = Clock::now();
        std::uint32_t last = 0;
        bool due = false;
        while (!held.empty() && held.front().due <= now) {
            last = held.front().id;
            held.pop_front();
            due = true;
            ++passed;
        }
        if (due && !release(fd, static_cast<std::uint16_t>(queue), last))
            std::fprintf(stderr, "link_delay: verdict: %s\n", std::strerror(errno));
    }
    std::printf("passed %llu packets, %llu overruns\n", passed, overruns);
    close(fd);
    return 0;
}
