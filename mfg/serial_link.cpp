#include "mfg/serial_link.h"

#include <filesystem>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace mfg {

namespace {
constexpr const char* kHandleInUse = "usb: Error HANDLE value for COM\r\n";
constexpr const char* kOpenFailed = "usb: hCOM == INVALID_HANDLE_VALUE";
constexpr const char* kGetStateFailed = "usb: GetCommState(hCOM, &dCB)\n";
constexpr const char* kSetStateFailed = "usb: SetCommState(hCOM, &dCB)";
constexpr const char* kSetTimeoutsFailed = "usb: SetCommState(hCOM, &ct)";
} // namespace

SerialOpener systemSerialOpener(platform::Clock& clock, platform::ComNameResolver resolver)
{
    return [&clock, resolver](const std::string& comName) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
        const std::string path = resolver.resolve(comName);
        if (path.empty())
            return platform::Error { "no device for " + comName, 0 };
        return platform::openSerialPort(path, clock);
    };
}

std::uint16_t legacyBaseForIndex(int comIndex)
{
    switch (comIndex) {
    case 1:
        return 0x2F8;
    case 2:
        return 0x3E8;
    case 3:
        return 0x2E8;
    default:
        return 0x3F8;
    }
}

SerialLink::SerialLink(SerialOpener opener, platform::Prompter& prompter)
    : m_opener(std::move(opener))
    , m_prompter(prompter)
{
}

void SerialLink::close()
{
    m_port.reset();
    m_usbAttached = false;
    m_waitMask = 0;
}

void SerialLink::setWaitMask(std::uint32_t mask)
{
    m_waitMask = mask;
    if (m_port)
        (void)m_port->setEventMask(mask);
}

bool SerialLink::OpenLegacyPort(bool fast, int comIndex)
{
    static const char* const kNames[] = { "COM1", "COM2", "COM3", "COM4" };
    const char* name = (comIndex >= 0 && comIndex <= 3) ? kNames[comIndex] : kNames[0];
    m_port.reset();
    auto opened = m_opener(name);
    if (!opened)
        return false;
    std::unique_ptr<platform::SerialPort> port = std::move(opened.value());
    (void)port->setQueueSizes(1, 1);
    (void)port->purge();
    auto current = port->settings();
    if (!current)
        return false;
    platform::SerialSettings settings = current.value();
    settings.baud = fast ? 115200 : 9600;
    settings.dataBits = 8;
    settings.parity = platform::Parity::None;
    settings.stopBits = 1;
    if (!port->configure(settings))
        return false;
    platform::SerialTimeouts timeouts;
    timeouts.readInterval = platform::SerialTimeouts::kReturnAtOnce;
    if (!port->setTimeouts(timeouts))
        return false;
    m_port = std::move(port);
    return true;
}

bool SerialLink::OpenUsbPort(int mode, const std::string& comName, bool noParity)
{
    if (m_port) {
        m_prompter.message(kHandleInUse);
        return false;
    }
    m_waitMask = 0;
    m_eventMask = 0;
    auto opened = m_opener(comName);
    if (!opened) {
        m_prompter.message(kOpenFailed);
        return false;
    }
    std::unique_ptr<platform::SerialPort> port = std::move(opened.value());
    (void)port->setQueueSizes(2048, 2048);
    (void)port->purge();
    auto current = port->settings();
    if (!current) {
        m_prompter.message(kGetStateFailed);
        return false;
    }
    platform::SerialSettings settings = current.value();
    settings.baud = mode == 2 ? 921600 : (mode == 1 ? 115200 : 9600);
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.parity = noParity ? platform::Parity::None : platform::Parity::Even;
    settings.parityCheck = !noParity;
    settings.dtr = true;
    settings.rts = true;
    if (!port->configure(settings)) {
        m_prompter.message(kSetStateFailed);
        return false;
    }
    platform::SerialTimeouts timeouts;
    timeouts.readInterval = 2;
    timeouts.readMultiplier = 160;
    timeouts.readConstant = 320;
    timeouts.writeMultiplier = 240;
    timeouts.writeConstant = 240;
    if (!port->setTimeouts(timeouts)) {
        m_prompter.message(kSetTimeoutsFailed);
        return false;
    }
    m_usbAttached = usbSerialDevice(port->devicePath());
    m_port = std::move(port);
    return true;
}

bool usbSerialDevice(const std::string& devicePath, const std::string& sysRoot)
{
    struct stat status { };
    if (devicePath.empty() || ::stat(devicePath.c_str(), &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    return usbSerialDevice(major(status.st_rdev), minor(status.st_rdev), sysRoot);
}

bool usbSerialDevice(unsigned deviceMajor, unsigned deviceMinor, const std::string& sysRoot)
{
    // The kernel's view of the character device: a USB adapter's tty sits
    // below its USB interface; a pseudo-terminal has no entry at all, and a
    // UART on the board or a PCI card sits elsewhere.
    std::error_code error;
    const auto where = std::filesystem::canonical(
        sysRoot + "/dev/char/" + std::to_string(deviceMajor) + ":" + std::to_string(deviceMinor), error);
    if (error)
        return false;
    for (const auto& part : where)
        if (part.string().rfind("usb", 0) == 0)
            return true;
    return false;
}

void InitUart(platform::PortIo& io, std::uint16_t base, bool fast)
{
    io.Out32(base + 1, 0x00); // no interrupts
    io.Out32(base + 3, 0x80); // divisor latch access
    io.Out32(base + 0, fast ? 0x01 : 0x0C); // 115200 or 9600 baud
    io.Out32(base + 1, 0x00);
    io.Out32(base + 3, 0x00);
    io.Out32(base + 3, 0x1B); // 8 data bits, even parity, 1 stop bit
    io.Out32(base + 2, 0xC7); // FIFOs on and cleared, 14-byte trigger
    io.Out32(base + 4, 0x0B); // DTR, RTS, OUT2
}

} // namespace mfg
