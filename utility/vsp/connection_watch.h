#pragma once

#include "common/win32_error.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/vsp/port_table.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace utility::vsp {

inline constexpr std::uint16_t kQueryPort = 25124;
inline constexpr std::uint16_t kWatchPort = 25126;

// Per-row watch state: bit 0 the device server's last answer reported a
// connection, bit 1 no answer since the last evaluation, bits 8 and up the
// evaluations in a row without an answer.
inline constexpr std::uint32_t kWatchAnswered = 1;
inline constexpr std::uint32_t kWatchNoAnswer = 2;

// A port's link as the driver host reports it, and which connection to the
// host reported it (a restarted host restores links under the same ports).
struct PortLink {
    std::uint64_t session = 0;
    std::uint32_t linkState = 0;
    std::uint16_t localPort = 0;
    bool operator==(const PortLink&) const = default;
};

// What the watch needs done to a port by the manager.
class WatchActions {
public:
    virtual ~WatchActions() = default;
    // The row's link now; nothing when the driver host cannot say.
    virtual std::optional<PortLink> link(std::size_t row) = 0;
    // Sends IOCTL_DISCONNECTION to the row's port.
    virtual common::Win32Error disconnect(std::size_t row) = 0;
    // The device server reports no connection: close the row as Close does.
    virtual void closeReported(std::size_t row) = 0;
    // The row just turned "Disconnecting".
    virtual void disconnecting(std::size_t row) = 0;
    virtual void log(const std::string& text) = 0;
    // The watch endpoint cannot be bound (said once until it can).
    virtual void cannotListen(const std::string& text) = 0;
    virtual void changed() = 0;
};

struct WatchOptions {
    std::string bindAddress = "0.0.0.0";
    std::uint16_t queryPort = kQueryPort;
    std::uint16_t watchPort = kWatchPort;
};

// The connection status check: every round it asks each watched row's device
// server (a Query to UDP 25124 from the watch endpoint, UDP 25126) whether it
// still has a connection, and five seconds later evaluates the answers. The
// watch owns its socket, its two timers and the per-row states.
//
// An answer belongs to the rows of the device's address and data port (a
// device server with two serial ports answers once for each). A "no
// connection" answer closes a port only when the same driver host (one
// control connection) reports the port's link before the query and at the
// evaluation, and no link was made in between: an answer from before a link
// was made (the driver host restarting and restoring its links, say) says
// nothing about that link.
class ConnectionWatch {
public:
    ConnectionWatch(platform::EventLoop& loop, PortTable& table, WatchActions& actions, WatchOptions options);
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // Every state back to "no answer"; the first query five seconds later.
    void start();
    void resetStates() { m_states.fill(kWatchNoAnswer); }
    std::uint32_t state(std::size_t row) const { return m_states.at(row); }
    void setState(std::size_t row, std::uint32_t state) { m_states.at(row) = state; }
    // The rows behind `row` move up one place.
    void removeRow(std::size_t row, std::size_t rowsBefore);
    // Whether the watch endpoint is bound (replies can arrive).
    bool listening() const { return m_socket != nullptr; }
    // Binds the watch endpoint now if it is not yet (each round tries it
    // too); false, said once, when the port is taken.
    bool listen();

private:
    void send();
    void receive();
    void evaluate();
    void evaluateSilent(std::size_t row);
    void evaluateNoConnection(std::size_t row);

    platform::EventLoop& m_loop;
    PortTable& m_table;
    WatchActions& m_actions;
    WatchOptions m_options;
    platform::TimerSet m_timers;
    std::array<std::uint32_t, kMaxPorts> m_states {};
    std::array<bool, kMaxPorts> m_closeFailureLogged {};
    std::array<std::optional<PortLink>, kMaxPorts> m_askedLinks {}; // each row's link when it was last asked about
    std::array<bool, kMaxPorts> m_staleAnswerLogged {};
    bool m_bindFailureTold = false;
    std::unique_ptr<platform::UdpSocket> m_socket;
};

} // namespace utility::vsp
