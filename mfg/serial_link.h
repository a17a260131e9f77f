#pragma once

#include "platform/clock.h"
#include "platform/com_names.h"
#include "platform/port_io.h"
#include "platform/prompter.h"
#include "platform/serial_port.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace mfg {

// Opens the device behind a COM name ("COM3").
using SerialOpener = std::function<platform::Result<std::unique_ptr<platform::SerialPort>>(const std::string& comName)>;

// COM names through the resolver, waits on `clock`.
SerialOpener systemSerialOpener(platform::Clock& clock, platform::ComNameResolver resolver);

// UART I/O base of the legacy port with this COM index (COM number - 1).
std::uint16_t legacyBaseForIndex(int comIndex);

// The program's COM port: the open port, its event masks and buffers, and
// the transport in use.
class SerialLink {
public:
    static constexpr std::size_t kReceiveBufferSize = 1000;
    static constexpr std::size_t kSendBufferSize = 16;

    SerialLink(SerialOpener opener, platform::Prompter& prompter);

    // Opens COM1..COM4 for the index (any other index: COM1) for direct
    // access: 115200 baud when fast, else 9600, 8N1, reads return at once.
    bool OpenLegacyPort(bool fast, int comIndex);
    // Opens the named port through the serial driver: mode 2 921600, mode 1
    // 115200, mode 0 9600 baud; 8 data bits, 1 stop bit; even parity unless
    // `noParity`; DTR and RTS on.
    bool OpenUsbPort(int mode, const std::string& comName, bool noParity);
    void close();

    bool isOpen() const { return m_port != nullptr; }
    platform::SerialPort* port() { return m_port.get(); }

    // Serial-driver access (true) or direct UART access (false).
    bool UsbPort() const { return m_usbPort; }
    void setUsbPort(bool usbPort) { m_usbPort = usbPort; }
    // The open port is a USB serial adapter (not a pseudo-terminal, a
    // virtual port or a UART of the machine).
    bool usbAttached() const { return m_usbAttached; }

    // Sets the comm-event mask on the port and remembers it.
    void setWaitMask(std::uint32_t mask);
    std::uint32_t waitMask() const { return m_waitMask; }
    std::uint32_t eventMask() const { return m_eventMask; }
    void setEventMask(std::uint32_t events) { m_eventMask = events; }

    std::array<std::uint8_t, kReceiveBufferSize>& receiveBuffer() { return m_receiveBuffer; }
    std::array<std::uint8_t, kSendBufferSize>& sendBuffer() { return m_sendBuffer; }
    std::uint32_t transferred() const { return m_transferred; }
    void setTransferred(std::uint32_t count) { m_transferred = count; }

private:
    SerialOpener m_opener;
    platform::Prompter& m_prompter;
    std::unique_ptr<platform::SerialPort> m_port;
    std::uint32_t m_waitMask = 0;
    std::uint32_t m_eventMask = 0;
    std::array<std::uint8_t, kReceiveBufferSize> m_receiveBuffer {};
    std::array<std::uint8_t, kSendBufferSize> m_sendBuffer {};
    std::uint32_t m_transferred = 0;
    bool m_usbPort = false;
    bool m_usbAttached = false;
};

// Whether the character device at `devicePath` (or with the device numbers
// `deviceMajor`:`deviceMinor`) is a USB serial adapter, as `sysRoot`'s device tree shows.
bool usbSerialDevice(const std::string& devicePath, const std::string& sysRoot = "/sys");
bool usbSerialDevice(unsigned deviceMajor, unsigned deviceMinor, const std::string& sysRoot = "/sys");

// Programs the legacy UART at `base` for ISP: 115200 baud when fast, else
// 9600; 8 data bits, even parity, 1 stop bit; FIFOs on; DTR, RTS and OUT2.
void InitUart(platform::PortIo& io, std::uint16_t base, bool fast);

} // namespace mfg
