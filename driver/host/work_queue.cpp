#include "driver/host/work_queue.h"

#include <algorithm>
#include <system_error>

namespace driver::host {

WorkerPool::WorkerPool(int threads, int most)
{
    const int count = threads > 0 ? threads : 1;
    // One owner whose jobs all block leaves the other half to the rest.
    m_share = std::max(1, count / 2);
    m_most = std::max(count, most);
    std::lock_guard lock(m_mutex);
    m_waiting = count; // each counts itself out when it takes a job
    for (int i = 0; i < count; ++i)
        m_threads.emplace_back([this] { run(false); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_jobAvailable.notify_all();
    // A worker may still start another while the last jobs run.
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(m_mutex);
            threads.swap(m_threads);
            for (auto& ended : m_ended)
                threads.push_back(std::move(ended));
            m_ended.clear();
        }
        if (threads.empty())
            return;
        for (auto& thread : threads)
            thread.join();
    }
}

void WorkerPool::post(std::function<void()> job, const void* owner)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(Job { std::move(job), owner });
        growIfNeeded();
    }
    // Every waiting worker looks: the one woken might find only jobs of an
    // owner at its share while this one is runnable.
    m_jobAvailable.notify_all();
}

int WorkerPool::workers()
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_threads.size());
}

void WorkerPool::growIfNeeded()
{
    // A waiting worker takes the job; one that takes another job while this
    // one is left looks again.
    if (m_waiting > 0 || m_stopping || static_cast<int>(m_threads.size()) >= m_most)
        return;
    if (nextRunnable() == m_jobs.end())
        return;
    for (auto& ended : m_ended)
        ended.join(); // they left the pool's lock for good before they were listed
    m_ended.clear();
    try {
        m_threads.emplace_back([this] { run(true); });
        ++m_waiting;
    } catch (const std::system_error&) {
        // No thread to be had: the job waits for a busy worker.
    }
}

std::deque<WorkerPool::Job>::iterator WorkerPool::nextRunnable()
{
    return std::find_if(m_jobs.begin(), m_jobs.end(), [this](const Job& job) {
        if (!job.owner)
            return true;
        const auto it = std::find_if(
            m_running.begin(), m_running.end(), [&job](const auto& entry) { return entry.first == job.owner; });
        return it == m_running.end() || it->second < m_share;
    });
}

void WorkerPool::drain()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_jobs.empty() && m_busy == 0; });
}

void WorkerPool::run(bool extra)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        auto next = m_jobs.end();
        const auto ready = [this, &next] {
            next = nextRunnable();
            return next != m_jobs.end() || (m_stopping && m_jobs.empty());
        };
        const bool woken
            = extra ? m_jobAvailable.wait_for(lock, kIdleEnd, ready) : (m_jobAvailable.wait(lock, ready), true);
        --m_waiting;
        if (!woken) {
            // Nothing for a while: a worker beyond the lasting ones leaves,
            // joined by whoever starts the next (or by the destructor).
            const auto self = std::find_if(m_threads.begin(), m_threads.end(),
                [](const std::thread& thread) { return thread.get_id() == std::this_thread::get_id(); });
            if (self != m_threads.end()) {
                m_ended.push_back(std::move(*self));
                m_threads.erase(self);
            }
            return;
        }
        if (next == m_jobs.end())
            return; // stopping with nothing left to do
        Job job = std::move(*next);
        m_jobs.erase(next);
        if (job.owner) {
            auto it = std::find_if(
                m_running.begin(), m_running.end(), [&job](const auto& entry) { return entry.first == job.owner; });
            if (it == m_running.end())
                m_running.emplace_back(job.owner, 1);
            else
                ++it->second;
        }
        growIfNeeded();
        ++m_busy;
        lock.unlock();
        job.run();
        job.run = nullptr; // what the job held goes before the lock is taken
        lock.lock();
        --m_busy;
        if (job.owner) {
            auto it = std::find_if(
                m_running.begin(), m_running.end(), [&job](const auto& entry) { return entry.first == job.owner; });
            if (--it->second == 0)
                m_running.erase(it);
            // A job of this owner held back by its share may run now.
            if (!m_jobs.empty())
                m_jobAvailable.notify_all();
        }
        if (m_jobs.empty() && m_busy == 0)
            m_idle.notify_all();
        ++m_waiting;
    }
}

WorkItem::WorkItem(WorkerPool& pool, const void* owner)
    : m_pool(pool)
    , m_owner(owner)
    , m_state(std::make_shared<State>())
{
}

WorkItem::~WorkItem()
{
    std::unique_lock lock(m_state->mutex);
    m_state->freed = true;
    m_state->routine = nullptr;
    // A job that frees its own item must not wait for itself, but does wait
    // for another run of the same item.
    const auto& runners = m_state->runners;
    const bool self = std::find(runners.begin(), runners.end(), std::this_thread::get_id()) != runners.end();
    const std::size_t left = self ? 1 : 0;
    m_state->done.wait(lock, [this, left] { return m_state->runners.size() == left; });
}

bool WorkItem::queue(std::function<void()> routine)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->queued || m_state->freed)
            return false;
        m_state->queued = true;
        m_state->routine = std::move(routine);
    }
    m_pool.post([state = m_state] { runOnce(state); }, m_owner);
    return true;
}

bool WorkItem::queued() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->queued;
}

void WorkItem::runOnce(const std::shared_ptr<State>& state)
{
    std::function<void()> routine;
    {
        std::lock_guard lock(state->mutex);
        state->queued = false;
        if (state->freed)
            return;
        routine = std::move(state->routine);
        state->routine = nullptr;
        state->runners.push_back(std::this_thread::get_id());
    }
    if (routine)
        routine();
    std::lock_guard lock(state->mutex);
    auto& runners = state->runners;
    runners.erase(std::find(runners.begin(), runners.end(), std::this_thread::get_id()));
    state->done.notify_all();
}

} // namespace driver::host
