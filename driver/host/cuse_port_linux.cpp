#include "driver/host/cuse_port_session_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace driver::host {

namespace {

constexpr const char* kCuseDevice = "/dev/cuse";
// The kernel makes the device node shortly after the session starts.
constexpr auto kInitWait = std::chrono::seconds(5);
constexpr auto kDrainPollInterval = std::chrono::milliseconds(50);

// The requests that wait until what was written before them went.
bool drains(const TtyIoctlInfo& info, unsigned long value)
{
    switch (info.request) {
    case TtyIoctl::SetTermiosDrain:
    case TtyIoctl::SetTermiosFlush:
    case TtyIoctl::SetTermios2Drain:
    case TtyIoctl::SetTermios2Flush:
        return true;
    case TtyIoctl::Break:
        return value != 0; // tcdrain
    default:
        return false;
    }
}

} // namespace

void CusePort::Session::onInterrupt(fuse_req_t req, void* data)
{
    // Called with the request's lock held: it is answered by service().
    auto& self = *static_cast<Session*>(data);
    self.interrupted.push_back(req);
    self.ring();
}

void CusePort::Session::onInitDone(void* data)
{
    auto& self = *static_cast<Session*>(data);
    {
        std::lock_guard lock(self.mutex);
        self.ready = true;
    }
    self.wake.notify_all();
}

void CusePort::Session::onOpen(fuse_req_t req, fuse_file_info* fi)
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

void CusePort::Session::onRelease(fuse_req_t req, fuse_file_info*)
{
    Session& self = of(req);
    // The last close lets what was written go first, as a UART does. A
    // killed program's close comes with an interrupt: it must still close
    // the port, or the port stays busy for good.
    self.afterOutput(
        req,
        [&self, req] {
            self.handler.release();
            fuse_reply_err(req, 0);
        },
        true);
}

void CusePort::Session::onRead(fuse_req_t req, size_t size, off_t, fuse_file_info* fi)
{
    Session& self = of(req);
    const TtyReadRule rule = self.handler.readRule();
    PendingRead pending { req, TtyRead(size, rule, SteadyClock::now()) };
    if (fi->flags & O_NONBLOCK) {
        // What is there, whatever VMIN asks; nothing: EAGAIN (0 bytes when VMIN and VTIME are 0).
        if (self.reads.empty()) {
            std::vector<std::uint8_t> bytes(size);
            pending.read.take(std::span(bytes).first(self.handler.read(bytes)), SteadyClock::now());
        }
        const bool zeroRead = rule.min == 0 && rule.time == 0;
        self.answerRead(pending, zeroRead ? 0 : EAGAIN);
        return;
    }
    self.reads.push_back(std::move(pending));
    fuse_req_interrupt_func(req, onInterrupt, &self);
    self.service();
}

void CusePort::Session::onWrite(fuse_req_t req, const char* buf, size_t size, off_t, fuse_file_info* fi)
{
    Session& self = of(req);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(buf), size);
    std::size_t taken = 0;
    {
        std::lock_guard lock(self.mutex);
        // The daemon stops: nothing more is taken (what was is sent).
        if (self.draining) {
            fuse_reply_err(req, EIO);
            return;
        }
        if (!(fi->flags & O_NONBLOCK)) {
            self.output.putWaiting(idOf(req), bytes);
            self.writable.notify_all();
            return;
        }
        taken = self.output.put(bytes);
    }
    self.writable.notify_all();
    if (taken == 0 && size > 0)
        fuse_reply_err(req, EAGAIN);
    else
        fuse_reply_write(req, taken);
}

void CusePort::Session::onIoctl(
    fuse_req_t req, int cmd, void* arg, fuse_file_info*, unsigned int, const void* inBuf, size_t inSize, size_t outSize)
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
        fuse_reply_ioctl_retry(req, info->inSize ? &in : nullptr, info->inSize ? 1 : 0, info->outSize ? &out : nullptr,
            info->outSize ? 1 : 0);
        return;
    }
    const unsigned long value = reinterpret_cast<unsigned long>(arg);
    if (info->request == TtyIoctl::ModemWait) {
        // Armed first: a change the port holds from before the wait (the
        // event came while no wait was armed) is counted before the wait
        // takes its starting counts, so it does not wake the wait.
        self.handler.watch();
        self.modemWaits.push_back({ req, static_cast<unsigned int>(value), self.handler.counts() });
        fuse_req_interrupt_func(req, onInterrupt, &self);
        return;
    }
    if (info->request == TtyIoctl::OutputCount) {
        // What the output holds; the port sends what it is given at once.
        std::size_t queued = 0;
        {
            std::lock_guard lock(self.mutex);
            queued = self.output.queued();
        }
        const int count = static_cast<int>(std::min<std::size_t>(queued, INT32_MAX));
        fuse_reply_ioctl(req, 0, &count, sizeof(count));
        return;
    }
    if (info->request == TtyIoctl::Flush && (value == TCOFLUSH || value == TCIOFLUSH)) {
        std::lock_guard lock(self.mutex);
        self.output.dropUnanswered();
    }
    std::vector<std::uint8_t> input(static_cast<const std::uint8_t*>(inBuf),
        static_cast<const std::uint8_t*>(inBuf) + std::min(inSize, info->inSize));
    auto job = [&self, req, info, value, input = std::move(input)] {
        std::vector<std::uint8_t> output;
        const int error = self.handler.ioctl(*info, value, input, output);
        if (error)
            fuse_reply_err(req, error);
        else
            fuse_reply_ioctl(req, 0, output.data(), std::min(output.size(), info->outSize));
    };
    if (drains(*info, value))
        self.afterOutput(req, std::move(job));
    else
        self.post(std::move(job));
}

void CusePort::Session::onPoll(fuse_req_t req, fuse_file_info*, fuse_pollhandle* handle)
{
    Session& self = of(req);
    const bool readable = self.handler.readable();
    const bool canWrite = self.outputWritable();
    if (handle) {
        if (self.pollHandle)
            fuse_pollhandle_destroy(self.pollHandle);
        self.pollHandle = handle;
        // Every poller of the file waits on the one notification: it goes
        // when anything one of them was told is missing comes.
        self.waitsReadable = self.waitsReadable || !readable;
        self.waitsWritable = self.waitsWritable || !canWrite;
        if (!readable)
            self.handler.watch();
    }
    fuse_reply_poll(req, (canWrite ? POLLOUT | POLLWRNORM : 0) | (readable ? POLLIN | POLLRDNORM : 0));
}

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
    s.writer = std::thread([&s] { s.runWriter(); });
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
    s.writable.notify_all();
    if (s.signal >= 0)
        s.ring();
    if (s.events.joinable())
        s.events.join();
    if (s.worker.joinable())
        s.worker.join();
    if (s.writer.joinable())
        s.writer.join();
    // Closing the session removes the device: what waits in it fails with ENODEV.
    if (s.session)
        fuse_session_destroy(s.session);
    if (s.signal >= 0)
        ::close(s.signal);
}

void CusePort::notify() { m_session->ring(); }

void CusePort::beginDrain()
{
    std::lock_guard lock(m_session->mutex);
    m_session->draining = true;
}

bool CusePort::waitDrained(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& giveUp)
{
    Session& s = *m_session;
    for (;;) {
        {
            std::unique_lock lock(s.mutex);
            // Whether the connection is still there is asked every so often.
            const auto until = std::min(deadline, std::chrono::steady_clock::now() + kDrainPollInterval);
            if (s.outputGone.wait_until(lock, until, [&s] { return s.output.queued() == 0 || s.stopping; }))
                return s.output.queued() == 0;
        }
        if (std::chrono::steady_clock::now() >= deadline || giveUp())
            return false;
    }
}

std::size_t CusePort::endOutput(const std::function<void(bool held)>& unblock)
{
    Session& s = *m_session;
    bool held = false;
    {
        std::lock_guard lock(s.mutex);
        s.draining = true;
        s.outputEnded = true;
        held = s.output.queued() != 0;
    }
    s.writable.notify_all();
    unblock(held);
    if (s.writer.joinable())
        s.writer.join();
    std::lock_guard lock(s.mutex);
    return s.output.queued();
}

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
