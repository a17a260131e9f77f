#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace driver::host {

// The system worker threads: deferred jobs run here at passive level.
// Jobs may name an owner (a port): the jobs of one owner run on at most
// share() workers at once, so an owner whose jobs block (a send to a peer
// that stopped reading) never takes every worker from the others. Jobs
// without an owner are not limited. `threads` workers always wait for
// jobs; with `most` above it, while every worker is busy (several owners'
// jobs blocked at once) and a job could run, another worker starts, up to
// `most`, so one owner's blocked jobs never hold back another's; a worker
// beyond `threads` ends when it has waited a while for work.
class WorkerPool {
public:
    static constexpr int kMostWorkers = 64; // what the driver host allows
    static constexpr auto kIdleEnd = std::chrono::seconds(10);

    explicit WorkerPool(int threads, int most = 0);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(std::function<void()> job, const void* owner = nullptr);
    // Blocks until every job posted so far has run.
    void drain();
    // How many workers one owner's jobs may occupy at once.
    int share() const { return m_share; }
    // How many workers there are now.
    int workers();

private:
    struct Job {
        std::function<void()> run;
        const void* owner = nullptr;
    };
    void run(bool extra);
    // Starts one more worker when a job could run and no worker waits for it.
    void growIfNeeded();
    // The oldest job whose owner is below its share; m_jobs.end() for none.
    std::deque<Job>::iterator nextRunnable();

    std::mutex m_mutex; // protects every field below but m_share and m_most
    std::condition_variable m_jobAvailable;
    std::condition_variable m_idle;
    std::deque<Job> m_jobs;
    std::vector<std::pair<const void*, int>> m_running; // owners with jobs running, and how many
    int m_busy = 0;
    int m_waiting = 0; // workers waiting for a job, or woken and not yet taken one
    int m_share = 1;
    int m_most = 1;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
    std::vector<std::thread> m_ended; // extra workers that left, to be joined
};

// A work item a driver allocates once and queues whenever its job is due.
// Queuing an item that is already queued does nothing. Destroying an item
// drops a queued run and waits for a running one, so a device can free its
// work items without racing its own jobs.
class WorkItem {
public:
    // `owner` (the port the item belongs to) shares the pool fairly with other owners.
    explicit WorkItem(WorkerPool& pool, const void* owner = nullptr);
    ~WorkItem();
    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;

    // False when the item was already queued (the routine is not replaced).
    bool queue(std::function<void()> routine);
    bool queued() const;

private:
    struct State {
        std::mutex mutex; // protects every field below
        std::condition_variable done;
        std::function<void()> routine;
        bool queued = false;
        bool freed = false;
        // An item queued again while its routine runs may run on a second
        // worker at the same time, so every run is counted.
        std::vector<std::thread::id> runners;
    };
    static void runOnce(const std::shared_ptr<State>& state);

    WorkerPool& m_pool;
    const void* m_owner;
    std::shared_ptr<State> m_state;
};

} // namespace driver::host
