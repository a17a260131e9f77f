#pragma once

#include "common/ntstatus.h"
#include "driver/packets.h"

#include <memory>

namespace driver {

struct PortDevice;

// A port's network side, as the serial emulation and the port's lifecycle
// use it. A port without a transport is never connected: setting requests
// are then accepted locally and nothing is sent.
class PortTransport {
public:
    virtual ~PortTransport() = default;
    // A connection exists (TCP) or the UDP link is open.
    virtual bool connected() const = 0;
    // Sends one control packet, waiting at most the send limit; called only
    // while connected and framed. The status becomes the request's status.
    virtual common::NtStatus sendControlPacket(const ControlPacket& packet) = 0;
    // The automatic connection at the first open after a start.
    virtual common::NtStatus connectAtOpen() = 0;
    // Removal: a connected UDP port sends the single byte 0x30 to its
    // destination, a TCP port disconnects; then the endpoints close.
    virtual void closeForRemoval() = 0;
};

// Creates the transport of every new port.
class TransportFactory {
public:
    virtual ~TransportFactory() = default;
    virtual std::unique_ptr<PortTransport> create(PortDevice& port) = 0;
};

} // namespace driver
