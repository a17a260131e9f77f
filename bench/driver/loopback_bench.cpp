// Moves data through a raw TCP virtual port to a loopback echo peer and back,
// and through socat bridging a pty to the same peer, in the same run; prints
// the round-trip latency and throughput of both and their ratios. The port
// paces its writes at the highest baud rate, as a device server would need.
//
// Run inside a network namespace of its own:
//   scripts/netns-exec.sh build/bin/bench_driver_loopback [round-trips] [kilobytes]

#include "bench/bench_arguments.h"
#include "common/serial_ioctl.h"
#include "driver/host/host.h"
#include "driver/socket_transport.h"
#include "driver/vorpil_driver.h"
#include "platform/child_process.h"
#include "platform/serial_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace common;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint16_t kEchoPort = 47301;
constexpr std::uint32_t kBaud = 921600;
constexpr std::size_t kMessage = 32;
constexpr std::size_t kBlock = 4096;

struct Figures {
    double roundTripMicros = 0;
    double kilobytesPerSecond = 0;
};

Bytes pattern(std::size_t length, std::size_t seed)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>((i + seed) % 251);
    return bytes;
}

// The two ways to the echo peer, as an application sees a serial port.
class Line {
public:
    virtual ~Line() = default;
    virtual bool write(const Bytes& bytes) = 0;
    // Blocks until something arrives; appends it.
    virtual bool readSome(Bytes& out) = 0;
};

class VirtualPortLine final : public Line {
public:
    explicit VirtualPortLine(driver::host::FileHandle& handle)
        : m_handle(handle)
    {
        std::uint8_t mask[4] = {};
        storeMask(mask, kSerialEvRxChar);
        m_handle.deviceIoControl(kIoctlSerialSetWaitMask, mask, 0);
        std::uint8_t baud[4] = {};
        storeMask(baud, kBaud);
        m_handle.deviceIoControl(kIoctlSerialSetBaudRate, baud, 0);
    }
    bool write(const Bytes& bytes) override { return ntSuccess(m_handle.write(bytes).status); }
    bool readSome(Bytes& out) override
    {
        for (;;) {
            const auto reply = m_handle.read(kBlock);
            if (!ntSuccess(reply.status))
                return false;
            if (reply.information > 0) {
                out.insert(out.end(), reply.output.begin(),
                    reply.output.begin() + static_cast<std::ptrdiff_t>(reply.information));
                return true;
            }
            if (!ntSuccess(m_handle.deviceIoControl(kIoctlSerialWaitOnMask, {}, 4).status))
                return false;
        }
    }

private:
    static void storeMask(std::uint8_t* out, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    driver::host::FileHandle& m_handle;
};

class PtyLine final : public Line {
public:
    explicit PtyLine(platform::SerialPort& port)
        : m_port(port)
    {
        platform::SerialSettings settings;
        settings.baud = kBaud;
        (void)m_port.configure(settings);
        (void)m_port.setTimeouts({ platform::SerialTimeouts::kReturnAtOnce, 0, 0, 0, 0 });
        (void)m_port.setEventMask(platform::kSerialEventRxChar);
    }
    bool write(const Bytes& bytes) override { return m_port.write(bytes.data(), bytes.size()).ok(); }
    bool readSome(Bytes& out) override
    {
        std::uint8_t buffer[kBlock];
        for (;;) {
            const auto result = m_port.read(buffer, sizeof buffer, std::chrono::seconds(5));
            if (!result.ok())
                return false;
            if (result.count > 0) {
                out.insert(out.end(), buffer, buffer + result.count);
                return true;
            }
            std::uint32_t events = 0;
            if (!m_port.waitEvent(std::chrono::seconds(5), events).ok())
                return false;
        }
    }

private:
    platform::SerialPort& m_port;
};

bool echo(Line& line, const Bytes& message)
{
    if (!line.write(message))
        return false;
    Bytes back;
    while (back.size() < message.size()) {
        if (!line.readSome(back))
            return false;
    }
    return back == message;
}

bool measure(Line& line, int roundTrips, std::size_t kilobytes, Figures& figures)
{
    echo(line, pattern(kMessage, 0)); // warm-up
    auto start = Clock::now();
    for (int i = 0; i < roundTrips; ++i) {
        if (!echo(line, pattern(kMessage, static_cast<std::size_t>(i))))
            return false;
    }
    figures.roundTripMicros
        = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / static_cast<double>(roundTrips);

    const std::size_t blocks = kilobytes * 1024 / kBlock;
    start = Clock::now();
    for (std::size_t i = 0; i < blocks; ++i) {
        if (!echo(line, pattern(kBlock, i)))
            return false;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.kilobytesPerSecond = static_cast<double>(blocks * kBlock * 2) / 1024.0 / seconds;
    return true;
}

platform::ChildProcess start(const std::string& command, const char* readyText)
{
    auto child = platform::ChildProcess::start({ "sh", "-c", "exec " + command + " 2>&1" });
    if (!child) {
        std::fprintf(stderr, "cannot start: %s\n", command.c_str());
        std::exit(1);
    }
    for (int i = 0; i < 50; ++i) {
        auto line = child.value().readLine(std::chrono::seconds(5));
        if (!line)
            break;
        if (line.value().find(readyText) != std::string::npos)
            return std::move(child.value());
    }
    std::fprintf(stderr, "not ready: %s\n", command.c_str());
    std::exit(1);
}

std::uint32_t networkWord(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return a | b << 8 | c << 16 | static_cast<std::uint32_t>(d) << 24;
}

} // namespace

int main(int argc, char** argv)
{
    int roundTrips = 200;
    int kilobyteCount = 256;
    if (const int status = bench::parseArguments(argc, argv, "bench_driver_loopback",
            "Round trips and throughput through a virtual port to an echo peer (inside a network namespace: "
            "scripts/netns-exec.sh).",
            { { "ROUND_TRIPS", &roundTrips, "round trips" }, { "KILOBYTES", &kilobyteCount, "KiB sent" } });
        status != cli::kContinue)
        return status;
    const std::size_t kilobytes = static_cast<std::size_t>(kilobyteCount);

    auto echoPeer = start(
        "socat -d -d TCP-LISTEN:" + std::to_string(kEchoPort) + ",bind=127.0.0.1,reuseaddr,fork PIPE", "listening on");

    // The virtual port: a raw TCP client of the echo peer.
    driver::SocketTransports sockets;
    driver::VorpilDriver vorpil(&sockets);
    driver::host::Host host;
    host.registerDriver(driver::kHardwareId, vorpil);
    host.start();
    std::string id;
    host.createNode(driver::kHardwareId, id);
    const std::string key = host.findNode(id)->hardwareKeyPath();
    auto& registry = host.registry();
    registry.setString(key, "PortName", "COM5");
    registry.setDword(key, "RemoteHostIP", networkWord(127, 0, 0, 1));
    registry.setDword(key, "RemoteHostPort", static_cast<std::uint16_t>(kEchoPort >> 8 | kEchoPort << 8));
    registry.setDword(key, "Protocol", 0);
    registry.setDword(key, "ConnectAtWinStart", 1);
    registry.setDword(key, "ConnType", 1);
    registry.setDword(key, "CmdByte", 0);
    registry.setDword(key, "MaxPacketLen", 1460);
    registry.setDword(key, "LocalPort", 0x7117);
    host.bringUpNode(id);
    host.workers().drain();
    std::unique_ptr<driver::host::FileHandle> handle;
    if (!ntSuccess(host.open("COM5", handle)) || !handle) {
        std::fprintf(stderr, "cannot open the virtual port\n");
        return 1;
    }

    // The peer program's way: socat joins a pty to the same echo peer.
    const std::string tty = "/tmp/bench_driver_pty_" + std::to_string(echoPeer.pid());
    auto bridge = start("socat -d -d PTY,link=" + tty + ",rawer TCP:127.0.0.1:" + std::to_string(kEchoPort),
        "starting data transfer loop");
    auto serial = platform::openSerialPort(tty, platform::RealClock::instance());
    if (!serial) {
        std::fprintf(stderr, "cannot open %s\n", tty.c_str());
        return 1;
    }

    VirtualPortLine portLine(*handle);
    PtyLine ptyLine(*serial.value());
    Figures port;
    Figures pty;
    if (!measure(portLine, roundTrips, kilobytes, port) || !measure(ptyLine, roundTrips, kilobytes, pty)) {
        std::fprintf(stderr, "echo failed\n");
        return 1;
    }
    std::printf("%-28s %14s %16s\n", "path", "round trip us", "throughput KiB/s");
    std::printf("%-28s %14.1f %16.1f\n", "virtual port (paced)", port.roundTripMicros, port.kilobytesPerSecond);
    std::printf("%-28s %14.1f %16.1f\n", "socat pty bridge", pty.roundTripMicros, pty.kilobytesPerSecond);
    std::printf("ratio port/socat: round trip %.2f, throughput %.3f\n", port.roundTripMicros / pty.roundTripMicros,
        port.kilobytesPerSecond / pty.kilobytesPerSecond);
    std::printf("(%d round trips of %zu bytes; %zu KiB echoed in %zu-byte blocks; pacing at %u baud)\n", roundTrips,
        kMessage, kilobytes, kBlock, kBaud);
    handle->close();
    return 0;
}
