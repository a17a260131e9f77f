#define FUSE_USE_VERSION 35
#include "driver/host/cuse_port.h"

#include <cuse_lowlevel.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace driver::host {

namespace {

constexpr const char* kCuseDevice = "/dev/cuse";
// The kernel makes the device node shortly after the session starts.
constexpr auto kInitWait = std::chrono::seconds(5);

} // namespace

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
        std::size_t size;
    };
    struct PendingModemWait {
        fuse_req_t req;
        unsigned int bits;
        TtyCounts before;
    };
    std::deque<PendingRead> reads;
    std::deque<PendingModemWait> modemWaits;
    fuse_pollhandle* pollHandle = nullptr;
    std::vector<fuse_req_t> interrupted; // filled by the interrupt callback, on this thread

    std::mutex mutex; // protects the worker queue and `ready`
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool ready = false;
    bool stopping = false;
    std::thread events;
    std::thread worker;

    void ring()
    {
        const std::uint64_t one = 1;
        (void)!::write(signal, &one, sizeof(one));
    }

    void post(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_all();
    }

    void runWorker()
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

    void runEvents()
    {
        fuse_buf buffer {};
        pollfd fds[2] = { { fuse_session_fd(session), POLLIN, 0 }, { signal, POLLIN, 0 } };
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    break;
            }
            if (::poll(fds, 2, -1) < 0) {
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

    // Completes what waited for bytes, a modem change or a signal.
    void service()
    {
        for (fuse_req_t req : interrupted) {
            auto read = std::find_if(reads.begin(), reads.end(), [req](const PendingRead& r) { return r.req == req; });
            if (read != reads.end()) {
                reads.erase(read);
                fuse_reply_err(req, EINTR);
            }
            auto wait = std::find_if(
                modemWaits.begin(), modemWaits.end(), [req](const PendingModemWait& w) { return w.req == req; });
            if (wait != modemWaits.end()) {
                modemWaits.erase(wait);
                fuse_reply_err(req, EINTR);
            }
        }
        interrupted.clear();
        while (!reads.empty()) {
            std::vector<std::uint8_t> bytes(reads.front().size);
            const std::size_t got = handler.read(bytes);
            if (got == 0)
                break;
            fuse_reply_buf(reads.front().req, reinterpret_cast<const char*>(bytes.data()), got);
            reads.pop_front();
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
        if (pollHandle && handler.readable()) {
            fuse_lowlevel_notify_poll(pollHandle);
            fuse_pollhandle_destroy(pollHandle);
            pollHandle = nullptr;
        }
        // Kept armed while the device is open: modem changes are counted as
        // they happen, not when the next waiter arms it (TIOCMIWAIT would
        // wake on a change from before it was called).
        handler.watch();
    }

    static Session& of(fuse_req_t req) { return *static_cast<Session*>(fuse_req_userdata(req)); }

    static void onInterrupt(fuse_req_t req, void* data)
    {
        // Called with the request's lock held: it is answered by service().
        auto& self = *static_cast<Session*>(data);
        self.interrupted.push_back(req);
        self.ring();
    }

    static void onInitDone(void* data)
    {
        auto& self = *static_cast<Session*>(data);
        {
            std::lock_guard lock(self.mutex);
            self.ready = true;
        }
        self.wake.notify_all();
    }

    static void onOpen(fuse_req_t req, fuse_file_info* fi)
    {
        fuse_file_info info = *fi;
        info.direct_io = 1;
        info.nonseekable = 1;
        Session& self = of(req);
        self.post([&self, req, info] {
            const int error = self.handler.open();
            if (error) {
                fuse_reply_err(req, error);
                return;
            }
            fuse_reply_open(req, &info);
            self.ring(); // the event thread arms the port's wait
        });
    }

    static void onRelease(fuse_req_t req, fuse_file_info*)
    {
        Session& self = of(req);
        self.post([&self, req] {
            self.handler.release();
            fuse_reply_err(req, 0);
        });
    }

    static void onRead(fuse_req_t req, size_t size, off_t, fuse_file_info* fi)
    {
        Session& self = of(req);
        if (self.reads.empty()) {
            std::vector<std::uint8_t> bytes(size);
            if (const std::size_t got = self.handler.read(bytes); got > 0) {
                fuse_reply_buf(req, reinterpret_cast<const char*>(bytes.data()), got);
                return;
            }
        }
        if (fi->flags & O_NONBLOCK) {
            fuse_reply_err(req, EAGAIN);
            return;
        }
        self.reads.push_back({ req, size });
        fuse_req_interrupt_func(req, onInterrupt, &self);
        self.handler.watch();
    }

    static void onWrite(fuse_req_t req, const char* buf, size_t size, off_t, fuse_file_info*)
    {
        Session& self = of(req);
        std::vector<std::uint8_t> bytes(buf, buf + size);
        self.post([&self, req, bytes = std::move(bytes)] {
            std::size_t written = 0;
            const int error = self.handler.write(bytes, written);
            if (error && written == 0)
                fuse_reply_err(req, error);
            else
                fuse_reply_write(req, written);
        });
    }

    static void onIoctl(fuse_req_t req, int cmd, void* arg, fuse_file_info*, unsigned int, const void* inBuf,
        size_t inSize, size_t outSize)
    {
        Session& self = of(req);
        const TtyIoctlInfo* info = findTtyIoctl(static_cast<unsigned int>(cmd));
        if (!info) {
            fuse_reply_err(req, ENOTTY);
            return;
        }
        // A serial line has no window size; stty takes EINVAL as "none".
        if (info->request == TtyIoctl::WindowSize) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        // The argument points into the program: ask the kernel to fetch
        // (and take back) as many bytes as the request's structure has.
        if (inSize < info->inSize || outSize < info->outSize) {
            const iovec in { arg, info->inSize };
            const iovec out { arg, info->outSize };
            fuse_reply_ioctl_retry(req, info->inSize ? &in : nullptr, info->inSize ? 1 : 0,
                info->outSize ? &out : nullptr, info->outSize ? 1 : 0);
            return;
        }
        const unsigned long value = reinterpret_cast<unsigned long>(arg);
        if (info->request == TtyIoctl::ModemWait) {
            self.modemWaits.push_back({ req, static_cast<unsigned int>(value), self.handler.counts() });
            fuse_req_interrupt_func(req, onInterrupt, &self);
            self.handler.watch();
            return;
        }
        std::vector<std::uint8_t> input(static_cast<const std::uint8_t*>(inBuf),
            static_cast<const std::uint8_t*>(inBuf) + std::min(inSize, info->inSize));
        self.post([&self, req, info, value, input = std::move(input)] {
            std::vector<std::uint8_t> output;
            const int error = self.handler.ioctl(*info, value, input, output);
            if (error)
                fuse_reply_err(req, error);
            else
                fuse_reply_ioctl(req, 0, output.data(), std::min(output.size(), info->outSize));
        });
    }

    static void onPoll(fuse_req_t req, fuse_file_info*, fuse_pollhandle* handle)
    {
        Session& self = of(req);
        const bool readable = self.handler.readable();
        if (handle) {
            if (self.pollHandle)
                fuse_pollhandle_destroy(self.pollHandle);
            self.pollHandle = handle;
            if (!readable)
                self.handler.watch();
        }
        fuse_reply_poll(req, POLLOUT | POLLWRNORM | (readable ? POLLIN | POLLRDNORM : 0));
    }
};

CusePort::CusePort(CuseHandler& handler)
    : m_session(std::make_unique<Session>(handler))
{
}

bool CusePort::create(
    std::unique_ptr<CusePort>& port, const std::string& name, CuseHandler& handler, int group, std::string& error)
{
    std::unique_ptr<CusePort> made(new CusePort(handler));
    Session& s = *made->m_session;
    made->m_path = "/dev/" + name;
    s.signal = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.signal < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    static const cuse_lowlevel_ops ops = [] {
        cuse_lowlevel_ops o {};
        o.init_done = Session::onInitDone;
        o.open = Session::onOpen;
        o.read = Session::onRead;
        o.write = Session::onWrite;
        o.release = Session::onRelease;
        o.ioctl = Session::onIoctl;
        o.poll = Session::onPoll;
        return o;
    }();
    const std::string devName = "DEVNAME=" + name;
    const char* info[] = { devName.c_str() };
    cuse_info ci {};
    ci.dev_info_argc = 1;
    ci.dev_info_argv = info;
    ci.flags = CUSE_UNRESTRICTED_IOCTL;
    char program[] = "vorpild";
    char* argv[] = { program, nullptr };
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    s.session = cuse_lowlevel_new(&args, &ci, &ops, &s);
    fuse_opt_free_args(&args);
    if (!s.session) {
        error = "cannot start a CUSE session";
        return false;
    }
    const int fd = ::open(kCuseDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = std::string(kCuseDevice) + ": " + std::strerror(errno);
        return false;
    }
    // The session takes the descriptor (and closes it when destroyed).
    const std::string fdPath = "/dev/fd/" + std::to_string(fd);
    if (fuse_session_mount(s.session, fdPath.c_str()) != 0) {
        ::close(fd);
        error = "cannot attach the CUSE session";
        return false;
    }
    s.events = std::thread([&s] { s.runEvents(); });
    s.worker = std::thread([&s] { s.runWorker(); });
    {
        std::unique_lock lock(s.mutex);
        if (!s.wake.wait_for(lock, kInitWait, [&s] { return s.ready; })) {
            error = "the kernel did not take " + made->m_path + " (a device of that name exists?)";
            return false;
        }
    }
    // devtmpfs makes the node as root's, 0600; it gets the pty links' owner and mode.
    const auto deadline = std::chrono::steady_clock::now() + kInitWait;
    struct stat st { };
    while (::stat(made->m_path.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (::chown(made->m_path.c_str(), ::geteuid(), group >= 0 ? static_cast<gid_t>(group) : ::getegid()) != 0
        || ::chmod(made->m_path.c_str(), group >= 0 ? 0660 : 0600) != 0) {
        error = made->m_path + ": " + std::strerror(errno);
        return false;
    }
    port = std::move(made);
    return true;
}

CusePort::~CusePort()
{
    Session& s = *m_session;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    s.wake.notify_all();
    if (s.signal >= 0)
        s.ring();
    if (s.events.joinable())
        s.events.join();
    if (s.worker.joinable())
        s.worker.join();
    // Closing the session removes the device: what waits in it fails with ENODEV.
    if (s.session)
        fuse_session_destroy(s.session);
    if (s.signal >= 0)
        ::close(s.signal);
}

void CusePort::notify() { m_session->ring(); }

bool cuseAvailable(std::string& why)
{
    const int fd = ::open(kCuseDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        why = std::string(kCuseDevice) + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    why = std::string(kCuseDevice) + " opened";
    return true;
}

} // namespace driver::host
