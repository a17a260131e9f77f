#include "driver/daemon/control_server.h"

#include "common/control_protocol.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace driver::daemon {

using namespace common;

namespace {

// How often idle sessions are looked for.
constexpr auto kSweepPeriod = std::chrono::seconds(1);
// How long accepting rests when not even the spare descriptor is left.
constexpr auto kAcceptRest = std::chrono::milliseconds(100);

int openSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

bool outOfDescriptors(int code) { return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM; }

} // namespace

ControlServer::ControlServer(
    ControlService& service, platform::EventLoop& loop, platform::SeqPacketListener& listener, Limits limits)
    : m_service(service)
    , m_loop(loop)
    , m_listener(listener)
    , m_limits(limits)
    , m_handlers(limits.handlers, limits.mostHandlers)
    , m_buffer(kMaxControlMessage)
{
}

ControlServer::~ControlServer() { stop(); }

void ControlServer::start()
{
    m_spare = openSpare();
    m_loop.watchFd(m_listener.fd(), platform::kIoRead, [this](unsigned) { onListener(); });
    m_sweepTimer = m_loop.startTimer(kSweepPeriod, [this] { sweepIdle(); });
}

void ControlServer::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_handlers.drain();
    // The loop no longer runs: sessions are closed here, their handles with them.
    m_sessions.clear();
    if (m_spare >= 0)
        ::close(m_spare);
    m_spare = -1;
}

void ControlServer::onListener() { acceptWaiting(); }

void ControlServer::acceptWaiting()
{
    // Bounded, so that a listener that keeps failing cannot hold the loop.
    for (int round = 0; round < 256; ++round) {
        auto accepted = m_listener.acceptNow();
        if (!accepted.ok()) {
            const int code = accepted.error().code;
            if (code == EAGAIN || code == EWOULDBLOCK)
                return;
            if (!outOfDescriptors(code))
                return; // the listener stays watched and says again when there is more
            // The client would wait in the backlog without an answer: the
            // spare descriptor makes room to tell it.
            if (!m_refusing)
                std::fprintf(stderr, "vorpild: control socket: out of descriptors (%s); answering busy\n",
                    accepted.error().message.c_str());
            m_refusing = true;
            if (m_spare < 0) {
                pauseAccepting();
                return;
            }
            ::close(m_spare);
            m_spare = -1;
            if (auto waiting = m_listener.acceptNow(); waiting.ok())
                refuse(**waiting, kStatusDeviceBusy, "out of descriptors");
            // The client's descriptor is closed again by now.
            m_spare = openSpare();
            continue;
        }
        std::unique_ptr<platform::SeqPacketSocket> socket = std::move(*accepted);
        if (m_sessions.size() >= m_limits.maxSessions) {
            refuse(*socket, kStatusDeviceBusy, "too many clients");
            continue;
        }
        if (m_refusing)
            std::fprintf(stderr, "vorpild: control socket: taking clients again (%zu served)\n", m_sessions.size());
        m_refusing = false;
        Session& session = m_sessions.emplace_back();
        session.socket = std::move(socket);
        session.lastActive = m_loop.clock().now();
        watch(std::prev(m_sessions.end()));
    }
}

void ControlServer::pauseAccepting()
{
    if (m_paused)
        return;
    m_paused = true;
    // Level-triggered, the listener would be reported at once again.
    m_loop.unwatchFd(m_listener.fd());
    m_resumeTimer = m_loop.startTimer(kAcceptRest, [this] {
        m_loop.killTimer(m_resumeTimer);
        m_paused = false;
        if (m_spare < 0)
            m_spare = openSpare();
        m_loop.watchFd(m_listener.fd(), platform::kIoRead, [this](unsigned) { onListener(); });
    });
}

// The answer is queued before the close, so the client's first request (or
// the attempt to send one) meets it.
void ControlServer::refuse(platform::SeqPacketSocket& socket, NtStatus status, const char* why)
{
    (void)socket.send(encodeResponse(0, status, {}), false);
    if (!m_refusing)
        std::fprintf(stderr, "vorpild: control socket: %s (%zu served); answering busy until some leave\n", why,
            m_sessions.size());
    m_refusing = true;
}

void ControlServer::watch(SessionList::iterator session)
{
    m_loop.watchFd(session->socket->fd(), platform::kIoRead, [this, session](unsigned) { onSession(session); });
}

void ControlServer::onSession(SessionList::iterator session)
{
    auto got = session->socket->receive(m_buffer, false);
    std::vector<std::uint8_t> immediate;
    if (!got.ok()) {
        const int code = got.error().code;
        if (code == EAGAIN || code == EWOULDBLOCK)
            return;
        // An oversized message is answered; anything else ends the session.
        if (code != EMSGSIZE)
            return close(session);
        immediate = encodeResponse(0, kStatusInvalidParameter, {});
    } else if (*got == 0) {
        if (session->socket->peerClosed())
            return close(session);
        // An empty message is malformed like any other.
        immediate = encodeResponse(0, kStatusInvalidParameter, {});
    } else if (m_withHandlers >= static_cast<std::size_t>(m_limits.handlers) + m_limits.maxWaiting) {
        // Better a quick "busy" than a client left waiting behind the queue.
        immediate = encodeResponse(0, kStatusDeviceBusy, {});
    }
    session->lastActive = m_loop.clock().now();
    if (!immediate.empty()) {
        if (!session->socket->send(immediate, false).ok())
            close(session);
        return;
    }
    // One request of a session at a time: nothing more is read until it is answered.
    m_loop.unwatchFd(session->socket->fd());
    session->busy = true;
    ++m_withHandlers;
    std::vector<std::uint8_t> request(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(*got));
    ControlSession* state = session->state.get();
    m_handlers.post([this, session, state, request = std::move(request)] {
        auto answer = m_service.handle(*state, request);
        m_loop.post([this, session, answer = std::move(answer)]() mutable { answered(session, std::move(answer)); });
    });
}

void ControlServer::answered(SessionList::iterator session, std::vector<std::uint8_t> answer)
{
    --m_withHandlers;
    session->busy = false;
    if (session->gone)
        return close(session);
    session->lastActive = m_loop.clock().now();
    // A client that does not read its answers is not waited for.
    if (!session->socket->send(answer, false).ok())
        return close(session);
    watch(session);
}

void ControlServer::close(SessionList::iterator session)
{
    if (session->busy) {
        // The handler still uses the session: it goes when the answer comes.
        session->gone = true;
        m_loop.unwatchFd(session->socket->fd());
        return;
    }
    m_loop.unwatchFd(session->socket->fd());
    // Closing handles may wait for the port: not on the loop's thread.
    if (!session->state->handles.empty())
        m_handlers.post([state = std::shared_ptr<ControlSession>(std::move(session->state))] {});
    m_sessions.erase(session);
}

void ControlServer::sweepIdle()
{
    const platform::TimePoint now = m_loop.clock().now();
    std::size_t closed = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const auto next = std::next(it);
        const platform::Duration limit
            = it->state && !it->state->handles.empty() ? m_limits.holdingIdleLimit : m_limits.idleLimit;
        // A request that came in just now is served, not cut off.
        if (!it->busy && !it->gone && now - it->lastActive >= limit && !it->socket->readable()) {
            close(it);
            ++closed;
        }
        it = next;
    }
    if (closed > 0)
        std::fprintf(
            stderr, "vorpild: control socket: closed %zu idle session(s), %zu left\n", closed, m_sessions.size());
}

} // namespace driver::daemon
