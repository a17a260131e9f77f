#pragma once

#include "common/ntstatus.h"
#include "driver/host/device.h"
#include "driver/host/request.h"
#include "driver/host/sync.h"
#include "driver/host/timer.h"
#include "driver/host/work_queue.h"
#include "driver/local_ports.h"
#include "driver/transport.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace driver::host {
class Host;
}

namespace driver {

using common::NtStatus;

inline constexpr std::size_t kBufferSize = 0x40000;

// Plug-and-play state of a port.
enum class PortState : std::uint8_t {
    NotStarted = 0, // created, not yet started
    Stopped = 1, // stopped by the plug-and-play manager
    Started = 2, // running: accepts opens, reads, writes and device control
    StopPending = 3, // a query-stop was accepted; waiting for stop or cancel-stop
    RemovePending = 4, // a query-remove was accepted; waiting for remove or cancel-remove
    SurpriseRemoved = 5, // gone without warning; waiting for the remove
    Deleted = 6, // removed; everything but the record is freed
};

// Text in a fixed buffer (names are ASCII in practice; UTF-8 otherwise).
template <std::size_t Capacity> struct FixedText {
    std::array<char, Capacity> text {};
    std::uint16_t length = 0;

    bool assign(std::string_view value)
    {
        if (value.size() > Capacity)
            return false;
        std::memcpy(text.data(), value.data(), value.size());
        length = static_cast<std::uint16_t>(value.size());
        return true;
    }
    void clear() { length = 0; }
    bool empty() const { return length == 0; }
    std::string_view view() const { return { text.data(), length }; }
};

// Configuration fields that the network thread or a job uses while a control
// request may reload them (LocalPort, SavedLocalPort, the driver host's
// options) are read and written through these, as atomics.
template <typename T> T loadShared(const T& field)
{
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <typename T> void storeShared(T& field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// How often a client port whose connection was lost tries again, by default.
inline constexpr std::uint32_t kDefaultReconnectSeconds = 5;

// The per-port configuration kept in the registry. Addresses and ports hold
// network byte order as a little-endian load of their bytes: 192.168.0.2 is
// 0x0200A8C0, port 5000 is 0x8813.
struct PortConfig {
    std::uint32_t remoteHostIp = 0;
    std::uint16_t remoteHostPort = 0;
    std::uint8_t protocol = 0; // 0 TCP, 1 UDP
    std::uint32_t connectAtWinStart = 0;
    std::uint32_t connType = 0; // 1 client, 0 server
    std::uint32_t cmdByte = 0; // non-zero: framed stream
    std::uint32_t maxPacketLen = 0;
    std::uint16_t localPort = 0;
    std::uint16_t savedLocalPort = 0;
    std::uint32_t bindAddress = 0; // never stored in the registry
    // Options of the driver host beyond the port's connection, in values of
    // their own (missing values mean the defaults):
    std::uint32_t reconnectSeconds = kDefaultReconnectSeconds; // "ReconnectInterval"; 0: a lost client stays down
    std::uint32_t pacing = 1; // "Pacing"; 0: writes are not held to the emulated baud rate
    std::uint32_t wireProtocol = 0; // "WireProtocol": kWireNative or kWireRfc2217
};

inline constexpr PortConfig kDefaultPortConfig { 0x0200A8C0, 0x8813, 0, 0, 1, 1, 450, 0x7117, 0, 0 };

// What a client port speaks to its device server ("WireProtocol").
inline constexpr std::uint32_t kWireNative = 0; // the device servers' own framing, or raw, as CmdByte says
inline constexpr std::uint32_t kWireRfc2217 = 1; // Telnet with COM-PORT-OPTION, over TCP

inline bool speaksRfc2217(const PortConfig& config) { return loadShared(config.wireProtocol) == kWireRfc2217; }
// The stream is cut into the device servers' packets.
inline bool framedStream(const PortConfig& config) { return config.cmdByte != 0 && !speaksRfc2217(config); }
// Setting requests reach the device server.
inline bool carriesSettings(const PortConfig& config) { return config.cmdByte != 0 || speaksRfc2217(config); }

struct SerialTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

struct SerialChars {
    std::uint8_t eofChar = 0;
    std::uint8_t errorChar = 0;
    std::uint8_t breakChar = 0;
    std::uint8_t eventChar = 0;
    std::uint8_t xonChar = 0;
    std::uint8_t xoffChar = 0;
};

struct SerialHandflow {
    std::uint32_t controlHandShake = 0;
    std::uint32_t flowReplace = 0;
    std::int32_t xonLimit = 0;
    std::int32_t xoffLimit = 0;
};

struct CommStatus {
    std::uint32_t errors = 0;
    std::uint32_t holdReasons = 0;
    std::uint32_t amountInInQueue = 0;
    std::uint32_t amountInOutQueue = 0;
    std::uint8_t eofReceived = 0;
    std::uint8_t waitForImmediate = 0;
};

struct PerfStats {
    std::uint32_t receivedCount = 0;
    std::uint32_t transmittedCount = 0;
    std::uint32_t frameErrorCount = 0;
    std::uint32_t serialOverrunErrorCount = 0;
    std::uint32_t bufferOverrunErrorCount = 0;
    std::uint32_t parityErrorCount = 0;
};

// The emulated serial port: what the serial requests set and read, the
// modem lines and the event state.
struct SerialState {
    std::uint32_t baudRate = 9600;
    std::uint8_t baudCode = 0;
    bool baudPending = false;
    std::uint8_t stopBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t wordLength = 8;
    std::uint8_t lineControl = 0;
    SerialTimeouts timeouts;
    SerialChars chars;
    SerialHandflow handflow;
    std::uint32_t queueSize = kBufferSize;
    std::uint32_t waitMask = 0;
    std::uint32_t pendingEvents = 0;
    std::uint32_t modemStatus = 0;
    std::uint32_t modemControl = 0;
    CommStatus commStatus;
    std::uint8_t escapeChar = 0;
    PerfStats stats;
};

// The data paths' buffers, allocated once when the port is created. The
// unread count of the receive ring is the comm status's AmountInInQueue.
struct PortBuffers {
    std::array<std::uint8_t, kBufferSize> receive {};
    std::uint32_t receiveRead = 0;
    std::uint32_t receiveWrite = 0;
    // The ring holds what arrived for a program on its way to the closed
    // port (its front end's probe said so): the open keeps it.
    bool keptForProgram = false;
    // An incomplete framed packet, kept until the rest of it arrives.
    std::array<std::uint8_t, kBufferSize> reassembly {};
    std::uint32_t reassemblyFill = 0;
    // With framing it begins with a DataPacket header slot.
    std::array<std::uint8_t, kBufferSize> transmit {};
    std::uint32_t transmitFill = 0;
};

// Receive flow control towards the device server: a stop is sent once when
// the receive buffer fills up, a resume once when it has drained (by reads,
// a purge or a new connection). The two flags say what is due;
// deviceStopped what the flow-control job last told the device server.
struct ReceiveFlow {
    bool stopSent = false;
    bool resumeSent = false;
    bool deviceStopped = false;
};

// Bytes the transport offers beyond an indication land here.
struct ReceiveRemainder {
    std::array<std::uint8_t, kBufferSize> buffer {};
};

// The port's deferred jobs, each with its own work item.
enum class PortJob {
    Naming,
    WriteLocalPort,
    ServerAccept,
    ServerRestart,
    UdpHelloReply,
    FlowControl,
    Reconnect,
    TelnetSend, // answers of an RFC 2217 link that the network thread cannot send itself
    Count
};

// Where an RFC 2217 link's COM-PORT-OPTION stands.
enum class ComPortOption : std::uint8_t {
    None, // no RFC 2217 connection
    Asked, // the server has not answered yet
    Agreed, // settings and modem lines reach the serial line
    Refused, // the server carries data only; settings wait in case it agrees
};

struct PortDevice;
class ReceiveTap;
class ProgramProbe;
struct JobRecord {
    PortJob job = PortJob::Naming;
    PortDevice* port = nullptr;
    std::unique_ptr<host::WorkItem> item;
};

// `PortDevice`: the record of one virtual port, created with its device
// object and freed with it.
struct PortDevice final : host::DeviceExtension {
    host::Host* host = nullptr;

    // Identity and naming.
    host::DeviceNode* node = nullptr; // the node's bus device belongs to it
    host::Device* self = nullptr;
    host::Device* lower = nullptr;
    std::uint32_t portNumber = 0;
    FixedText<128> deviceName; // "\Device\Serial11"
    FixedText<192> interfaceLink; // as the interface registration returned it
    std::mutex namingMutex; // protects the names below and their two flags
    FixedText<108> dosLinkName; // "\DosDevices\COM5"
    FixedText<96> portName; // "COM5"; 32 wide characters in UTF-8
    bool linkCreated = false;
    bool mapWritten = false;

    // Plug-and-play state.
    host::PortLock stateLock { host::LockRank::State }; // protects state and previousState
    PortState state = PortState::NotStarted;
    PortState previousState = PortState::NotStarted;

    // Outstanding requests.
    host::PortLock counterLock { host::LockRank::Counter }; // protects requestCount and the two events' changes
    std::int32_t requestCount = 1;
    host::Event idleEvent { host::Event::Kind::Notification, true };
    host::Event goneEvent { host::Event::Kind::Notification, false };

    std::atomic<bool> openFlag { false };
    std::atomic<bool> startFlag { false };

    // Written at creation and by the control requests; the transport reads it.
    PortConfig config;

    // Serial emulation, events and pending requests.
    host::PortLock dataLock {
        host::LockRank::Data
    }; // protects serial, the pending requests, receiveFlow, receiveTap and the receive and reassembly buffers
    SerialState serial;
    host::RequestPtr pendingWait;
    host::RequestPtr pendingRead;
    ReceiveFlow receiveFlow;
    std::mutex flowSendMutex; // one flow-control packet at a time, in the order decided
    ReceiveTap* receiveTap = nullptr; // offered arriving bytes while the receive buffer is empty
    std::weak_ptr<const ProgramProbe> programProbe; // says a program is on its way while the port is closed

    // Writes share one transmit buffer; a second writer waits for the first.
    std::mutex transmitMutex; // protects the transmit buffer and its fill count

    std::unique_ptr<PortBuffers> buffers;
    std::unique_ptr<ReceiveRemainder> remainder;
    std::array<char, 20> serverScratch {};
    std::unique_ptr<host::KernelTimer> readTimer;
    std::array<JobRecord, static_cast<std::size_t>(PortJob::Count)> jobs;

    LocalPortSequence* localPorts = nullptr; // the driver's, shared by every port
    std::unique_ptr<PortTransport> transport;
    // What the RFC 2217 server of the current connection said to COM-PORT-OPTION.
    std::atomic<ComPortOption> comPortOption { ComPortOption::None };
};

} // namespace driver
