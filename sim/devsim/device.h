#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"
#include "sim/devsim/data_channel.h"
#include "sim/devsim/device_config.h"
#include "sim/devsim/serial_side.h"
#include "sim/devsim/status_page.h"
#include "sim/devsim/tftp_client.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::devsim {

// Misbehaviour a device can be told to show, for failure tests of its peers.
enum class FaultMode {
    None,
    Silent, // reads everything, answers nothing, acts on nothing
    Twice, // sends every reply two times
    ShortReply, // cuts replies short (records to 64 bytes, status to 20)
    BadSignature, // replies start with "ZORVVROX"
};
std::string_view faultModeName(FaultMode mode);
bool parseFaultMode(std::string_view text, FaultMode& mode);

inline constexpr std::size_t kShortRecordSize = 64;
inline constexpr std::size_t kShortStatusSize = 20;

// What a device knows about itself beside its settings.
struct DeviceStatus {
    std::string firmwareVersion = "1.0.0"; // at most 12 characters on the wire
    std::uint8_t modemStatus = 0;
    std::uint8_t connectionState = 0; // of the data channel: 0 idle, 1 connected
    std::uint32_t serialTxCount = 0;
    std::uint32_t serialRxCount = 0;
    bool operator==(const DeviceStatus&) const = default;
};

// How a device's data channel is framed and what plays its serial peer.
// The settings record has no field for the framing: a device is built for
// one kind of port, and the port's default is framed.
struct DataOptions {
    bool framing = true;
    SerialMode serial = SerialMode::Pty;
};

// Everything a device starts with. Its settings are also its factory settings.
struct DeviceDefinition {
    DeviceConfig settings;
    DeviceStatus status;
    FaultMode fault = FaultMode::None;
    DataOptions data;
};

// Settings shared by every device of one simulator.
struct SimulatorOptions {
    // 0 = any free port (tests); the program uses the fixed ports.
    std::uint16_t broadcastPort = kBroadcastPort;
    std::uint16_t multicastPort = kMulticastPort;
    std::uint16_t unicastPort = kUnicastPort;
    platform::Ipv4 multicastGroup = 0xE1010203; // 225.1.2.3
    platform::Ipv4 multicastInterface = 0x7F000001; // lo
    platform::Duration rebootTime = std::chrono::seconds(3);
    bool rebootReply = false; // answer Reboot with a RebootReply before restarting
    std::uint16_t tftpPort = 69;
    platform::Duration tftpTimeout = std::chrono::seconds(1);
    int tftpRetries = 5;
    // How long a client-mode device waits before it tries its destination again.
    platform::Duration reconnectTime = std::chrono::seconds(5);
    bool verbose = false; // log every datagram and data-channel packet
    // The web page every device serves on its address; 0 = none.
    std::uint16_t httpPort = 80;
};

// Log lines of the simulator: events always, datagrams when verbose.
class DeviceLog {
public:
    using Sink = std::function<void(const std::string&)>;
    DeviceLog(Sink sink, bool verbose)
        : m_sink(std::move(sink))
        , m_verbose(verbose)
    {
    }
    void event(const std::string& line) const
    {
        if (m_sink)
            m_sink(line);
    }
    void datagram(const std::string& line) const
    {
        if (m_verbose)
            event(line);
    }
    bool verbose() const { return m_verbose; }

private:
    Sink m_sink;
    bool m_verbose;
};

// The firmware version a device shows after loading an image: the printable
// characters after the first "VERSION=" in the image, or else the image's
// first line (up to CR, LF or NUL, printable characters only, trimmed), at
// most 12 characters; "unknown" when that leaves nothing.
std::string versionFromFirmware(std::span<const std::uint8_t> image);

// One simulated device server: its settings record, its management port on
// its own address, restarts, firmware upgrades over TFTP, and its serial port
// with the data channel that carries it. Broadcast and multicast queries
// reach it through the simulator's shared sockets.
//
// The serial side (a pty or a loopback plug) lives as long as the device is
// started, so a peer program keeps it across restarts; the data channel is
// built from the settings at every boot and torn down by restart(). It
// reports into m_status (connection state, modem status, counters).
class Device {
public:
    enum class State {
        Stopped, // not started, or stopped
        Running, // answers on its address
        Rebooting, // silent until the reboot time has passed
        Offline, // its address cannot be used on this host; silent
    };

    Device(
        platform::EventLoop& loop, const SimulatorOptions& options, const DeviceLog& log, DeviceDefinition definition);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Binds the management port on the device's address, opens the serial
    // side and starts the data channel.
    platform::Result<void> start();
    void stop();

    // A Query that arrived by broadcast or multicast.
    void onSearchQuery(const platform::Endpoint& from, bool multicast);

    // Makes `port` another serial port of this device server: it shares this
    // device's address and management port, and a Query sent there is
    // answered for every port (each reply with its port's data port and
    // connection state). Called before start().
    void addPort(Device& port);
    bool extraPort() const { return m_owner != nullptr; }

    State state() const { return m_state; }
    const DeviceConfig& settings() const { return m_settings; }
    const DeviceConfig& factorySettings() const { return m_factory; }
    const DeviceStatus& status() const { return m_status; }
    DeviceStatus& status() { return m_status; }
    FaultMode fault() const { return m_fault; }
    void setFault(FaultMode fault) { m_fault = fault; }
    // Where the device listens for unicast requests.
    platform::Endpoint unicastEndpoint() const { return m_socket.localEndpoint(); }
    int restarts() const { return m_restarts; }
    int connectNotices() const { return m_connectNotices; }
    bool upgrading() const { return m_upgrade != nullptr; }
    // The last firmware image loaded by an upgrade.
    const std::vector<std::uint8_t>& firmwareImage() const { return m_firmwareImage; }
    std::string label() const; // its address, for log lines

    // The serial side: the pty's path for a peer program, or "echo".
    std::string serialPath() const { return m_serial.path(); }
    const DataOptions& dataOptions() const { return m_dataOptions; }
    // The running data channel; none while stopped, rebooting, or when the
    // settings turn both TCP and UDP off.
    const DataChannel* dataChannel() const { return m_channel.get(); }
    // The emulated serial settings as the port last set them.
    SerialState serialState() const;
    // The serial peer's input lines (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80)
    // change; a connected framed channel reports the change with 0x81.
    void setModemInputs(std::uint8_t lines);
    // "tcp server 127.0.0.10:5000 framed", or "off".
    std::string dataSummary() const;
    // The device's web page as served now.
    std::string statusPage() const;
    bool servingPage() const { return m_page.running(); }

private:
    void onReadable();
    void onRequest(std::span<const std::uint8_t> request, const platform::Endpoint& from);
    void onSetConfig(std::span<const std::uint8_t> request, const platform::Endpoint& from);
    void onRestore(std::span<const std::uint8_t> request, const platform::Endpoint& from);
    void onReboot(std::span<const std::uint8_t> request, const platform::Endpoint& from);
    void onUpgrade(std::span<const std::uint8_t> request, const platform::Endpoint& from);
    void onStatusQuery(const platform::Endpoint& from);
    void onConnectNotice(std::span<const std::uint8_t> request, const platform::Endpoint& from);
    void onUpgradeDone(platform::Result<std::vector<std::uint8_t>> result);
    // Identification requests name the device by MAC (and by name, if asked).
    bool isAddressedToMe(std::span<const std::uint8_t> request, bool checkName) const;
    void sendRecord(std::uint8_t code, const platform::Endpoint& to);
    void sendReply(std::vector<std::uint8_t> reply, const platform::Endpoint& to);
    void ignore(std::string_view what, const std::string& why) const;
    void restart(const std::string& why);
    void boot();
    platform::Result<void> bindAddress();
    platform::Result<void> startDataChannel();
    void startPage();
    DataChannelSettings dataChannelSettings() const;

    platform::EventLoop& m_loop;
    const SimulatorOptions& m_options;
    const DeviceLog& m_log;
    platform::TimerSet m_timers;
    DeviceConfig m_settings;
    DeviceConfig m_factory;
    DeviceStatus m_status;
    FaultMode m_fault;
    State m_state = State::Stopped;
    platform::UdpSocket m_socket; // management port on the device's address
    platform::Ipv4 m_boundAddress = 0;
    std::unique_ptr<TftpClient> m_upgrade;
    std::vector<std::uint8_t> m_firmwareImage;
    int m_restarts = 0;
    int m_connectNotices = 0;
    DataOptions m_dataOptions;
    SerialSide m_serial;
    std::unique_ptr<DataChannel> m_channel;
    StatusPage m_page;
    Device* m_owner = nullptr; // the device whose management port this one shares
    std::vector<Device*> m_extraPorts; // further serial ports of this device server
};

} // namespace sim::devsim
