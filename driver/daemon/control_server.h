#pragma once

#include "driver/daemon/control_service.h"
#include "driver/host/work_queue.h"
#include "platform/event_loop.h"
#include "platform/seqpacket.h"

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

namespace driver::daemon {

// The control socket's clients, served on one event loop: a session's
// requests are read as they come and answered by handler threads (a request
// may wait for a connection or an installation; a handler is added while all
// wait), one request of a session at a time. A session that asks nothing for a while is closed, a
// client beyond the limits is answered STATUS_DEVICE_BUSY at once, and at
// the descriptor limit a spare descriptor lets the loop answer that too, so
// no client is left waiting without an answer.
class ControlServer {
public:
    struct Limits {
        std::size_t maxSessions = 256;
        // A session that holds no handle, resp. one that holds some, is
        // closed after asking nothing for this long.
        platform::Duration idleLimit = std::chrono::seconds(30);
        platform::Duration holdingIdleLimit = std::chrono::minutes(10);
        int handlers = 4;
        // More handlers are started while every one is busy, up to this many:
        // requests that wait (for a device server that never answers a
        // connect, say) do not hold up the others'. Extra ones end when idle.
        int mostHandlers = host::WorkerPool::kMostWorkers;
        // Requests waiting for a handler beyond which a request is answered busy.
        std::size_t maxWaiting = 64;
    };

    ControlServer(
        ControlService& service, platform::EventLoop& loop, platform::SeqPacketListener& listener, Limits limits);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // On the loop's thread, or before the loop runs.
    void start();
    // Once the loop has stopped: waits for the requests under way and
    // closes every session (and so its handles).
    void stop();
    // Loop thread.
    std::size_t sessionCount() const { return m_sessions.size(); }

private:
    struct Session {
        std::unique_ptr<platform::SeqPacketSocket> socket;
        std::unique_ptr<ControlSession> state = std::make_unique<ControlSession>();
        platform::TimePoint lastActive {};
        bool busy = false; // a request is with a handler
        bool gone = false; // closed while busy: freed once the handler is done
    };
    using SessionList = std::list<Session>;

    void onListener();
    void acceptWaiting();
    void watch(SessionList::iterator session);
    void onSession(SessionList::iterator session);
    void answered(SessionList::iterator session, std::vector<std::uint8_t> answer);
    void close(SessionList::iterator session);
    void sweepIdle();
    // Answers `status` to a client that is not taken up, and lets it go.
    void refuse(platform::SeqPacketSocket& socket, common::NtStatus status, const char* why);
    void pauseAccepting();

    ControlService& m_service;
    platform::EventLoop& m_loop;
    platform::SeqPacketListener& m_listener;
    const Limits m_limits;
    host::WorkerPool m_handlers;
    SessionList m_sessions;
    std::size_t m_withHandlers = 0; // requests handed over and not yet answered
    std::vector<std::uint8_t> m_buffer;
    int m_spare = -1; // a descriptor given up to answer a client at the limit
    bool m_refusing = false; // a refusal was logged; quiet until a client is taken up again
    bool m_paused = false;
    platform::TimerId m_sweepTimer = 0;
    platform::TimerId m_resumeTimer = 0;
    bool m_stopped = false;
};

} // namespace driver::daemon
