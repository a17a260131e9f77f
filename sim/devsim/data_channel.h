#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"
#include "platform/tcp_socket.h"
#include "sim/devsim/device_config.h"
#include "sim/devsim/framing.h"
#include "sim/devsim/serial_side.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace sim::devsim {

class DeviceLog;
struct DeviceStatus;

// How one device's data channel runs, taken from its settings at boot.
struct DataChannelSettings {
    bool udp = false;
    bool client = false;
    bool framing = true;
    platform::Ipv4 localAddress = 0;
    std::uint16_t localPort = 5000; // server: where it listens; UDP client: where it sends from
    platform::Endpoint destination; // client mode
    platform::Duration reconnectTime = std::chrono::seconds(5);
    SerialState serial; // the serial settings the device starts with
};

// The serial settings a device's record gives its port before any port
// changes them.
SerialState serialStateFromSettings(const DeviceConfig& settings);

// The network side of one device's serial port: a TCP server (one
// connection at a time; a second is reset at once), a TCP client that keeps
// reconnecting to its destination, or a UDP endpoint; framed into packets or
// raw. Bytes from the port go out of the serial side and the serial peer's
// bytes come back; control packets set the emulated serial settings and
// modem lines, and the device reports its modem status with 0x81 (on a
// change of the peer's lines) and 0xA3 (on connecting and in answer to every
// DTR/RTS request). It keeps the device's connection state and serial byte
// counters in the device's status.
class DataChannel {
public:
    DataChannel(platform::EventLoop& loop, const DeviceLog& log, std::string label, DataChannelSettings settings,
        SerialSide& serial, DeviceStatus& status);
    ~DataChannel();
    DataChannel(const DataChannel&) = delete;
    DataChannel& operator=(const DataChannel&) = delete;

    platform::Result<void> start();
    // Closes everything; a TCP connection is reset, as when the device
    // vanishes from the network.
    void stop();

    bool connected() const { return m_connected; }
    // Where the channel listens (server) or sends from (UDP client); the
    // connection's local end for a connected TCP client.
    platform::Endpoint localEndpoint() const;
    platform::Endpoint peer() const { return m_peer; }
    const DataChannelSettings& settings() const { return m_settings; }
    const SerialState& serialState() const { return m_state; }
    // "tcp server 127.0.0.10:5000 framed"
    std::string describe() const;

    // The serial peer's input lines changed (modem status bits 4-7).
    void setModemInputs(std::uint8_t lines);

private:
    // TCP
    void startTcpServer();
    void onAcceptable();
    void connectToDestination();
    void onConnecting(unsigned events);
    void onConnectionEvents(unsigned events);
    void dropConnection(const std::string& why);
    void flushTcp();
    // UDP
    void onDatagrams();
    void onDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& from);
    void flushUdp();
    void sayHello();
    // Both
    void onStreamBytes(std::span<const std::uint8_t> bytes);
    void onPacket(std::uint8_t type, std::span<const std::uint8_t> payload);
    void onControl(std::span<const std::uint8_t> payload);
    void toSerial(std::span<const std::uint8_t> bytes);
    // Writes the data packets' payloads gathered from one read.
    void flushDataRun();
    void onSerialInput(std::span<const std::uint8_t> bytes);
    // Queues bytes for the peer; `flush` sends what is queued (a connection).
    void send(std::vector<std::uint8_t> bytes, bool flush = true);
    void report(std::uint8_t code);
    void loopBackModemLines();
    void setConnected(bool connected, const platform::Endpoint& peer, const std::string& how);
    void scheduleRetry();
    std::size_t networkBacklog() const;
    void updateFlow();
    void verbose(const std::string& line) const;

    platform::EventLoop& m_loop;
    const DeviceLog& m_log;
    std::string m_label;
    DataChannelSettings m_settings;
    SerialSide& m_serial;
    DeviceStatus& m_status;
    platform::TimerSet m_timers;
    SerialState m_state;
    FrameParser m_parser;
    std::vector<std::uint8_t> m_dataRun; // payloads of data packets in a row, not yet written
    bool m_running = false;
    bool m_connected = false;
    platform::Endpoint m_peer; // the port's end, while known
    platform::TcpListener m_listener;
    platform::TcpSocket m_connection;
    bool m_connecting = false; // a client connect is under way
    std::vector<std::uint8_t> m_tcpOut; // unsent stream bytes from m_tcpOutStart on
    std::size_t m_tcpOutStart = 0;
    platform::UdpSocket m_udp;
    std::deque<std::vector<std::uint8_t>> m_udpOut; // datagrams not yet sent
    std::size_t m_udpOutBytes = 0;
    bool m_readingNetwork = true;
    std::uint64_t m_dropped = 0; // serial bytes dropped for want of a connection
};

} // namespace sim::devsim
