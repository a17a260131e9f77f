#pragma once

// The inside of a character device served from user space: its threads and
// what waits in them. Only the device's own files include it.
#define FUSE_USE_VERSION 35
#include "driver/host/cuse_port.h"

#include <cuse_lowlevel.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace driver::host {

using SteadyClock = std::chrono::steady_clock;

inline std::uint64_t idOf(fuse_req_t req) { return reinterpret_cast<std::uint64_t>(req); }
inline fuse_req_t reqOf(std::uint64_t id) { return reinterpret_cast<fuse_req_t>(id); }

struct CusePort::Session {
    explicit Session(CuseHandler& h)
        : handler(h)
    {
    }

    CuseHandler& handler;
    fuse_session* session = nullptr;
    int signal = -1; // eventfd: notify() and stop ring it

    // Event thread only.
    struct PendingRead {
        fuse_req_t req;
        TtyRead read;
    };
    struct PendingModemWait {
        fuse_req_t req;
        unsigned int bits;
        TtyCounts before;
    };
    std::deque<PendingRead> reads;
    std::deque<PendingModemWait> modemWaits;
    fuse_pollhandle* pollHandle = nullptr;
    bool waitsReadable = false; // a poll since the last notification found nothing to read
    bool waitsWritable = false; // or no room to write
    std::vector<fuse_req_t> interrupted; // filled by the interrupt callback, on this thread

    std::mutex mutex; // protects the worker queue, the output and `ready`
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    TtyOutput output { CusePort::kOutputRoom };
    std::map<std::uint64_t, std::function<void()>> barriers; // what a reached barrier does
    std::condition_variable writable; // the writer's: output came
    bool ready = false;
    bool stopping = false;
    bool draining = false; // an orderly stop: writes are refused, the output goes on
    bool outputEnded = false; // the writer stops after the slice it sends
    std::condition_variable outputGone; // the writer's: a slice went
    std::thread events;
    std::thread worker;
    std::thread writer;
    void ring();
    void post(std::function<void()> job);
    void runWorker();
    // Answers a request the output held, under `mutex`.
    void answer(const TtyOutput::Answer& done);
    void runWriter();
    // Milliseconds until the first read's time runs out; -1: none.
    int readTimeout() const;
    void answerRead(const PendingRead& pending, int errorWhenEmpty);
    void runEvents();
    // Completes what waited for bytes, a modem change, time or a signal.
    void service();
    bool outputWritable();
    // Runs `job` on the worker once everything written before went; a
    // signal meanwhile answers the request with EINTR (a last close's job
    // runs at once instead).
    void afterOutput(fuse_req_t req, std::function<void()> job, bool lastClose = false);

    // The requests of programs, on the event thread (cuse_port_linux.cpp).
    static Session& of(fuse_req_t req) { return *static_cast<Session*>(fuse_req_userdata(req)); }
    static void onInterrupt(fuse_req_t req, void* data);
    static void onInitDone(void* data);
    static void onOpen(fuse_req_t req, fuse_file_info* fi);
    static void onRelease(fuse_req_t req, fuse_file_info* fi);
    static void onRead(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi);
    static void onWrite(fuse_req_t req, const char* buf, size_t size, off_t offset, fuse_file_info* fi);
    static void onIoctl(fuse_req_t req, int cmd, void* arg, fuse_file_info* fi, unsigned int flags, const void* inBuf,
        size_t inSize, size_t outSize);
    static void onPoll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* handle);
};

} // namespace driver::host
