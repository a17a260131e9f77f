#pragma once

#include "driver/host/device.h"
#include "driver/host/host.h"
#include "driver/local_ports.h"
#include "driver/port_device.h"
#include "driver/transport.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

namespace driver {

// The hardware IDs whose nodes this driver serves.
inline constexpr std::string_view kHardwareId = "ZORV\\Rure";
inline constexpr std::string_view kSecondHardwareId = "ZORV\\Kesser";
inline constexpr std::string_view kComPortInterfaceGuid = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
inline constexpr std::string_view kDeviceNamePrefix = "\\Device\\Serial";
inline constexpr std::string_view kDosDevicesPrefix = "\\DosDevices\\";
inline constexpr std::string_view kSerialCommMap = "SERIALCOMM";
inline constexpr std::uint32_t kFileDeviceSerialPort = 0x1B;

// `VORPIL`: one virtual COM port per device node.
class VorpilDriver final : public host::Driver {
public:
    explicit VorpilDriver(TransportFactory* transports = nullptr);

    NtStatus addDevice(host::Host& host, host::DeviceNode& node) override;
    NtStatus dispatch(host::Device& device, const host::RequestPtr& request) override;

    // The last port number handed out; the first port gets 11.
    std::uint32_t portCounter() const { return m_portCounter.load(); }
    // The local port of the next client connection.
    std::uint16_t nextLocalPort() const { return m_localPorts.next(); }

private:
    NtStatus open(PortDevice& port, host::Request& request);
    NtStatus cleanup(PortDevice& port, host::Request& request);
    NtStatus close(PortDevice& port, host::Request& request);
    NtStatus deviceControl(PortDevice& port, const host::RequestPtr& request);
    NtStatus readWrite(PortDevice& port, const host::RequestPtr& request);
    NtStatus pnp(PortDevice& port, const host::RequestPtr& request);
    NtStatus remove(PortDevice& port, const host::RequestPtr& request);
    NtStatus passDown(PortDevice& port, const host::RequestPtr& request);
    NtStatus queryInformation(host::Request& request);
    NtStatus setInformation(host::Request& request);
    // Frees what creation allocated and deletes the device (creation failures).
    void discard(PortDevice& port, host::Device& device);

    TransportFactory* m_transports;
    std::atomic<std::uint32_t> m_portCounter { 10 };
    LocalPortSequence m_localPorts;
};

// A modem-status report from the device server (a received `ControlPacket`,
// bytes 3 to 5: code and arguments). Called by the transport's receive side.
void reportModemStatus(PortDevice& port, std::span<const std::uint8_t> packet);

} // namespace driver
