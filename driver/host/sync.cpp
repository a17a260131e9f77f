#include "driver/host/sync.h"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace driver::host {

Event::Event(Kind kind, bool signalled)
    : m_kind(kind)
    , m_signalled(signalled)
{
}

void Event::set()
{
    std::lock_guard lock(m_mutex);
    m_signalled = true;
    if (m_kind == Kind::Notification)
        m_condition.notify_all();
    else
        m_condition.notify_one();
}

void Event::reset()
{
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool Event::isSet() const
{
    std::lock_guard lock(m_mutex);
    return m_signalled;
}

void Event::wait()
{
    std::unique_lock lock(m_mutex);
    m_condition.wait(lock, [this] { return m_signalled; });
    if (m_kind == Kind::Synchronization)
        m_signalled = false;
}

bool Event::waitFor(platform::Clock& clock, platform::Duration limit)
{
    std::unique_lock lock(m_mutex);
    const bool signalled = clock.waitFor(m_condition, lock, limit, [this] { return m_signalled; });
    if (signalled && m_kind == Kind::Synchronization)
        m_signalled = false;
    return signalled;
}

namespace {

thread_local std::array<int, 3> t_held {};
thread_local int t_raisedDepth = 0;

[[noreturn]] void nestingFault(LockRank wanted)
{
    std::fprintf(stderr, "port lock nesting violated: rank %d taken while holding state %d, counter %d, data %d\n",
        static_cast<int>(wanted), t_held[0], t_held[1], t_held[2]);
    std::abort();
}

int index(LockRank rank) { return static_cast<int>(rank); }

} // namespace

void PortLock::lock()
{
    const int state = t_held[index(LockRank::State)];
    const int counter = t_held[index(LockRank::Counter)];
    const int data = t_held[index(LockRank::Data)];
    const bool allowed = m_rank == LockRank::Counter ? state == 0 && counter == 0 : state + counter + data == 0;
    if (!allowed)
        nestingFault(m_rank);
    m_mutex.lock();
    ++t_held[index(m_rank)];
}

void PortLock::unlock()
{
    --t_held[index(m_rank)];
    m_mutex.unlock();
}

bool PortLock::heldByThisThread(LockRank rank) { return t_held[index(rank)] > 0; }

RaisedLevelScope::RaisedLevelScope() { ++t_raisedDepth; }
RaisedLevelScope::~RaisedLevelScope() { --t_raisedDepth; }
bool atRaisedLevel() { return t_raisedDepth > 0; }

} // namespace driver::host
