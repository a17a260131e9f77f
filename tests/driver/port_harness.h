#pragma once

#include "common/ntstatus.h"
#include "driver/host/host.h"
#include "driver/packets.h"
#include "driver/port_device.h"
#include "driver/transport.h"
#include "driver/vorpil_driver.h"
#include "platform/clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace driver_testing {

using common::NtStatus;

// Virtual time that moves only when a test (or a sleeping writer) moves it:
// a timer armed for 1 ms fires only once the test has advanced the clock,
// so what happens before the timer is under the test's control.
class SteppedClock final : public platform::Clock {
public:
    platform::TimePoint now() const override;
    platform::WallTime wallNow() const override;
    void sleepFor(platform::Duration duration) override { advance(duration); }
    void advance(platform::Duration duration);

protected:
    platform::Duration realSlice(platform::Duration) const override { return std::chrono::microseconds(100); }

private:
    mutable std::mutex m_mutex; // protects m_now
    platform::TimePoint m_now = platform::TimePoint {} + std::chrono::hours(1);
};

// A port's network side that records what the port sends instead of
// sending it; it reports itself connected unless told otherwise.
class RecordingTransport final : public driver::PortTransport {
public:
    // One send of the transmit buffer and the clock's time at that moment.
    struct Send {
        std::vector<std::uint8_t> bytes;
        platform::TimePoint at;
    };

    RecordingTransport(bool connected, platform::Clock* clock)
        : m_connected(connected)
        , m_clock(clock)
    {
    }
    bool connected() const override { return m_connected.load(); }
    bool serverMode() const override { return false; }
    bool reconnectPending() const override { return m_reconnectPending.load(); }
    NtStatus sendControlPacket(const driver::ControlPacket& packet) override;
    NtStatus sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken) override;
    NtStatus reconnect() override;
    void abandonStream() override;
    NtStatus connectAtOpen() override;
    NtStatus openAsClient() override { return connectAtOpen(); }
    NtStatus startServer() override { return common::kStatusSuccess; }
    NtStatus disconnect() override;
    NtStatus closeTransport() override { return disconnect(); }
    void closeForRemoval() override { ++m_removals; }

    void setConnected(bool connected) { m_connected = connected; }
    // The peer left: the next write reconnects, successfully or not.
    void dropConnection(bool reconnectSucceeds);
    void failSends(NtStatus status) { m_sendStatus = status; }
    // Control sends wait, as behind a device server that reads nothing,
    // until released; each is recorded when it starts.
    void holdControlSends(bool hold);
    int heldControlSends() const { return m_held.load(); }
    // Makes the nth data send from now (1 = the next) fail with `status`,
    // the network having taken `taken` of its bytes (as of any failed send).
    void failNthDataSend(int nth, NtStatus status, std::size_t taken = 0);
    // Every packet sent so far, as its bytes on the wire.
    std::vector<std::vector<std::uint8_t>> packets() const;
    std::vector<Send> dataSends() const;
    // Control packets and data sends together, in the order they went.
    std::vector<std::vector<std::uint8_t>> wire() const;
    void clear();
    int connects() const { return m_connects.load(); }
    int reconnects() const { return m_reconnects.load(); }
    int removals() const { return m_removals.load(); }
    int abandons() const { return m_abandons.load(); }

private:
    std::atomic<bool> m_connected;
    platform::Clock* m_clock;
    std::atomic<bool> m_reconnectPending { false };
    std::atomic<bool> m_reconnectSucceeds { true };
    std::atomic<NtStatus> m_sendStatus { common::kStatusSuccess };
    std::atomic<int> m_connects { 0 };
    std::atomic<int> m_reconnects { 0 };
    std::atomic<int> m_removals { 0 };
    std::atomic<int> m_abandons { 0 };
    std::atomic<int> m_held { 0 };
    mutable std::mutex m_mutex; // protects m_packets, m_sends, m_holding and the data-send fault
    std::condition_variable m_released;
    bool m_holding = false;
    std::vector<std::vector<std::uint8_t>> m_packets;
    std::vector<Send> m_sends;
    std::vector<std::vector<std::uint8_t>> m_wire;
    int m_failCountdown = 0;
    NtStatus m_failStatus = common::kStatusSuccess;
    std::size_t m_takenOnFailure = 0;
};

class RecordingTransports final : public driver::TransportFactory {
public:
    std::unique_ptr<driver::PortTransport> create(driver::PortDevice& port) override;
    // The transport of the nth port created (0 = first).
    RecordingTransport& at(std::size_t index);
    bool connectNew = true;
    platform::Clock* clock = nullptr;

private:
    std::mutex m_mutex; // protects m_created
    std::vector<std::shared_ptr<RecordingTransport>> m_created; // outlive their ports, for inspection
};

// The per-port registry values a test gives a new port, as numbers: the
// driver keeps the address and ports in network byte order.
struct PortSettings {
    std::string remoteHost = "192.168.0.2";
    std::uint16_t remotePort = 5000;
    std::uint32_t protocol = 0; // 0 TCP, 1 UDP
    std::uint32_t connectAtWinStart = 0;
    std::uint32_t connType = 1; // 1 client, 0 server
    std::uint32_t cmdByte = 1;
    std::uint32_t maxPacketLen = 450;
    std::uint16_t localPort = 6001;
    std::uint32_t wireProtocol = 0; // written only when not 0, as a port that never had the value
    std::uint32_t pacing = 1; // written only when 0, as a port that never had the value
};

// A driver host with the port driver registered, as the system runs it:
// nodes are created like the utility creates them, and ports are opened and
// driven like an application does.
class PortHarness {
public:
    struct Options {
        platform::Clock* clock = nullptr; // a FakeClock of the harness when null
        std::string registryFile;
        bool connected = true;
        // Real transports (the driver's socket transport) instead of recording ones.
        driver::TransportFactory* transports = nullptr;
        int workerThreads = 2;
    };
    PortHarness();
    explicit PortHarness(Options options);
    ~PortHarness();

    driver::host::Host& host() { return *m_host; }
    driver::VorpilDriver& driver() { return m_driver; }
    RecordingTransports& transports() { return m_transports; }
    platform::Clock& clock() { return *m_clock; }

    // Creates a node with the given PortName (none when empty) and starts it;
    // returns the start status and waits for the naming job.
    NtStatus addPort(const std::string& portName, std::string* instanceId = nullptr);
    // The same with the port's configuration values written first.
    NtStatus addPort(const std::string& portName, const PortSettings& settings, std::string* instanceId = nullptr);
    // The record of "\Device\Serial<number>", or null.
    driver::PortDevice* port(std::uint32_t number);
    std::unique_ptr<driver::host::FileHandle> open(const std::string& path, NtStatus* status = nullptr);
    // Lets queued jobs run.
    void settle();

private:
    std::unique_ptr<platform::FakeClock> m_ownClock;
    platform::Clock* m_clock;
    RecordingTransports m_transports;
    driver::VorpilDriver m_driver;
    std::optional<PortSettings> m_settings;
    std::unique_ptr<driver::host::Host> m_host;
};

// Little-endian argument records.
std::vector<std::uint8_t> le32(std::initializer_list<std::uint32_t> words);
std::uint32_t wordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset = 0);
// The configuration's form of an address and a port: network byte order as a
// little-endian load of the bytes.
std::uint32_t networkAddress(const std::string& dotted);
std::uint16_t networkPort(std::uint16_t port);
// Bytes 0, 1, 2 ... of a given length (wrapping at 251 so runs are not periodic in 256).
std::vector<std::uint8_t> patternBytes(std::size_t length, std::uint8_t seed = 0);

} // namespace driver_testing
