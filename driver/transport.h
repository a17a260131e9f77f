#pragma once

#include "common/ntstatus.h"
#include "driver/packets.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace driver {

struct PortDevice;

// A port's network side, as the serial emulation, the data paths, the
// port's lifecycle and the driver's control requests use it. A port without
// a transport is never connected: setting requests are then accepted locally
// and nothing is sent.
class PortTransport {
public:
    virtual ~PortTransport() = default;
    // A connection exists (TCP) or the UDP link is open.
    virtual bool connected() const = 0;
    // Started as a server and keeping its endpoint open.
    virtual bool serverMode() const = 0;
    // A TCP client lost its connection; the next write reconnects.
    virtual bool reconnectPending() const = 0;

    // Sends one control packet, waiting at most the send limit; called only
    // while connected and framed. The status becomes the request's status.
    virtual common::NtStatus sendControlPacket(const ControlPacket& packet) = 0;
    // Sends the bytes of the transmit buffer, waiting as long as the
    // connection lives (the device server holds the writer back).
    // `taken` is how many leading bytes the network took; on success all of
    // them. A port that lost its connection (or never had one) takes none and
    // fails: bytes that went nowhere are never reported as sent.
    virtual common::NtStatus sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken) = 0;
    // A send failed part-way or was given up: the device server's stream has
    // a hole, or a packet cut short. A TCP connection is ended, so that the
    // reconnection starts a clean stream; a datagram link needs nothing.
    virtual void abandonStream() = 0;
    // Performs a pending reconnection (success when none is pending); a failed
    // one leaves the port without endpoints.
    virtual common::NtStatus reconnect() = 0;

    // The automatic connection at the first open after a start.
    virtual common::NtStatus connectAtOpen() = 0;
    // Connects as a client; success at once when connected already.
    virtual common::NtStatus openAsClient() = 0;
    // Opens the endpoint on RemoteHostPort and waits for a device server.
    virtual common::NtStatus startServer() = 0;
    // Stops a listen or disconnects (a framed UDP port says goodbye), then
    // closes the endpoints and leaves server mode.
    virtual common::NtStatus disconnect() = 0;
    // Resets a TCP connection and closes the endpoints; always succeeds.
    virtual common::NtStatus closeTransport() = 0;
    // Removal: a connected UDP port sends the single byte 0x30 to its
    // destination, a TCP port disconnects; then the endpoints close.
    virtual void closeForRemoval() = 0;
    // A read made room in the receive buffer: a TCP connection that was not
    // read for want of room is read again.
    virtual void resumeReceive() { }
    // A purge request's flags (after the local purge): a link that can
    // tell the device server to empty its buffers does so.
    virtual common::NtStatus purge(std::uint32_t /*purgeFlags*/) { return common::kStatusSuccess; }
};

// Creates the transport of every new port.
class TransportFactory {
public:
    virtual ~TransportFactory() = default;
    virtual std::unique_ptr<PortTransport> create(PortDevice& port) = 0;
};

} // namespace driver
