#pragma once

// The time of programs that run as processes of their own (kellan-mp and the
// boardsim processes it talks to), kept in a file they read as their clock
// (platform::FileClock). A thread of the test moves it on only while every
// thread of the watched processes and of their children sleeps: a process
// that works, waits for a processor, writes to disk or is held still
// (SIGSTOP) holds the time. However busy the machine, no process finds that
// time went by while it could not act, and a wait is as long, counted in the
// others' steps, as on an idle machine.

#include "platform/clock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class SharedIdleClock {
public:
    // Creates the clock file at `path`; `factor`: clock time per real time
    // slept by everyone.
    SharedIdleClock(std::string path, double factor);
    ~SharedIdleClock();
    SharedIdleClock(const SharedIdleClock&) = delete;
    SharedIdleClock& operator=(const SharedIdleClock&) = delete;

    const std::string& path() const { return m_path; }
    // From now on the process `pid` (and every child it has) holds the time
    // while it runs. A process that has ended is forgotten.
    void watch(int pid);
    platform::TimePoint now() const;

    // The time stands still from the first look at which `condition` holds
    // (what a simulated board has seen, say) until go(): a test acts at that
    // moment of the run however late it finds out.
    void stopWhen(std::function<bool()> condition);
    bool stopped();
    void go();

private:
    void drive();
    bool timeMayPass();

    std::string m_path;
    double m_factor;
    std::int64_t* m_time = nullptr;
    std::mutex m_mutex; // protects the three below
    std::vector<int> m_watched;
    std::function<bool()> m_stopCondition;
    bool m_stopped = false;
    std::atomic<bool> m_stop { false };
    std::thread m_driver;
};

// The state letters of a process's threads and of its children's, from
// /proc; a process that has ended gives none. True when one of them runs,
// waits to run, waits for a disk or is stopped.
bool processTreeActive(int pid, bool* gone = nullptr);

} // namespace testing_support
