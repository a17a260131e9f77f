#pragma once

#include "platform/result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace platform {

// One end of a Unix-domain sequenced-packet connection: every send is one
// message and every receive returns one whole message. Calls block.
class SeqPacketSocket {
public:
    // Connects to the socket at `path`.
    static Result<std::unique_ptr<SeqPacketSocket>> connect(const std::string& path);
    // Connects only to a socket that root or this user owns and serves: a
    // socket another user made (in a directory they made first) is refused
    // with EPERM, so nothing is told to a stranger's program.
    static Result<std::unique_ptr<SeqPacketSocket>> connectTrusted(const std::string& path);
    ~SeqPacketSocket();
    SeqPacketSocket(const SeqPacketSocket&) = delete;
    SeqPacketSocket& operator=(const SeqPacketSocket&) = delete;

    // With `wait` false a send the socket cannot take at once fails (EAGAIN)
    // and a receive with nothing there fails (EAGAIN): for an event loop.
    Result<void> send(std::span<const std::uint8_t> message, bool wait = true);
    // One message into `buffer`; 0 bytes when the peer closed. A message
    // longer than the buffer is an error (its tail is lost).
    Result<std::size_t> receive(std::span<std::uint8_t> buffer, bool wait = true);
    // A message (or the end) waits to be received.
    bool readable() const;
    int fd() const { return m_fd; }
    // After a receive of 0 bytes: true when the peer closed (or shut down
    // its sending side), false when it sent an empty message.
    bool peerClosed() const;
    // Makes a receive blocked in another thread return (0 bytes).
    void shutdown();
    // The user id of the process at the other end.
    int peerUid() const;

private:
    friend class SeqPacketListener;
    explicit SeqPacketSocket(int fd);
    int m_fd;
};

// A listening sequenced-packet socket at a path, reachable by its owner only
// (mode 0600). A stale socket file left by a process that ended is replaced;
// one another process still serves is not.
class SeqPacketListener {
public:
    static Result<std::unique_ptr<SeqPacketListener>> listen(const std::string& path);
    ~SeqPacketListener();
    SeqPacketListener(const SeqPacketListener&) = delete;
    SeqPacketListener& operator=(const SeqPacketListener&) = delete;

    // Waits for the next connection; an error once shutdown() was called.
    Result<std::unique_ptr<SeqPacketSocket>> accept();
    // The next connection if one waits; EAGAIN when none does.
    Result<std::unique_ptr<SeqPacketSocket>> acceptNow();
    int fd() const { return m_fd; }
    void shutdown();
    const std::string& path() const { return m_path; }

private:
    SeqPacketListener(int fd, std::string path);
    int m_fd;
    int m_wake[2];
    std::string m_path;
};

// The runtime directory of the system's driver host (the packaged service).
inline constexpr const char* kSystemVorpilRuntimeDir = "/run/vorpil";

// Where the driver host keeps its control socket and device directory:
// $VORPIL_RUNTIME_DIR, else /run/vorpil for root and $XDG_RUNTIME_DIR/vorpil
// (or /tmp/vorpil-<uid>) for anyone else.
std::string vorpilRuntimeDir();
// The folder of a driver host's port links (COMn), whoever serves them.
inline std::string vorpilDeviceDir(const std::string& runtimeDir) { return runtimeDir + "/dev"; }

// What a client knows when it looks for a driver host.
struct VorpilRuntimeLookup {
    std::string configured; // $VORPIL_RUNTIME_DIR
    bool root = false;
    std::string own; // the directory a daemon of this user would take
    std::function<bool(const std::string& directory)> serves; // a control socket is there
};
// The runtime directory a client (devcon, qelta, the COM name lookup) uses:
// the configured one; else the daemon's own default for root; else this
// user's own daemon when it runs, else the system's daemon when that runs,
// else this user's (so that messages name it).
std::string chooseClientRuntimeDir(const VorpilRuntimeLookup& lookup);
std::string vorpilClientRuntimeDir();

// Where the driver host keeps its registry: /var/lib/vorpil for root,
// $XDG_STATE_HOME/vorpil (or ~/.local/state/vorpil) for anyone else.
std::string vorpilStateDir();
// Creates a directory and its missing parents with the given mode.
Result<void> makeDirectories(const std::string& path, unsigned mode);
// A directory that holds what only this user (and a chosen group) may use:
// refused unless it is a real directory owned by this process's user and
// writable by nobody else; otherwise another local user could put links of
// their own in it.
Result<void> checkOwnDirectory(const std::string& path);
// The id of a group by name.
Result<unsigned> groupId(const std::string& name);
// Gives a file or directory (not following a link) to `group` with `mode`.
Result<void> shareWithGroup(const std::string& path, unsigned group, unsigned mode);
// Sleeps of every thread started after this overshoot by no more than a
// microsecond or so (the default slack is 50 us), for the pacing of writes.
void useFineTimerSlack();

} // namespace platform
