#pragma once

#include "platform/clock.h"

#include <condition_variable>
#include <mutex>

namespace driver::host {

// A kernel event. A notification event stays signalled until reset and
// releases every waiter; a synchronization event releases one waiter and
// resets itself.
class Event {
public:
    enum class Kind { Notification, Synchronization };

    explicit Event(Kind kind = Kind::Notification, bool signalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool isSet() const;
    // Waits without a limit.
    void wait();
    // Waits at most `limit` on `clock`; true when the event was signalled.
    bool waitFor(platform::Clock& clock, platform::Duration limit);

private:
    mutable std::mutex m_mutex; // protects m_signalled
    std::condition_variable m_condition;
    const Kind m_kind;
    bool m_signalled;
};

// The three per-port locks. Their only permitted nesting is taking the counter
// lock while the data lock is held (a request completed under the data lock
// releases its count there); any other nesting, across ports too, is a
// programming fault and stops the process before it can deadlock.
enum class LockRank { State, Counter, Data };

class PortLock {
public:
    explicit PortLock(LockRank rank)
        : m_rank(rank)
    {
    }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    void lock();
    void unlock();
    LockRank rank() const { return m_rank; }
    // True when the calling thread holds a lock of this rank (any port).
    static bool heldByThisThread(LockRank rank);

private:
    std::mutex m_mutex; // the lock itself; what it guards is named by its owner
    const LockRank m_rank;
};

// Marks the calling thread as running at raised level (deferred procedures,
// transport handlers) for the lifetime of the object; such code must not block.
class RaisedLevelScope {
public:
    RaisedLevelScope();
    ~RaisedLevelScope();
    RaisedLevelScope(const RaisedLevelScope&) = delete;
    RaisedLevelScope& operator=(const RaisedLevelScope&) = delete;
};

bool atRaisedLevel();

} // namespace driver::host
