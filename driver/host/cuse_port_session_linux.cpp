#include "driver/host/cuse_port_session_linux.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace driver::host {

void CusePort::Session::ring()
{
    const std::uint64_t one = 1;
    (void)!::write(signal, &one, sizeof(one));
}

void CusePort::Session::post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
    }
    wake.notify_all();
}

void CusePort::Session::runWorker()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !jobs.empty(); });
        if (stopping)
            return;
        auto job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void CusePort::Session::answer(const TtyOutput::Answer& done)
{
    fuse_req_t req = reqOf(done.id);
    if (done.kind == TtyOutput::Kind::Write) {
        if (done.error != 0)
            fuse_reply_err(req, done.error);
        else
            fuse_reply_write(req, done.count);
        return;
    }
    auto job = barriers.extract(done.id);
    if (done.error != 0)
        fuse_reply_err(req, done.error);
    else if (!job.empty())
        jobs.push_back(std::move(job.mapped()));
    wake.notify_all();
}

void CusePort::Session::runWriter()
{
    std::unique_lock lock(mutex);
    std::vector<std::uint8_t> slice;
    for (;;) {
        // A signal ends what waits: checked between slices.
        for (std::uint64_t id : output.waiting()) {
            if (fuse_req_interrupted(reqOf(id)))
                if (auto done = output.interrupt(id))
                    answer(*done);
        }
        for (const auto& done : output.reached())
            answer(done);
        if (stopping || outputEnded)
            return;
        const auto next = output.next(std::max<std::size_t>(handler.writeSlice(), 1));
        if (next.empty()) {
            writable.wait(lock, [this] { return stopping || outputEnded || !output.empty(); });
            continue;
        }
        slice.assign(next.begin(), next.end());
        lock.unlock();
        std::size_t written = 0;
        const int error = handler.write(slice, written);
        lock.lock();
        for (const auto& done : output.sent(written, error))
            answer(done);
        outputGone.notify_all();
        // A poll for POLLOUT learns of the room (an O_NONBLOCK write may
        // have filled it while the slice went).
        if (output.writable())
            ring();
    }
}

int CusePort::Session::readTimeout() const
{
    std::optional<SteadyClock::time_point> first;
    for (const PendingRead& pending : reads)
        if (auto limit = pending.read.deadline(); limit && (!first || *limit < *first))
            first = limit;
    if (!first)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*first - SteadyClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void CusePort::Session::answerRead(const PendingRead& pending, int errorWhenEmpty)
{
    const auto& bytes = pending.read.bytes();
    if (bytes.empty() && errorWhenEmpty != 0)
        fuse_reply_err(pending.req, errorWhenEmpty);
    else
        fuse_reply_buf(pending.req, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void CusePort::Session::runEvents()
{
    fuse_buf buffer {};
    pollfd fds[2] = { { fuse_session_fd(session), POLLIN, 0 }, { signal, POLLIN, 0 } };
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                break;
        }
        if (::poll(fds, 2, readTimeout()) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            (void)!::read(signal, &count, sizeof(count));
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            const int got = fuse_session_receive_buf(session, &buffer);
            if (got == -EINTR || got == -EAGAIN)
                continue;
            if (got <= 0)
                break; // the kernel ended the device
            fuse_session_process_buf(session, &buffer);
        }
        service();
    }
    std::free(buffer.mem);
    if (pollHandle)
        fuse_pollhandle_destroy(pollHandle);
    pollHandle = nullptr;
}

void CusePort::Session::service()
{
    for (fuse_req_t req : interrupted) {
        // A read interrupted after bytes came answers with them.
        auto read = std::find_if(reads.begin(), reads.end(), [req](const PendingRead& r) { return r.req == req; });
        if (read != reads.end()) {
            answerRead(*read, EINTR);
            reads.erase(read);
        }
        auto wait = std::find_if(
            modemWaits.begin(), modemWaits.end(), [req](const PendingModemWait& w) { return w.req == req; });
        if (wait != modemWaits.end()) {
            modemWaits.erase(wait);
            fuse_reply_err(req, EINTR);
        }
    }
    interrupted.clear();
    const auto now = SteadyClock::now();
    // The first read takes what arrived; the others wait their turn (or their time).
    std::vector<std::uint8_t> bytes;
    while (!reads.empty()) {
        TtyRead& first = reads.front().read;
        bytes.resize(first.room());
        if (!bytes.empty())
            first.take(std::span(bytes).first(handler.read(bytes)), now);
        if (!first.done(now))
            break;
        answerRead(reads.front(), 0);
        reads.pop_front();
    }
    for (auto it = reads.begin(); it != reads.end();) {
        if (it != reads.begin() && it->read.done(now)) {
            answerRead(*it, 0);
            it = reads.erase(it);
        } else {
            ++it;
        }
    }
    if (!modemWaits.empty()) {
        const TtyCounts now = handler.counts();
        for (auto it = modemWaits.begin(); it != modemWaits.end();) {
            if (modemWaitDone(it->bits, it->before, now)) {
                fuse_reply_ioctl(it->req, 0, nullptr, 0);
                it = modemWaits.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (pollHandle) {
        const bool readable = handler.readable();
        const bool canWrite = outputWritable();
        if ((readable && waitsReadable) || (canWrite && waitsWritable)) {
            waitsReadable = waitsWritable = false;
            fuse_lowlevel_notify_poll(pollHandle);
            fuse_pollhandle_destroy(pollHandle);
            pollHandle = nullptr;
        }
    }
    // Kept armed while the device is open: modem changes are counted as
    // they happen, not when the next waiter arms it (TIOCMIWAIT would
    // wake on a change from before it was called).
    handler.watch();
}

bool CusePort::Session::outputWritable()
{
    std::lock_guard lock(mutex);
    return output.writable();
}

void CusePort::Session::afterOutput(fuse_req_t req, std::function<void()> job, bool lastClose)
{
    {
        std::lock_guard lock(mutex);
        barriers[idOf(req)] = std::move(job);
        output.putBarrier(idOf(req), lastClose);
    }
    writable.notify_all();
}
} // namespace driver::host
