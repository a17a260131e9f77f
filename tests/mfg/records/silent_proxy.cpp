#include "tests/mfg/records/silent_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace testing_support {

namespace {

constexpr const char* kSocket = "/.s.PGSQL.5432";

sockaddr_un address(const std::string& path)
{
    sockaddr_un where {};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
    return where;
}

} // namespace

SilentProxy::SilentProxy(const std::string& folder, const std::string& serverFolder)
    : m_server(serverFolder + kSocket)
{
    const std::string path = folder + kSocket;
    ::unlink(path.c_str());
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un where = address(path);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0
        || ::listen(m_listener, 16) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_thread = std::thread([this] { serve(); });
}

SilentProxy::~SilentProxy()
{
    m_stop = true;
    if (m_wake[1] >= 0) [[maybe_unused]]
        auto ignored = ::write(m_wake[1], "x", 1);
    if (m_thread.joinable())
        m_thread.join();
    for (int fd : { m_listener, m_wake[0], m_wake[1] }) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SilentProxy::serve()
{
    struct Pair {
        int client;
        int server;
    };
    std::vector<Pair> pairs;
    while (!m_stop) {
        std::vector<pollfd> fds { { m_listener, POLLIN, 0 }, { m_wake[0], POLLIN, 0 } };
        const bool forwarding = m_forwarding;
        if (forwarding) {
            for (const Pair& pair : pairs) {
                fds.push_back({ pair.client, POLLIN, 0 });
                fds.push_back({ pair.server, POLLIN, 0 });
            }
        }
        // Re-checked often: going silent takes effect at once.
        if (::poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            ++m_accepted;
            const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_un where = address(m_server);
            if (client >= 0 && server >= 0
                && ::connect(server, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) {
                pairs.push_back({ client, server });
            } else {
                for (int fd : { client, server }) {
                    if (fd >= 0)
                        ::close(fd);
                }
            }
            continue;
        }
        if (!forwarding)
            continue;
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Pair& pair = pairs[(i - 2) / 2];
            const bool fromClient = (i - 2) % 2 == 0;
            char buffer[65536];
            const ssize_t got = ::read(fromClient ? pair.client : pair.server, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(pair.client);
                ::close(pair.server);
                pair = { -1, -1 };
                continue;
            }
            for (ssize_t sent = 0; sent < got;) {
                const ssize_t put = ::write(fromClient ? pair.server : pair.client, buffer + sent, got - sent);
                if (put <= 0)
                    break;
                sent += put;
            }
        }
        std::erase_if(pairs, [](const Pair& pair) { return pair.client < 0; });
    }
    for (const Pair& pair : pairs) {
        ::close(pair.client);
        ::close(pair.server);
    }
}

} // namespace testing_support
