#pragma once

#include "common/ntstatus.h"
#include "driver/host/host.h"
#include "driver/packets.h"
#include "driver/port_device.h"
#include "driver/transport.h"
#include "driver/vorpil_driver.h"
#include "platform/clock.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace driver_testing {

using common::NtStatus;

// A port's network side that records what the port sends instead of
// sending it; it reports itself connected unless told otherwise.
class RecordingTransport final : public driver::PortTransport {
public:
    explicit RecordingTransport(bool connected)
        : m_connected(connected)
    {
    }
    bool connected() const override { return m_connected.load(); }
    NtStatus sendControlPacket(const driver::ControlPacket& packet) override;
    NtStatus connectAtOpen() override;
    void closeForRemoval() override { ++m_removals; }

    void setConnected(bool connected) { m_connected = connected; }
    void failSends(NtStatus status) { m_sendStatus = status; }
    // Every packet sent so far, as its bytes on the wire.
    std::vector<std::vector<std::uint8_t>> packets() const;
    void clear();
    int connects() const { return m_connects.load(); }
    int removals() const { return m_removals.load(); }

private:
    std::atomic<bool> m_connected;
    std::atomic<NtStatus> m_sendStatus { common::kStatusSuccess };
    std::atomic<int> m_connects { 0 };
    std::atomic<int> m_removals { 0 };
    mutable std::mutex m_mutex; // protects m_packets
    std::vector<std::vector<std::uint8_t>> m_packets;
};

class RecordingTransports final : public driver::TransportFactory {
public:
    std::unique_ptr<driver::PortTransport> create(driver::PortDevice& port) override;
    // The transport of the nth port created (0 = first).
    RecordingTransport& at(std::size_t index);
    bool connectNew = true;

private:
    std::mutex m_mutex; // protects m_created
    std::vector<std::shared_ptr<RecordingTransport>> m_created; // outlive their ports, for inspection
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
    std::unique_ptr<driver::host::Host> m_host;
};

// Little-endian argument records.
std::vector<std::uint8_t> le32(std::initializer_list<std::uint32_t> words);
std::uint32_t wordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset = 0);

} // namespace driver_testing
